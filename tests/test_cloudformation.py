from pathlib import Path

import pytest

from tally_warden import stackreader
from tally_warden.stackreader import StackReader

FIX = Path(__file__).parent / "fixtures" / "cloudformation"

WEB = {
    "provider": "aws",
    "type": "aws_instance",
    "name": "WebServer",
    "properties": {"instance_type": "t3.micro", "tags": {"Name": "web", "tally_storage_gb": 100}, "tally_storage_gb": 100},
}


def fx(name):
    return str(FIX / name)


def props(records):
    return {r["name"]: r["properties"] for r in records}


@pytest.mark.parametrize("name", ["web.yaml", "json_content.yaml", "bom.yaml"])
def test_templates_read_as_yaml_or_json(name, capsys):
    records = StackReader.parse_cloudformation(fx(name))
    assert records == ([WEB] if name != "bom.yaml" else [{"provider": "aws", "type": "aws_sqs_queue", "name": "Q", "properties": {}}])
    assert capsys.readouterr().out == ""


def test_json_template_routed_from_json_file():
    assert StackReader.parse_json_file(fx("web.json")) == [WEB]
    assert list(WEB["properties"]) == list(StackReader.parse_json_file(fx("web.json"))[0]["properties"])


def test_references_types_and_key_translation():
    records = StackReader.parse_cloudformation(fx("references.yaml"))
    assert [(r["type"], r["provider"]) for r in records] == [
        ("aws_db_instance", "aws"), ("aws_elasticache_cluster", "aws"), ("aws_sqs_queue", "aws")]
    assert props(records) == {
        "Db": {"DBInstanceClass": "db.t3.micro", "instance_class": "db.t3.micro", "allocated_storage": 20,
               "Engine": "!Ref NoDefault", "engine": "!Ref NoDefault", "Iops": "!Ref Missing", "StorageSize": 50},
        "Cache": {"CacheNodeType": "cache.t3.small", "node_type": "cache.t3.small", "Note": "a"},
        "Queue": {},
    }


def test_list_items_at_the_column_of_their_key():
    records = StackReader.parse_cloudformation(fx("same_column.yaml"))
    assert props(records)["Bucket"] == {
        "BucketName": "logs", "tags": {"Team": "data", "tally_storage_gb": 250}, "tally_storage_gb": 250,
        "VersioningConfiguration": {"Status": "Enabled"}}
    assert props(records)["Fn"]["memory_size"] == 512
    assert len(props(records)["Fn"]["Layers"]) == 2


def test_unreadable_parts_are_skipped_one_at_a_time(capsys):
    yaml_records = StackReader.parse_cloudformation(fx("intrinsics.yaml"))
    assert [r["name"] for r in yaml_records] == ["Web", "Bad", "Empty", "Tail"]
    web = props(yaml_records)["Web"]
    assert web["tags"]["Env"] == "prod"
    assert 2024 not in web["tags"]
    assert web["tags"]["Name"][0] == "-"  # a tag-only value opens the block below it
    assert web["SecurityGroups"] == [",", "sg-1,sg-2"]
    assert props(yaml_records)["Bad"] == {} and props(yaml_records)["Empty"] == {}
    assert props(yaml_records)["Tail"] == {"BillingMode": "PAY_PER_REQUEST", "billing_mode": "PAY_PER_REQUEST"}
    json_records = StackReader.parse_json_file(fx("intrinsics.json"))
    assert [(r["name"], r["type"]) for r in json_records] == [
        ("Web", "aws_instance"), ("List", "aws_s3_bucket"), ("Last", "custom_widget")]
    assert props(json_records)["Web"] == {"tags": {"Name": "web"}, "Region": {"Ref": "AWS::Region"}}
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize(
    "name, prefix, error",
    [
        ("broken.yaml", "Error decoding CloudFormation JSON ", "Expecting value: line 1 column 23 (char 22)"),
        ("invalid_utf8.yaml", "Error reading CloudFormation file ",
         "'utf-8' codec can't decode byte 0xff in position 47: invalid start byte"),
        ("missing.yaml", "Error reading CloudFormation file ", "[Errno 2] No such file or directory: '{path}'"),
    ],
)
def test_failures_are_reported(name, prefix, error, capsys):
    path = fx(name)
    assert StackReader.parse_cloudformation(path) == []
    assert capsys.readouterr().out == f"{prefix}{path}: {error.format(path=path)}\n"


def test_other_yaml_yields_nothing(capsys):
    assert StackReader.parse_cloudformation(fx("workflow.yml")) == []
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize(
    "cf_type, expected",
    [
        ("AWS::SQS::Queue", "aws_sqs_queue"),
        ("AWS::ElasticLoadBalancingV2::TargetGroup", "aws_lb_target_group"),
        ("AWS::EC2::SecurityGroup", "aws_security_group"),
        ("AWS::GameLift::Fleet", "aws_gamelift_fleet"),
        ("AWS::ElasticLoadBalancingV2::LoadBalancer", "aws_alb"),
        ("AWS::Elasticache::CacheCluster", "aws_elasticache_cluster"),
        ("AWS::ElastiCache::CacheCluster", "aws_elasticache_cluster"),
        ("AWS::Serverless::Function::Extra", "aws_serverless_function"),
        ("Custom::Widget", "custom_widget"),
        ("Widget", "widget"),
        ("", ""),
    ],
)
def test_type_names(cf_type, expected):
    records = StackReader.parse_cloudformation_data({"Resources": {"R": {"Type": cf_type}}})
    assert records[0]["type"] == expected
    assert records[0]["provider"] == (expected.split("_")[0] if "_" in expected else "unknown")


