variable "region" {
  default = "eu-west-1"
}
