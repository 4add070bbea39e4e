variable "n" { default = 3 }
resource "aws_instance" "bad" {
  a = var.n ? : 1
  b = ((((((((((((((((((((1))))))))))))))))))))
  c = format("%
  d = join("", [[[[[[[[]]]]]]]])
  e = "${var.n ? "x" : }"
  f = coalesce(,,)
  g = !!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!true ? 1 : 0
  h = merge({a = 1}, {b = [1, {c = null}]})["b"][1].c
}
