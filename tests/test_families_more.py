"""Pipelines, development endpoints, snapshots and connectors against the shipped price list,
and CloudFormation and Pulumi input reaching them and the catalog's new types."""
import json
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from tally_warden.reckoner import Reckoner
from tally_warden.stackreader import StackReader

ROOT = Path(__file__).resolve().parent.parent


@pytest.fixture(scope="module")
def rk(tmp_path_factory):
    return Reckoner(str(tmp_path_factory.mktemp("store") / "pricing.db"))


def cost(rk, provider, rtype, props):
    return rk.estimate_resource_cost({"provider": provider, "type": rtype, "name": "n", "properties": props})


# Published on-demand list prices: CodePipeline V1 $1.00 a pipeline-month, V2 $0.002 an action
# minute; Glue $0.44 a DPU-hour; EBS snapshots $0.05 (standard) and $0.0125 (archive) a
# GB-month; e2-micro $0.008376 and e2-standard-4 $0.134012 an hour in us-central1.
LIST_PRICES = [
    ("aws", "aws_codepipeline", {}, 1.0),
    ("aws", "aws_codepipeline", {"pipeline_type": "V2"}, 2.0),
    ("aws", "aws_codepipeline", {"pipeline_type": "V2", "tally_action_minutes": 5000}, 10.0),
    ("aws", "aws_glue_dev_endpoint", {}, 1606.0),
    ("aws", "aws_glue_dev_endpoint", {"number_of_nodes": 2}, 642.4),
    ("aws", "aws_glue_dev_endpoint", {"number_of_workers": 3, "worker_type": "G.2X"}, 1927.2),
    ("aws", "aws_ebs_snapshot", {"tally_storage_gb": 100}, 5.0),
    ("aws", "aws_ebs_snapshot", {"storage_tier": "archive", "tally_storage_gb": 100}, 1.25),
    ("aws", "aws_ebs_snapshot_copy", {}, 0.5),
    ("aws", "aws_ami_copy", {"tags": {"tally_storage_gb": 40}}, 2.0),
    ("google", "google_vpc_access_connector", {"region": "us-central1"}, 12.23),
    ("google", "google_vpc_access_connector", {"machine_type": "e2-standard-4", "min_instances": 3,
                                               "region": "us-central1"}, 293.49),
]


@pytest.mark.parametrize("case", LIST_PRICES, ids=[c[1] for c in LIST_PRICES])
def test_list_prices(rk, case):
    provider, rtype, props, monthly = case
    assert cost(rk, provider, rtype, props)["monthly_cost"] == pytest.approx(monthly, rel=0.01)


@pytest.mark.parametrize(
    "rtype, props, basis",
    [
        ("aws_codepipeline", {}, "CodePipeline V1 pipeline @ $1.00/mo"),
        ("aws_codepipeline", {"pipeline_type": "V2"}, "CodePipeline V2 1,000 action minutes @ $0.0020/min"),
        ("aws_glue_dev_endpoint", {}, "5x Glue development endpoint DPU @ $0.4400/hr each"),
        ("aws_ebs_snapshot", {"volume_size": 30}, "EBS snapshot (standard) 30GB @ $0.0500/GB-mo"),
        ("aws_ebs_snapshot", {"storage_tier": "ARCHIVE"}, "EBS snapshot (archive) 10GB @ $0.0125/GB-mo"),
    ],
)
def test_basis_with_empty_store(estimate, rtype, props, basis):
    """The built-in defaults are the list prices the rows were written from."""
    assert estimate("aws", rtype, props)["basis"] == basis


@pytest.mark.parametrize(
    "provider, rtype, props, monthly",
    [
        ("google", "google_vpc_access_connector", {"min_instances": 0}, 12.23),
        ("google", "google_vpc_access_connector", {"min_instances": "nan"}, 12.23),
        ("aws", "aws_glue_dev_endpoint", {"number_of_nodes": "1e400"}, 1606.0),
        ("aws", "aws_glue_dev_endpoint", {"number_of_workers": "nan", "number_of_nodes": 2}, 642.4),
        ("aws", "aws_ebs_snapshot", {"tally_storage_gb": "inf"}, 0.5),
        ("aws", "aws_codepipeline", {"pipeline_type": "V2", "tally_action_minutes": "nan"}, 2.0),
    ],
)
def test_unusable_counts_and_sizes_take_the_default(rk, provider, rtype, props, monthly):
    assert cost(rk, provider, rtype, props)["monthly_cost"] == pytest.approx(monthly, rel=0.01)


