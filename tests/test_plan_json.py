import json
from pathlib import Path

import pytest

from tally_warden.stackreader import StackReader

FIX = Path(__file__).parent / "fixtures" / "plan"


def fx(name):
    return str(FIX / name)


def brief(records):
    return [(r["provider"], r["type"], r["name"]) for r in records]


def test_module_walk_is_depth_first_and_ignores_changes(capsys):
    records = StackReader.parse_json_file(fx("nested_modules.json"))
    assert brief(records) == [
        ("aws", "aws_instance", "web"),
        ("aws", "aws_s3_bucket", "logs"),
        ("aws", "aws_db_instance", "main"),
        ("azurerm", "azurerm_mssql_database", "r"),
    ]
    assert list(records[0]) == ["provider", "type", "name", "properties"]
    assert records[0]["properties"] == {"instance_type": "t3.micro", "tags": {"Name": "web"}}
    assert records[1]["properties"] == {"bucket": "logs"}  # empty values: properties taken
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize(
    "name, expected",
    [
        ("changes_fallback.json", [("aws", "aws_lambda_function", "api"), ("google", "google_compute_instance", "vm")]),
        ("changes_only.json", [("aws", "aws_s3_bucket", "b")]),
        ("marker_precedence.json", [("aws", "aws_instance", "from_plan")]),
        (
            "providers.json",
            [
                ("aws", "aws_instance", "no_provider_name"),
                ("unknown", "", "empty_type"),
                ("google", "google_storage_bucket", "trailing_slash"),
                ("unknown", "thing", "no_underscore"),
                ("unknown", None, "no_type"),
                ("azurerm", "aws_instance", None),
            ],
        ),
    ],
)
def test_records(name, expected):
    assert brief(StackReader.parse_json_file(fx(name))) == expected


def test_change_properties():
    records = StackReader.parse_json_file(fx("changes_fallback.json"))
    assert [r["properties"] for r in records] == [{"memory_size": 512}, {}]


@pytest.mark.parametrize("name", ["not_a_plan.json", "top_level_list.json"])
def test_other_json_yields_nothing_silently(name, capsys):
    assert StackReader.parse_json_file(fx(name)) == []
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize(
    "name, error",
    [
        ("bom.json", "Unexpected UTF-8 BOM (decode using utf-8-sig): line 1 column 1 (char 0)"),
        ("invalid.json", "Expecting value: line 1 column 51 (char 50)"),
        ("invalid_utf8.json", "'utf-8' codec can't decode byte 0xe9 in position 87: invalid continuation byte"),
        ("missing.json", "[Errno 2] No such file or directory: '{path}'"),
    ],
)
@pytest.mark.parametrize(
    "reader, prefix",
    [
        (StackReader.parse_json_file, "Error reading JSON file "),
        (StackReader.parse_plan_json, "Error reading plan JSON "),
        (StackReader.parse_pulumi_json, "Error reading Pulumi JSON "),
    ],
)
def test_unreadable_files(reader, prefix, name, error, capsys):
    path = fx(name)
    assert reader(path) == []
    assert capsys.readouterr().out == f"{prefix}{path}: {error.format(path=path)}\n"


WRONG_SHAPES = [
    ("planned_values_null.json", AttributeError, "'NoneType' object has no attribute 'get'"),
    ("planned_values_list.json", AttributeError, "'list' object has no attribute 'get'"),
    ("provider_name_number.json", AttributeError, "'int' object has no attribute 'split'"),
    ("resources_not_list.json", TypeError, "'resources' must be a list, not dict"),
]


@pytest.mark.parametrize("name, exc, error", WRONG_SHAPES)
def test_wrong_shape_is_reported_per_file(name, exc, error, capsys):
    path = fx(name)
    assert StackReader.parse_json_file(path) == []
    assert capsys.readouterr().out == f"Error reading JSON file {path}: {error}\n"
    assert StackReader.parse_plan_json(path) == []
    assert capsys.readouterr().out == f"Error reading plan JSON {path}: {error}\n"
    with pytest.raises(exc, match=error.replace("(", r"\(")):
        StackReader.parse_plan_json_data(json.loads(Path(path).read_text()))


def test_plan_json_of_a_list_reports_the_argument(capsys):
    path = fx("top_level_list.json")
    assert StackReader.parse_plan_json(path) == []
    assert "must be dict, not list" in capsys.readouterr().out
    with pytest.raises(TypeError):
        StackReader.parse_plan_json_data([])


def test_deeply_nested_child_modules(tmp_path):
    depth = 4000
    text = '{"resources": [{"type": "aws_instance", "name": "leaf"}]}'
    for i in range(depth):
        text = '{"resources": [{"type": "aws_s3_bucket", "name": "m%d"}], "child_modules": [%s]}' % (i, text)
    path = tmp_path / "deep.json"
    path.write_text('{"planned_values": {"root_module": %s}}' % text)
    records = StackReader.parse_json_file(str(path))
    assert len(records) == depth + 1
    assert records[0]["name"] == f"m{depth - 1}" and records[-1]["name"] == "leaf"


class Capture(StackReader):
    seen = []

    @classmethod
    def parse_plan_json_data(cls, data):
        cls.seen.append(data)
        return ["from override"]


class Failing(StackReader):
    @classmethod
    def parse_plan_json_data(cls, data):
        raise KeyError("boom")


def test_dispatch_goes_through_the_class(capsys):
    path = fx("changes_only.json")
    assert Capture.parse_json_file(path) == ["from override"]
    assert Capture.parse_plan_json(path) == ["from override"]
    assert Capture.seen == [json.loads(Path(path).read_text())] * 2
    assert Failing.parse_json_file(path) == []
    assert Failing.parse_plan_json(path) == []
    assert capsys.readouterr().out.splitlines() == [
        f"Error reading JSON file {path}: 'boom'",
        f"Error reading plan JSON {path}: 'boom'",
    ]
    # The class itself is untouched by its subclasses.
    assert brief(StackReader.parse_json_file(path)) == [("aws", "aws_s3_bucket", "b")]


def test_path_like_and_wrong_arguments():
    assert len(StackReader.parse_json_file(FIX / "changes_only.json")) == 1
    with pytest.raises(TypeError):
        StackReader.parse_json_file(None)
    with pytest.raises(TypeError):
        StackReader.parse_plan_json_data("{}")
