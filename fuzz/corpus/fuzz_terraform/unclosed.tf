variable "x" {
  default = "aé