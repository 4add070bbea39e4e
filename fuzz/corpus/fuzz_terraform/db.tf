resource "aws_db_instance" "main" {
  engine = "postgres"
  deletion_protection = True
}
