import pytest

from tally_warden.stackreader import StackReader

EVAL = ("terraform", "evaluate")


def scan(fixtures, *parts, **kw):
    return StackReader.parse_tf_dir(str(fixtures.joinpath(*EVAL, *parts)), **kw)


def by_name(records):
    return {r["name"]: r for r in records}


def test_count_makes_instances(fixtures, capsys):
    records = scan(fixtures, "count")
    assert [r["name"] for r in records] == [
        "web[0]", "web[1]", "web[2]", "byvar[0]", "byvar[1]", "gpu", "maybe[0]"]
    assert all(list(r) == ["provider", "type", "name", "properties"] for r in records)
    named = by_name(records)
    assert named["web[2]"]["properties"] == {"count": 3, "instance_type": "t3.micro"}
    # count.index is known per instance
    assert [named[f"byvar[{i}]"]["properties"]["Name"] for i in (0, 1)] == ["byvar-0", "byvar-1"]
    # a count inside a nested block is an attribute, not a multiplier
    assert named["gpu"]["properties"]["count"] == 2
    # a conditional count takes its branch once the condition resolves
    assert named["maybe[0]"]["properties"]["count"] == 1
    assert capsys.readouterr().out == ""


def test_count_applies_to_a_single_file_too(fixtures):
    path = fixtures.joinpath(*EVAL, "count", "main.tf")
    names = [r["name"] for r in StackReader.parse_tf_file(str(path), {"replicas": 1}, {})]
    assert names == ["web[0]", "web[1]", "web[2]", "byvar[0]", "gpu", "maybe"]


@pytest.mark.parametrize("name, key, value", [
    ("plain", "region", "sa-east-1"),
    ("pinned", "availability_zone", "eu-west-1a"),
    ("aliased", "region", "us-west-2"),
    ("vm", "region", "europe-west1"),
])
def test_provider_region_fills_missing_region(fixtures, name, key, value):
    records = [r for r in scan(fixtures, "provider") if r["provider"] != "azurerm"]
    props = by_name(records)[name]["properties"]
    assert props[key] == value
    region_keys = {"region", "location", "provider_region", "availability_zone", "zone"}
    assert len(region_keys & set(props)) == 1


def test_azure_provider_adds_no_location(fixtures):
    azure = [r for r in scan(fixtures, "provider") if r["provider"] == "azurerm"]
    assert azure[0]["properties"] == {"size": "Standard_B2s"}


def test_provider_region_is_priced(fixtures, tmp_path):
    from tally_warden.reckoner import Reckoner
    plain = by_name(scan(fixtures, "provider"))["plain"]
    cost = Reckoner(str(tmp_path / "p.db")).estimate_resource_cost(plain)
    assert cost["region"] == "sa-east-1"


def test_tfvars_override_defaults_in_load_order(fixtures):
    props = scan(fixtures, "tfvars")[0]["properties"]
    assert props == {
        "instance_type": "m5.large",   # terraform.tfvars
        "disk": 30,                    # terraform.tfvars.json after terraform.tfvars
        "tier": "c",                   # b.auto.tfvars after a.auto.tfvars
        "zone_name": "x1",             # a variable without default, set by c.auto.tfvars.json
        "untouched": "kept",
        "ghost": "var.ghost",          # undeclared values are not variables
    }


@pytest.mark.parametrize("name, size, label", [
    ("a", "t3.small", "a-t3.small"),
    ("b", "m5.xlarge", "b-m5.xlarge"),
    # no definition of its own: the scan root's merged definitions, as before
    ("c", "m5.xlarge", "b-m5.xlarge"),
])
def test_references_resolve_in_own_directory_first(fixtures, name, size, label):
    props = by_name(scan(fixtures, "perdir"))[name]["properties"]
    assert (props["instance_type"], props["label"]) == (size, label)


def test_single_file_uses_its_directory_scope(fixtures):
    path = fixtures.joinpath(*EVAL, "perdir", "a", "main.tf")
    assert StackReader.parse_tf_dir(str(path))[0]["properties"]["instance_type"] == "t3.small"
    path = fixtures.joinpath(*EVAL, "provider", "main.tf")
    assert by_name(StackReader.parse_tf_dir(str(path)))["plain"]["properties"]["region"] == "sa-east-1"


def test_huge_count_is_capped_with_a_line(tmp_path, capsys):
    (tmp_path / "main.tf").write_text('resource "aws_instance" "x" {\n  count = 99999999\n}\n')
    records = StackReader.parse_tf_dir(str(tmp_path))
    assert len(records) == 10000
    assert "count 99999999 is more than 10000" in capsys.readouterr().out


@pytest.mark.parametrize("text, said", [
    ('x = [[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[\n', None),
    ('x = {\n' * 5000, None),
    ('x = "unterminated\n', "line 1: the value of 'x' is an unterminated string; it is ignored"),
    ('y = 2\nx = "\n', "line 2: the value of 'x' is an unterminated string; it is ignored"),
    ('= 1\n', None),
])
def test_malformed_tfvars_are_ignored(tmp_path, capsys, text, said):
    (tmp_path / "main.tf").write_text('variable "x" {\n  default = "d"\n}\nresource "aws_s3_bucket" "b" {\n  x = var.x\n}\n')
    (tmp_path / "terraform.tfvars").write_text(text)
    (tmp_path / "x.auto.tfvars.json").write_text("[" * 20000)
    [record] = StackReader.parse_tf_dir(str(tmp_path))
    assert record["name"] == "b" and record["properties"]["x"] == "d"
    lines = [l for l in capsys.readouterr().out.splitlines() if "terraform.tfvars" in l]
    assert lines == ([f"Error reading file {tmp_path}/terraform.tfvars: {said}"] if said else [])
