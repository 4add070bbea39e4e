resource "aws_instance" "big" {
  instance_type = "p4d.24xlarge" # tally-warden: ignore[EXPENSIVE_INSTANCE]
  ami = "x" // tally-warden: ignored
  tags = { a = "b" } # tally-warden: ignore[unclosed
}
