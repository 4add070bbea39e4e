locals {
  env = "prod"
  name = "app-${local.env}-${var.region}"
  size = var.size
}
variable "region" { default = "eu-west-1" }
variable "size" { default = 20 }
resource "aws_db_instance" "d" {
  allocated_storage = local.size
  instance_class = "db.${local.env}"
  tags = { Name = "${local.name}" }
}
