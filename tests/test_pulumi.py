import json
from pathlib import Path

import pytest

from tally_warden import stackreader
from tally_warden.stackreader import StackReader

FIX = Path(__file__).parent / "fixtures" / "pulumi"


def fx(name):
    return str(FIX / name)


def test_stack_export(capsys):
    records = StackReader.parse_json_file(fx("stack.json"))
    assert [(r["provider"], r["type"], r["name"]) for r in records] == [
        ("aws", "aws_instance", "web"),
        ("gcp", "google_compute_instance", "vm"),
        ("azure", "azurerm_virtual_machine", "win"),
        ("azure", "azurerm_public_ip", "ip"),
        ("custom", "custom_thing", "thing"),
        ("unknown", "", "no_type"),
        ("aws", "aws_lambda_function", "unnamed"),
    ]
    assert records[0]["properties"] == {
        "instance_type": "t3.micro",
        "tags": {"Name": "web", "tally_requests_per_month": 5000000},
        "tally_requests_per_month": 5000000,
        "id": "i-123",
    }
    assert list(records[0]["properties"]) == ["instance_type", "tags", "tally_requests_per_month", "id"]
    # Output replaces input, "size" is an instance type, a tag list is kept and not lifted.
    assert records[-1]["properties"] == {"memory_size": 256, "instance_type": "large", "tags": ["a", "b"]}
    assert StackReader.parse_pulumi_json(fx("stack.json")) == records
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize(
    "token, rtype, provider",
    [
        ("aws:ec2/natGateway:NatGateway", "aws_nat_gateway", "aws"),
        ("gcp:sql/databaseInstance:DatabaseInstance", "google_database_instance", "gcp"),
        ("aws:s3/bucketV3:BucketV3", "aws_bucket_v3", "aws"),
        ("aws:acm/certificate:ACMCert", "aws_a_c_m_cert", "aws"),
        ("aws:s3/bucketV2:BucketV2", "aws_s3_bucket", "aws"),
        ("Azure:web/app:App:extra", "azurerm_app", "azure"),
        ("kubernetes:apps/v1:Deployment", "kubernetes_deployment", "kubernetes"),
        ("Custom/Sub:Thing", "custom_sub_thing", "custom"),
        ("pulumi:pulumi:Stack", None, None),
        ("aws:index/providers:Thing", None, None),
    ],
)
def test_type_tokens(token, rtype, provider):
    records = StackReader.parse_pulumi_json_data({"deployment": {"resources": [{"type": token, "name": "x"}]}})
    if rtype is None:
        assert records == []
    else:
        assert [(r["type"], r["provider"]) for r in records] == [(rtype, provider)]


def test_type_map_constant():
    assert stackreader.PULUMI_TYPE_MAP["azure-native:compute:VirtualMachine"] == "azurerm_virtual_machine"


@pytest.mark.parametrize(
    "name, exc, error",
    [
        ("resources_not_list.json", TypeError, "'resources' must be a list, not dict"),
        ("entry_not_map.json", AttributeError, "'str' object has no attribute 'get'"),
        ("type_not_text.json", AttributeError, "'NoneType' object has no attribute 'startswith'"),
    ],
)
def test_wrong_shapes(name, exc, error, capsys):
    path = fx(name)
    assert StackReader.parse_json_file(path) == []
    assert StackReader.parse_pulumi_json(path) == []
    assert capsys.readouterr().out.splitlines() == [
        f"Error reading JSON file {path}: {error}",
        f"Error reading Pulumi JSON {path}: {error}",
    ]
    with pytest.raises(exc):
        StackReader.parse_pulumi_json_data(json.loads(Path(path).read_text()))


@pytest.mark.parametrize("data", [{}, {"deployment": {}}, {"deployment": {"resources": []}}])
def test_missing_parts_give_nothing(data):
    assert StackReader.parse_pulumi_json_data(data) == []


def test_deployment_without_resources_routes_to_cloudformation():
    records = StackReader.parse_json_file(fx("no_resources.json"))
    assert [(r["type"], r["name"]) for r in records] == [("aws_sqs_queue", "Queue")]
