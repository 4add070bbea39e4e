variable "region" {
  default = "us-east-1"
}

variable "web_size" {
  default = "m5.large"
}

locals {
  env = "prod"
}

provider "aws" {
  region = var.region
}

resource "aws_instance" "web" {
  instance_type = var.web_size
  region        = var.region
  tags = {
    Name = "${local.env}-web"
  }
}

resource "aws_db_instance" "orders" {
  instance_class    = "db.t3.medium"
  allocated_storage = 100
  region            = var.region
}

resource "aws_s3_bucket" "assets" {
  bucket = "${local.env}-assets"
  tags = {
    tally_storage_gb = 500
  }
}

resource "aws_lambda_function" "thumbnailer" {
  memory_size              = 1024
  tally_requests_per_month = 3000000
}

resource "aws_nat_gateway" "egress" {
  region = var.region
}

resource "aws_iam_role" "lambda" {
  name = "thumbnailer"
}
