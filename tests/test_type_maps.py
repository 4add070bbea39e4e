import csv
from pathlib import Path

import pytest

from tally_warden import stackreader
from tally_warden.reckoner import Reckoner
from tally_warden.stackreader import StackReader

ROOT = Path(__file__).resolve().parent.parent
FIX = Path(__file__).parent / "fixtures" / "type_maps"

# Each resource of the fixtures and the Terraform resource it declares.
TERRAFORM = {
    "Db": ("aws_db_instance", {"instance_class": "db.r5.large", "allocated_storage": 100, "engine": "postgres"}),
    "Nat": ("aws_nat_gateway", {}),
    "WebSg": ("aws_security_group", {}),
    "Handler": ("aws_lambda_function", {"memory_size": 1024}),
    "Orders": ("aws_dynamodb_table", {"billing_mode": "PROVISIONED"}),
    "Sessions": ("aws_elasticache_cluster", {"node_type": "cache.m5.large", "num_cache_nodes": 2}),
    "Warehouse": ("aws_redshift_cluster", {"node_type": "ra3.xlplus", "number_of_nodes": 2}),
    "Search": ("aws_opensearch_domain", {"cluster_config": {"instance_type": "r6g.large.search", "instance_count": 3}}),
    "Data": ("aws_ebs_volume", {"size": 500, "type": "gp3"}),
    "Logs": ("aws_cloudwatch_log_group", {"retention_in_days": 30}),
}


@pytest.fixture(scope="module")
def rk(tmp_path_factory):
    return Reckoner(str(tmp_path_factory.mktemp("store") / "pricing.db"))


def read(source):
    if source == "stack.yaml":
        return StackReader.parse_cloudformation(str(FIX / source))
    return StackReader.parse_json_file(str(FIX / source))


@pytest.mark.parametrize("source", ["stack.yaml", "stack.json", "stack.pulumi.json"])
def test_templates_and_exports_reach_the_rules_of_their_terraform_types(rk, source, capsys):
    records = read(source)
    assert capsys.readouterr().out == ""
    assert [r["name"] for r in records] == list(TERRAFORM)
    for record in records:
        rtype, props = TERRAFORM[record["name"]]
        assert record["type"] == rtype
        for key, value in props.items():
            got = record["properties"][key]
            if isinstance(value, dict):  # maps keep their own keys beside the translated ones
                got = {k: v for k, v in got.items() if k in value}
            assert got == value, (source, record["name"], key)
        expected = rk.estimate_resource_cost({"provider": "aws", "type": rtype, "name": record["name"],
                                              "properties": props})
        assert rk.estimate_resource_cost(record) == expected


@pytest.mark.parametrize(
    "name, basis",
    [
        ("Db", "db.r5.large @ $0.2400/hr + 100GB (estimated: postgres at the MySQL price)"),
        ("Nat", "NAT Gateway @ $0.0450/hr"),
        ("WebSg", "Metadata/Configuration resource 'aws_security_group' (free)"),
        ("Orders", "DynamoDB provisioned (5M reqs + 20GB)"),
        ("Warehouse", "2.0x ra3.xlplus @ $1.0860/hr"),
    ],
)
def test_cloudformation_sizes_are_priced(rk, name, basis):
    record = {r["name"]: r for r in read("stack.yaml")}[name]
    assert rk.estimate_resource_cost(record)["basis"] == basis


def test_original_keys_stay_beside_the_translated_ones():
    cf = {r["name"]: r["properties"] for r in read("stack.yaml")}
    assert cf["Db"] == {"DBInstanceClass": "db.r5.large", "instance_class": "db.r5.large", "allocated_storage": 100,
                        "Engine": "postgres", "engine": "postgres"}
    assert cf["Search"]["ClusterConfig"] == {"InstanceType": "r6g.large.search", "InstanceCount": 3}
    pulumi = {r["name"]: r["properties"] for r in read("stack.pulumi.json")}
    assert pulumi["Sessions"] == {"nodeType": "cache.m5.large", "node_type": "cache.m5.large", "numCacheNodes": 2,
                                  "num_cache_nodes": 2}
    # The specified translation of `size` stays; the volume keeps its size as well.
    assert pulumi["Data"] == {"instance_type": 500, "size": 500, "type": "gp3"}


def test_nested_translation_is_bounded():
    deep = {"InstanceType": "r6g.large.search"}
    for _ in range(50):
        deep = {"ClusterConfig": deep}
    data = {"Resources": {"S": {"Type": "AWS::OpenSearchService::Domain", "Properties": deep}}}
    [record] = StackReader.parse_cloudformation_data(data)
    assert record["properties"]["ClusterConfig"] == deep["ClusterConfig"]
    assert "cluster_config" in record["properties"]


@pytest.mark.parametrize(
    "table, constant",
    [("cf_types.csv", "CF_TYPE_MAP"), ("pulumi_types.csv", "PULUMI_TYPE_MAP")],
)
def test_type_maps_hold_their_tables(table, constant):
    lines = [l for l in (ROOT / "pricing" / table).read_text().splitlines() if l and not l.startswith("#")]
    rows = dict(tuple(r) for r in list(csv.reader(lines))[1:])
    assert getattr(stackreader, constant) == rows


@pytest.mark.parametrize(
    "constant, key, rtype",
    [("CF_TYPE_MAP", k, v) for k, v in [
        ("AWS::EC2::Instance", "aws_instance"), ("AWS::RDS::DBInstance", "aws_db_instance"),
        ("AWS::Lambda::Function", "aws_lambda_function"), ("AWS::S3::Bucket", "aws_s3_bucket"),
        ("AWS::DynamoDB::Table", "aws_dynamodb_table"), ("AWS::EKS::Cluster", "aws_eks_cluster"),
        ("AWS::ElasticLoadBalancingV2::LoadBalancer", "aws_alb"),
        ("AWS::Elasticache::CacheCluster", "aws_elasticache_cluster"), ("AWS::Redshift::Cluster", "aws_redshift_cluster"),
        ("AWS::EC2::NatGateway", "aws_nat_gateway"), ("AWS::Serverless::Function", "aws_lambda_function"),
        ("AWS::Logs::LogGroup", "aws_cloudwatch_log_group"), ("AWS::EKS::Nodegroup", "aws_eks_node_group")]]
    + [("PULUMI_TYPE_MAP", k, v) for k, v in [
        ("aws:ec2/instance:Instance", "aws_instance"), ("aws:rds/instance:Instance", "aws_db_instance"),
        ("aws:s3/bucketV2:BucketV2", "aws_s3_bucket"), ("gcp:compute/instance:Instance", "google_compute_instance"),
        ("google-native:compute/v1:Instance", "google_compute_instance"),
        ("azure-native:compute:VirtualMachine", "azurerm_virtual_machine"),
        ("azure:storage/account:Account", "azurerm_storage_account"),
        ("aws:rds/cluster:Cluster", "aws_rds_cluster"), ("aws:ebs/volume:Volume", "aws_ebs_volume")]],
)
def test_type_maps_keep_their_entries(constant, key, rtype):
    assert getattr(stackreader, constant)[key] == rtype
