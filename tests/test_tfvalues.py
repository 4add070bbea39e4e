import pytest

from tally_warden.stackreader import StackReader

VARS = {"region": "eu-west-1", "size": 20, "half": 0.5, "env": "prod", "count": 3}
LOCALS = {"suffix": "logs"}


@pytest.mark.parametrize(
    "value, expected",
    [
        ("var.region", "eu-west-1"),
        ("var.size", 20),
        ("var.missing", "var.missing"),
        ('"var.region"', "eu-west-1"),
        ('"var.missing"', '"var.missing"'),
        ("var.tags.Name", "var.tags.Name"),
        ("local.suffix", "logs"),
        ("${var.size}", 20),
        ("${var.half}", 0.5),
        ("${var.count}-${local.suffix}", "3-logs"),
        ("${var.nope}-${local.suffix}", "${var.nope}-logs"),
        ("${aws_instance.web.id}", "${aws_instance.web.id}"),
        ("${}", "${}"),
        ('"${var.env}"', "prod"),
        ("10.0.0.0/16", "10.0.0.0/16"),
        ("1_000", 1000),
        ("5.", 5.0),
        ("1e5", "1e5"),
        ("1.5e3", 1500.0),
        ("true", "true"),
        ("t3.micro", "t3.micro"),
        (" 42 ", 42),
        (7, 7),
        (None, None),
        # whole list elements that are references take their values
        ("[var.region]", '["eu-west-1"]'),
        ("[var.env, local.suffix, var.size]", '["prod", "logs", 20]'),
        ('[\n  "a",\n  var.env,\n]', '[\n  "a",\n  "prod",\n]'),
        ("[var.missing, var.env]", '[var.missing, "prod"]'),
        # parts of elements and quoted texts stay as written
        ("[var.env[0], var.size + 1]", "[var.env[0], var.size + 1]"),
        ('["var.env", "${var.env}"]', '["var.env", "prod"]'),
        ('["a\\\\", var.env]', '["a\\\\", "prod"]'),
        ("{ Name = var.env }", "{ Name = var.env }"),
    ],
)
def test_resolve_value(value, expected):
    got = StackReader.resolve_value(value, VARS, LOCALS)
    assert got == expected and type(got) is type(expected)


def write(tmp_path, text, name="main.tf"):
    (tmp_path / name).write_text(text)
    return str(tmp_path)


@pytest.mark.parametrize(
    "text, expected",
    [
        ('variable "t" { default = "t3.micro" }', {"t": "t3.micro"}),
        ('variable "d" { default = 50 }', {"d": 50}),
        ('variable "h" { default = 0.5 }', {"h": 0.5}),
        ('variable "b" { default = true }', {"b": "true"}),
        ('variable "n" {\n  type = string\n}', {}),
        ('variable "s" {\n  description = "uses default = 5"\n  default = 1\n}', {"s": '5"'}),
        ('variable "c" { default = "a" # note\n}', {"c": "a"}),
        ('variable "l" { default = ["a", "b"] }', {"l": '["a", "b"]'}),
        ('variable "m" {\n  default = {\n    a = 1\n  }\n}', {"m": "{"}),
        ('# variable "x" { default = 1 }', {"x": 1}),
        ('variable "u" {\n  default = 7', {"u": ""}),
        ('variable "x" {\n  default = "a\u00e9', {"x": '"a'}),
        ('variable "x" {\n  default = "a\U0001f600', {"x": '"a'}),
    ],
)
def test_variable_defaults(tmp_path, text, expected):
    variables, _ = StackReader.parse_variables_and_locals(write(tmp_path, text))
    assert variables == expected


def test_local_passes_follow_definition_order(tmp_path):
    chain = "\n".join(f'  l{i} = "local.l{i + 1}"' for i in range(1, 9))
    text = f'locals {{\n  a = "local.b"\n  b = "local.c"\n  c = "x"\n{chain}\n  l9 = "x"\n}}\n'
    _, locals_ = StackReader.parse_variables_and_locals(write(tmp_path, text))
    assert [locals_[k] for k in "abc"] == ["x", "x", "x"]
    assert locals_["l1"] == "local.l9"
    assert all(locals_[f"l{i}"] == "x" for i in range(2, 10))


def test_locals_nested_maps_and_interpolation(tmp_path):
    text = ('variable "env" { default = "prod" }\nlocals {\n  common_tags = {\n    team = "core"\n  }\n'
            '  name = "${var.env}-data"\n  other = "${var.undefined}-data"\n}\n')
    _, locals_ = StackReader.parse_variables_and_locals(write(tmp_path, text))
    assert locals_ == {"common_tags": "{", "team": "core", "name": "prod-data", "other": "${var.undefined}-data"}


def test_collection_skips_unreadable_files_silently(tmp_path, capsys):
    (tmp_path / "bad.tf").write_bytes(b'variable "x" { default = "\xff" }')
    write(tmp_path, 'variable "y" { default = 1 }', "good.tf")
    assert StackReader.parse_variables_and_locals(str(tmp_path)) == ({"y": 1}, {})
    assert StackReader.parse_variables_and_locals(str(tmp_path / "nope")) == ({}, {})
    assert capsys.readouterr().out == ""


def test_resource_list_attribute_takes_variable_values(tmp_path):
    write(tmp_path, 'variable "t" {\n  default = "m7i.xlarge"\n}\nlocals {\n  n = 3\n}\n'
                    'resource "aws_eks_node_group" "w" {\n  instance_types = [var.t]\n'
                    '  subnet_ids = [aws_subnet.a.id, local.n]\n}\n')
    (record,) = StackReader.parse_tf_dir(str(tmp_path))
    assert record["properties"]["instance_types"] == '["m7i.xlarge"]'
    assert record["properties"]["subnet_ids"] == "[aws_subnet.a.id, 3]"
