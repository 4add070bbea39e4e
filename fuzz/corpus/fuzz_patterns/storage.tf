resource "aws_db_instance" "a" {
  allocated_storage = 1000
  deletion_protection = true
}
resource "aws_db_instance" "b" {
  allocated_storage = 1001
}
resource "aws_db_instance" "c" {
  allocated_storage = 01500
}
