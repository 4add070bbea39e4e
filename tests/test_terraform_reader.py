import os

import pytest

from tally_warden.stackreader import StackReader


def records_by_name(records):
    return {r["name"]: r for r in records}


def test_basic_file_records_and_properties(fixtures, capsys):
    records = StackReader.parse_tf_dir(str(fixtures / "terraform" / "basic"))
    assert [r["name"] for r in records] == ["web", "logs", "inline", "tail", "nounderscore"]
    assert list(records[0]) == ["provider", "type", "name", "properties"]
    web = records[0]["properties"]
    assert web == {
        "instance_type": "t3.micro",
        "tags": '{\nName             = "prod-data"\ntally_storage_gb = 100\n}',
        "Name": "prod-data",
        "tally_storage_gb": 100,
        "size": 50,
        "prefix": "logs//2024",
        "note": "a#b",
        "@blocks": {"ebs_block_device": [{"size": 50}]},
    }
    by_name = records_by_name(records)
    assert by_name["logs"]["properties"] == {}
    assert by_name["inline"]["properties"] == {"bucket": "x"}
    assert by_name["tail"]["properties"] == {"type": "gp3", "size": 100}
    assert by_name["nounderscore"]["provider"] == "unknown"
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize(
    "excludes, expected",
    [
        (None, {"app"}),
        (["modules"], set()),
        (["modules/app"], {"app"}),
        ([".terraform"], {"app"}),
        (["main.tf"], {"app"}),
    ],
)
def test_exclusions_are_directory_names(fixtures, tmp_path, excludes, expected):
    tree = fixtures / "terraform" / "tree"
    records = StackReader.parse_tf_dir(str(tree), exclude_patterns=excludes)
    names = {r["name"] for r in records}
    assert names == expected
    assert "vendored" not in names and "upper" not in names and "cached" not in names


def test_variables_from_excluded_directories_still_resolve(fixtures):
    tree = fixtures / "terraform" / "tree"
    records = StackReader.parse_tf_dir(str(tree), exclude_patterns=["vars_only"])
    assert records_by_name(records)["app"]["properties"]["region"] == "eu-west-1"


def test_single_file_extension_is_case_insensitive(fixtures):
    records = StackReader.parse_tf_dir(str(fixtures / "terraform" / "tree" / "main.TF"))
    assert [r["name"] for r in records] == ["upper"]


@pytest.mark.parametrize("path", ["does/not/exist", "does/not/exist.tf"])
def test_missing_path_is_silent(path, capsys):
    assert StackReader.parse_tf_dir(path) == []
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize(
    "content, expected",
    [
        (b"\xef\xbb\xbfresource \"aws_s3_bucket\" \"b\" {\n  acl = \"private\"\n}\n", {"acl": "private"}),
        (b"resource \"aws_s3_bucket\" \"b\" {\r\n  acl = 'private'\r\n}\r\n", {"acl": "private"}),
        (b"resource \"aws_s3_bucket\" \"b\" {\r  acl = private\r}\r", {"acl": "private"}),
        (b"resource \"aws_s3_bucket\" \"b\" {\n  count = 1_000\n  ratio = 5.\n  big = 1e5\n}\n",
         {"count": 1000, "ratio": 5.0, "big": "1e5"}),
    ],
)
def test_line_ends_bom_and_numbers(tmp_path, content, expected):
    f = tmp_path / "main.tf"
    f.write_bytes(content)
    assert StackReader.parse_tf_file(str(f))[0]["properties"] == expected


@pytest.mark.parametrize(
    "content, reason",
    [
        (b"resource \"a_b\" \"x\" {\n  v = \"\xff\"\n}\n", "invalid start byte"),
        (bytes(range(256)) * 4, "can't decode byte"),
    ],
)
def test_undecodable_file_prints_error_line(tmp_path, capsys, content, reason):
    f = tmp_path / "bad.tf"
    f.write_bytes(content)
    good = tmp_path / "good.tf"
    good.write_text('resource "aws_s3_bucket" "ok" {}\n')
    records = StackReader.parse_tf_dir(str(tmp_path))
    assert [r["name"] for r in records] == ["ok"]
    out = capsys.readouterr().out
    assert out.startswith(f"Error reading file {f}: 'utf-8' codec ") and reason in out
    assert out.count("\n") == 1


def test_symlink_loop_and_dangling_link(tmp_path, capsys):
    (tmp_path / "a").mkdir()
    (tmp_path / "a" / "main.tf").write_text('resource "aws_s3_bucket" "once" {}\n')
    os.symlink("..", tmp_path / "a" / "loop")
    os.symlink("missing.tf", tmp_path / "dangling.tf")
    records = StackReader.parse_tf_dir(str(tmp_path))
    assert [r["name"] for r in records].count("once") >= 1
    assert "Error reading file" in capsys.readouterr().out


def test_directory_named_like_a_file_is_not_read(tmp_path, capsys):
    (tmp_path / "weird.tf").mkdir()
    assert StackReader.parse_tf_dir(str(tmp_path)) == []
    assert capsys.readouterr().out == ""


def test_huge_file_is_scanned_linearly(tmp_path):
    block = 'resource "aws_instance" "i" {\n  instance_type = "t3.micro"\n  # ' + "x" * 200 + "\n}\n"
    f = tmp_path / "big.tf"
    with open(f, "w") as out:
        for _ in range(100 * 1024 * 1024 // len(block) // 5):
            out.write(block)
    records = StackReader.parse_tf_file(str(f))
    assert len(records) > 50000 and records[-1]["properties"] == {"instance_type": "t3.micro"}


@pytest.mark.parametrize(
    "args",
    [(1,), ("dir", "modules"), ("dir", [1])],
)
def test_argument_types_are_checked(args):
    with pytest.raises(TypeError):
        StackReader.parse_tf_dir(*args)


def test_subclass_overrides_are_called_through_the_class(fixtures):
    calls = []

    class Reader(StackReader):
        @classmethod
        def parse_tf_file(cls, filepath, variables=None, locals_dict=None):
            calls.append((os.path.basename(filepath), variables.get("instance_type")))
            return super().parse_tf_file(filepath, variables, locals_dict)

        @staticmethod
        def resolve_value(val, variables, locals_dict):
            return "resolved"

    records = Reader.parse_tf_dir(str(fixtures / "terraform" / "basic"))
    assert calls == [("main.tf", "t3.micro")]
    assert records[0]["properties"]["instance_type"] == "resolved"
