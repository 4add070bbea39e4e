variable "create" { default = true }
variable "sizes" { default = { prod = "m5.large", dev = "t3.micro" } }
variable "names" { default = ["b", "a", "b"] }
variable "region" { default = null }
locals {
  size  = lookup(var.sizes, "prod", "t3.micro")
  zones = var.create ? ["a", "b"] : ["a"]
}
provider "aws" {
  region = var.region
}
resource "aws_instance" "web" {
  count         = var.create ? 1 : 0
  instance_type = try(var.sizes["qa"], local.size)
  name          = "${upper(format("%s-%d", "web", length(var.names)))}-x"
  az            = element(concat(local.zones, ["c"]), 4)
  ok            = !var.create && contains(keys(var.sizes), "dev") || max(1, 2) > min(3, 4)
  class         = null
}