def test_conversion_edge_cases():
    data = {
        "Parameters": {"P": {"Default": "x"}, "Q": {"Type": "String"}, "L": "not a map"},
        "Resources": {
            "A": {"Type": "AWS::S3::Bucket", "Properties": {
                "One": {"Ref": "P"}, "Two": {"Ref": "Q"}, "Three": "  !Ref P  ", "Four": "!RefP", "Five": {"Ref": ["P"]},
                "Six": "!Ref L", "Tags": "not a list",
            }},
            "B": "not a map",
        },
    }
    assert StackReader.parse_cloudformation_data(data) == [{"provider": "aws", "type": "aws_s3_bucket", "name": "A", "properties": {
        "One": "x", "Two": {"Ref": "Q"}, "Three": "x", "Four": "!RefP", "Five": {"Ref": ["P"]}, "Six": "!Ref L",
        "Tags": "not a list"}}]
    assert StackReader.parse_cloudformation_data({"Resources": ["x"]}) == []
    assert StackReader.parse_cloudformation_data({"Parameters": [1], "Resources": {"A": {"Type": "X::Y::Z",
        "Properties": {"V": "!Ref A"}}}})[0]["properties"] == {"V": "!Ref A"}
    with pytest.raises(TypeError):
        StackReader.parse_cloudformation_data([])
    assert stackreader.CF_TYPE_MAP["AWS::RDS::DBInstance"] == "aws_db_instance"


@pytest.mark.parametrize(
    "text, expected",
    [
        ("a: 5\nb: '5'\nc: \"1.0\"\nd: yes\ne: 1e5\nf: -2_000\ng: t3.micro\nh: true\n",
         {"a": 5, "b": 5, "c": 1.0, "d": "yes", "e": "1e5", "f": -2000, "g": "t3.micro", "h": "true"}),
        ("a: x # note\nb: 'p#q'\n# whole line\n\tc: 1\n", {"a": "x", "b": "p", "c": 1}),
        ("a:\n  b:\n    c: 1\n  d: [x, y]\ne: {k: v}\n", {"a": {"b": {"c": 1}, "d": "[x, y]"}, "e": "{k: v}"}),
        ("a:\n  - x\n  - 2\n  - k: v\n    w: 1\n", {"a": ["x", 2, {"k": "v", "w": 1}]}),
        ("a:\n  k: lost\n  - x\n", {"a": ["x"]}),
        ("a:\n- x\n- y\nb: 1\n", {"a": ["x", "y"], "b": 1}),
        ("a:\n  b: 1\n- x\nc: 2\n", {"a": {"b": 1}, "c": 2}),
        ("a: \"\"\nb: |\n  text: here\n", {"a": {}, "b": "|", "text": "here"}),
        ("l:\n  - k:\n    deeper: 1\n", {"l": [{"k": "", "deeper": 1}]}),
        ("---\na: 1\n", {"a": 1}),
        ("v: !Join\n  - ','\n  - [a, b]\nw: !Ref Env\nx: !GetAtt\n", {"v": [",", "[a, b]"], "w": "!Ref Env", "x": {}}),
        ("v: !If\n- c\n- d\n", {"v": ["c", "d"]}),
        ("'q': \"v\"\r\nr: 2\u2028s: 3", {"q": "v", "r": 2, "s": 3}),
        ("plain line\n- orphan\n", {}),
    ],
)
def test_yaml_reader(text, expected):
    assert StackReader.parse_yaml(text) == expected


def test_yaml_reader_survives_extreme_shapes():
    depth = 20000
    deep = "".join(" " * i + f"k{i}:\n" for i in range(depth))
    node = StackReader.parse_yaml(deep)
    for i in range(depth):
        node = node[f"k{i}"]
    assert node == {}
    many = "Resources:\n" + "".join(f"  R{i}:\n    Type: AWS::SQS::Queue\n" for i in range(100000))
    assert len(StackReader.parse_cloudformation_data(StackReader.parse_yaml(many))) == 100000
    assert StackReader.parse_yaml("\udcff: \ud800") == {"\udcff": "\ud800"}
    with pytest.raises(TypeError):
        StackReader.parse_yaml(b"a: 1")


class LowerYaml(StackReader):
    @classmethod
    def parse_yaml(cls, text):
        return {"Resources": {"Overridden": {"Type": "AWS::S3::Bucket"}}}


class FailingData(StackReader):
    @classmethod
    def parse_cloudformation_data(cls, data):
        return sorted(data)


def test_dispatch_goes_through_the_class(capsys):
    assert [r["name"] for r in LowerYaml.parse_cloudformation(fx("web.yaml"))] == ["Overridden"]
    assert FailingData.parse_cloudformation(fx("web.yaml")) == ["Parameters", "Resources"]
    assert FailingData.parse_cloudformation(fx("json_content.yaml")) == ["Parameters", "Resources"]
    assert FailingData.parse_json_file(fx("web.json")) == ["Parameters", "Resources"]
    assert capsys.readouterr().out == ""