TEMPLATE = """\
Resources:
  Dev:
    Type: AWS::Glue::DevEndpoint
    Properties:
      RoleArn: arn:aws:iam::1:role/glue
      NumberOfNodes: 2
  Deploy:
    Type: AWS::CodePipeline::Pipeline
    Properties:
      PipelineType: V2
  Prod:
    Type: AWS::ApiGateway::Stage
    Properties:
      StageName: prod
  Reports:
    Type: AWS::CodeBuild::ReportGroup
    Properties:
      Type: TEST
  Routes:
    Type: AWS::Greengrass::SubscriptionDefinition
"""

STACK = {"version": 3, "deployment": {"resources": [
    {"type": "aws:glue/devEndpoint:DevEndpoint", "name": "Dev", "inputs": {"numberOfWorkers": 2, "workerType": "G.2X"}},
    {"type": "aws:codepipeline/pipeline:Pipeline", "name": "Deploy", "inputs": {"pipelineType": "V2"}},
    {"type": "aws:ebs/snapshot:Snapshot", "name": "Snap", "inputs": {"storageTier": "archive", "tags": {"tally_storage_gb": "100"}}},
    {"type": "gcp:vpcaccess/connector:Connector", "name": "Conn",
     "inputs": {"machineType": "e2-standard-4", "minInstances": 3}},
    {"type": "gcp:spanner/database:Database", "name": "Db", "inputs": {}},
    {"type": "gcp:container/registry:Registry", "name": "Images", "inputs": {}},
]}}


@pytest.mark.parametrize(
    "source, expected",
    [
        ("template.yaml", {"Dev": ("aws_glue_dev_endpoint", 642.4), "Deploy": ("aws_codepipeline", 2.0),
                           "Prod": ("aws_api_gateway_stage", 0.0), "Reports": ("aws_codebuild_report_group", 0.0),
                           "Routes": ("aws_greengrass_subscriptiondefinition", 0.0)}),
        ("stack.json", {"Dev": ("aws_glue_dev_endpoint", 1284.8), "Deploy": ("aws_codepipeline", 2.0),
                        "Snap": ("aws_ebs_snapshot", 1.25), "Conn": ("google_vpc_access_connector", 293.49),
                        "Db": ("google_spanner_database", 0.0),
                        "Images": ("google_container_registry", 0.0)}),
    ],
)
def test_cloudformation_and_pulumi_reach_the_families(rk, tmp_path, source, expected):
    path = tmp_path / source
    if source.endswith(".yaml"):
        path.write_text(TEMPLATE)
        records = StackReader.parse_cloudformation(str(path))
    else:
        path.write_text(json.dumps(STACK))
        records = StackReader.parse_json_file(str(path))
    got = {r["name"]: (r["type"], rk.estimate_resource_cost(r)["monthly_cost"]) for r in records}
    assert got == {k: (t, pytest.approx(v, rel=0.01)) for k, (t, v) in expected.items()}


@pytest.mark.parametrize(
    "block, ok",
    [
        ("# a block of its own\naaa_first,free,\n", True),  # a comment starts a new sorted block
        ("# a block of its own\nzzz_last,free,\naaa_first,free,\n", False),
    ],
)
def test_catalog_blocks_are_sorted_each(tmp_path, block, ok):
    shutil.copytree(ROOT / "pricing", tmp_path / "pricing")
    (tmp_path / "scripts").mkdir()
    shutil.copy(ROOT / "scripts" / "gen_catalog.py", tmp_path / "scripts")
    (tmp_path / "src" / "core" / "reckoner").mkdir(parents=True)
    (tmp_path / "src" / "core" / "stackreader").mkdir(parents=True)
    with open(tmp_path / "pricing" / "catalog.csv", "a") as f:
        f.write(block)
    run = subprocess.run([sys.executable, str(tmp_path / "scripts" / "gen_catalog.py")], capture_output=True, text=True)
    assert (run.returncode == 0) == ok, run.stderr
    if ok:
        free = (tmp_path / "src" / "core" / "reckoner" / "catalog.inc").read_text()
        assert free.index('{"aaa_first"') < free.index('{"archive_file"')
    else:
        assert "not sorted" in run.stderr
