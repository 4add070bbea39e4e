variable "instance_type" {
  type    = string
  default = "t3.micro"
}

variable "disk" { default = 50 }

locals {
  env  = "prod"
  name = "${local.env}-data"
}

# resource "aws_instance" "commented" {
resource "aws_instance" "web" {
  instance_type = var.instance_type
  tags = {
    Name             = "${local.name}"
    tally_storage_gb = 100
  }
  ebs_block_device {
    size = var.disk # GB
  }
  prefix = "logs//2024"
  note   = "a#b"
}

resource "aws_s3_bucket" "logs" {}
resource "aws_s3_bucket" "inline" { bucket = "x" }

resource "aws_ebs_volume" "tail" {
  type = "gp3"
  size = 100 }

resource "widget" "nounderscore" {
}

/*
resource "aws_eip" "in_block_comment" {
}
*/

resource "aws_instance" "unclosed" {
  instance_type = "m5.large"
