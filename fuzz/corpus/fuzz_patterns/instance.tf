resource "aws_instance" "gpu" {
  instance_type = 'p3.2xlarge'
  # instance_type = 'p3.2xlarge'
  machine_type = "a2-ultragpu-1g"
  vm_size = "standard_nc6"
  ami = "p3.ami"
}
