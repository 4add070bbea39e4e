resource "aws_s3_bucket" "site" {
  bucket = "site"
  acl = "public-read-write"
}
