"""What the readers take from a configuration: resources only, whole values, nested blocks,
sizes named by other records and null."""
import json

import pytest

from tally_warden.stackreader import StackReader


def write(tmp_path, files):
    for name, text in files.items():
        path = tmp_path / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(text)
    return tmp_path


def scan(tmp_path, files, **kw):
    return StackReader.parse_tf_dir(str(write(tmp_path, files)), **kw)


def props(records, name):
    return next(r["properties"] for r in records if r["name"] == name)


# What is a resource.

DATA_AND_MANAGED = [
    {"mode": "data", "type": "aws_ami", "name": "ubuntu", "provider_name": "registry.terraform.io/hashicorp/aws",
     "values": {"id": "ami-1"}},
    {"mode": "managed", "type": "aws_instance", "name": "web", "provider_name": "registry.terraform.io/hashicorp/aws",
     "values": {"instance_type": "m5.large"}},
]


@pytest.mark.parametrize("plan", [
    {"planned_values": {"root_module": {"resources": DATA_AND_MANAGED}}},
    {"planned_values": {"root_module": {"child_modules": [{"resources": DATA_AND_MANAGED}]}}},
    {"resource_changes": [dict(e, change={"after": e["values"]}) for e in DATA_AND_MANAGED]},
])
def test_plan_data_sources_are_not_records(plan):
    records = StackReader.parse_plan_json_data(plan)
    assert [(r["type"], r["name"]) for r in records] == [("aws_instance", "web")]


def test_terraform_directories_are_skipped_by_every_walk(tmp_path):
    tree = write(tmp_path, {
        "main.tf": 'resource "aws_instance" "app" {\n  instance_type = var.size\n}\n',
        ".terraform/modules/vpc/main.tf": ('variable "size" {\n  default = "x9.huge"\n}\n'
                                           'resource "aws_nat_gateway" "this" {\n}\n'),
        ".terraform/modules/vpc/plan.json": json.dumps({"planned_values": {"root_module": {
            "resources": [DATA_AND_MANAGED[1]]}}}),
        "sub/.terraform/t.yaml": "Resources:\n  Q:\n    Type: AWS::SQS::Queue\n",
    })
    records = StackReader.parse_tf_dir(str(tree))
    assert [r["name"] for r in records] == ["app"]
    # The downloaded module's variables do not leak into the scan either.
    assert records[0]["properties"]["instance_type"] == "var.size"
    assert StackReader.parse_variables_and_locals(str(tree))[0] == {}
    from tally_warden import stackreader
    assert ".terraform" in stackreader.default_excludes



# Whole values.

WHOLE_VALUES = '''
resource "aws_instance" "one_line" { instance_type = "m5.large" }

resource "aws_vpc_endpoint" "ep" {
  vpc_endpoint_type = "Interface"
  subnet_ids = [
    "subnet-a",  # first
    "subnet-b",
    "subnet-c",
  ]
  description = "see https://example.com/#top" // a comment
  policy = <<EOF
{"a": "b"} # not a comment
resource "aws_instance" "in_heredoc" {
EOF
  tags = {
    Name             = "ep"
    tally_transfer_gb = 50
  }
}

/*
resource "aws_instance" "in_block_comment" {
  instance_type = "x1.32xlarge"
}
*/

resource "aws_instance" "nested_one_line" { root_block_device { volume_size = 30 } }

resource "aws_ebs_volume" "closing" {
  type = "gp3" /* inline */
  size = 100 }
'''


def test_whole_values(tmp_path):
    records = scan(tmp_path, {"main.tf": WHOLE_VALUES})
    assert [r["name"] for r in records] == ["one_line", "ep", "nested_one_line", "closing"]
    assert props(records, "nested_one_line") == {"volume_size": 30,
                                                 "@blocks": {"root_block_device": [{"volume_size": 30}]}}
    assert props(records, "one_line") == {"instance_type": "m5.large"}
    ep = props(records, "ep")
    assert ep["subnet_ids"].startswith("[") and ep["subnet_ids"].endswith("]")
    assert ep["subnet_ids"].count("subnet-") == 3 and "first" not in ep["subnet_ids"]
    assert ep["description"] == "see https://example.com/#top"
    assert ep["policy"] == '<<EOF\n{"a": "b"} # not a comment\nresource "aws_instance" "in_heredoc" {\nEOF'
    # A map value is kept whole, and its lines still arrive as properties of their own.
    assert ep["tags"].startswith("{") and ep["tags"].endswith("}")
    assert ep["Name"] == "ep" and ep["tally_transfer_gb"] == 50
    assert props(records, "closing") == {"type": "gp3", "size": 100}


def test_multi_line_list_counts_every_element(tmp_path):
    from tally_warden.reckoner import Reckoner
    records = scan(tmp_path, {"main.tf": WHOLE_VALUES})
    cost = Reckoner().estimate_resource_cost(next(r for r in records if r["name"] == "ep"))
    assert cost["basis"].startswith("3x Interface endpoint AZ")


@pytest.mark.parametrize("text, expected", [
    ('default = "a#b"', "a#b"),
    ('default = "logs//2024" # note', "logs//2024"),
    ('default = "x" /* note */', "x"),
])
def test_variable_defaults_keep_comment_characters_in_strings(tmp_path, text, expected):
    write(tmp_path, {"v.tf": 'variable "v" {\n  %s\n}\n' % text})
    assert StackReader.parse_variables_and_locals(str(tmp_path))[0] == {"v": expected}


# Nested blocks.

def price(record):
    from tally_warden.reckoner import Reckoner
    return Reckoner().estimate_resource_cost(record)


def test_own_keys_win_and_blocks_are_kept_whole(tmp_path):
    records = scan(tmp_path, {"main.tf": '''
resource "azurerm_linux_virtual_machine_scale_set" "vmss" {
  sku       = "Standard_D4s_v5"
  instances = 3
  source_image_reference {
    publisher = "Canonical"
    sku       = "22_04-lts"
  }
  dynamic "data_disk" {
    for_each = [1]
    content {
      disk_size_gb = 64
    }
  }
}
'''})
    p = records[0]["properties"]
    assert p["sku"] == "Standard_D4s_v5" and p["publisher"] == "Canonical"
    assert p["@blocks"] == {
        "source_image_reference": [{"publisher": "Canonical", "sku": "22_04-lts"}],
        "data_disk": [{"for_each": "[1]", "disk_size_gb": 64}],
    }
    assert price(records[0])["basis"].startswith("3x Standard_D4s_v5 @")


AKS_TF = '''
resource "azurerm_kubernetes_cluster" "aks" {
  location = "westeurope"
  default_node_pool {
    name       = "default"
    vm_size    = "Standard_D2s_v3"
    node_count = 2
  }
}
'''


def plan_of(rtype, values):
    return {"planned_values": {"root_module": {"resources": [
        {"mode": "managed", "type": rtype, "name": "r",
         "provider_name": "registry.terraform.io/hashicorp/" + rtype.split("_")[0],
         "values": values}]}}}


def pulumi_of(token, inputs):
    return {"deployment": {"resources": [{"type": token, "name": "r", "inputs": inputs}]}}


def cloudformation_of(cf_type, properties):
    return {"Resources": {"R": {"Type": cf_type, "Properties": properties}}}


def read_json(tmp_path, doc):
    path = tmp_path / "doc.json"
    path.write_text(json.dumps(doc))
    return StackReader.parse_tf_dir(str(path))


@pytest.mark.parametrize("source, expected", [
    ("tf", "2x Standard_D2s_v3"),
    (plan_of("azurerm_kubernetes_cluster", {"default_node_pool": [
        {"vm_size": "Standard_D2s_v3", "node_count": None, "min_count": 3}]}), "3x Standard_D2s_v3"),
    (pulumi_of("azure:containerservice/kubernetesCluster:KubernetesCluster",
               {"defaultNodePool": {"vmSize": "Standard_D2s_v3", "minCount": 2}}), "2x Standard_D2s_v3"),
])
def test_aks_prices_its_default_node_pool(tmp_path, source, expected):
    records = scan(tmp_path, {"main.tf": AKS_TF}) if source == "tf" else read_json(tmp_path, source)
    basis = price(records[0])["basis"]
    assert basis.startswith("Kubernetes Control Plane @") and f"(+ default pool {expected} @" in basis


@pytest.mark.parametrize("source", [
    '''resource "aws_opensearch_domain" "r" {
  cluster_config {
    instance_type  = "r6g.large.search"
    instance_count = 3
  }
}''',
    plan_of("aws_opensearch_domain", {"cluster_config": [{"instance_type": "r6g.large.search", "instance_count": 3}]}),
    cloudformation_of("AWS::OpenSearchService::Domain",
                      {"ClusterConfig": {"InstanceType": "r6g.large.search", "InstanceCount": 3}}),
    pulumi_of("aws:opensearch/domain:Domain", {"clusterConfig": {"instanceType": "r6g.large.search", "instanceCount": 3}}),
    plan_of("aws_elasticsearch_domain", {"instance_type": "r6g.large.search", "instance_count": 3}),
])
def test_search_domain_reads_its_cluster_config(tmp_path, source):
    records = scan(tmp_path, {"main.tf": source}) if isinstance(source, str) else read_json(tmp_path, source)
    assert price(records[0])["basis"].startswith("3x r6g.large.search @")


@pytest.mark.parametrize("source", [
    '''resource "aws_instance" "r" {
  instance_type = "t3.micro"
  root_block_device {
    volume_size = 100
    volume_type = "gp3"
  }
  ebs_block_device {
    volume_size = 20
  }
}''',
    plan_of("aws_instance", {"instance_type": "t3.micro", "root_block_device": [{"volume_size": 100, "volume_type": "gp3"}],
                             "ebs_block_device": [{"volume_size": 20, "volume_type": None}]}),
    pulumi_of("aws:ec2/instance:Instance", {"instanceType": "t3.micro",
                                            "rootBlockDevice": {"volumeSize": 100, "volumeType": "gp3"},
                                            "ebsBlockDevices": [{"volumeSize": 20}]}),
    cloudformation_of("AWS::EC2::Instance", {"InstanceType": "t3.micro", "BlockDeviceMappings": [
        {"DeviceName": "/dev/xvda", "Ebs": {"VolumeSize": 100, "VolumeType": "gp3"}},
        {"DeviceName": "/dev/xvdb", "Ebs": {"VolumeSize": 20}}]}),
])
def test_instance_volumes_are_priced(tmp_path, source):
    records = scan(tmp_path, {"main.tf": source}) if isinstance(source, str) else read_json(tmp_path, source)
    result = price(records[0])
    assert result["basis"].startswith("t3.micro @")
    assert " + 100GB gp3 disk @ $" in result["basis"] and " + 20GB base disk @ $" in result["basis"]
    bare = price({"provider": "aws", "type": "aws_instance", "name": "r", "properties": {"instance_type": "t3.micro"}})
    assert result["monthly_cost"] > bare["monthly_cost"]


@pytest.mark.parametrize("source", [
    '''resource "aws_autoscaling_group" "r" {
  desired_capacity = 2
  mixed_instances_policy {
    launch_template {
      launch_template_specification {
        launch_template_id = "lt-1"
      }
      override {
        instance_type = "c5.large"
      }
      override {
        instance_type = "m5.large"
      }
    }
  }
}''',
    plan_of("aws_autoscaling_group", {"desired_capacity": 2, "mixed_instances_policy": [{"launch_template": [{
        "override": [{"instance_type": "c5.large"}, {"instance_type": "m5.large"}]}]}]}),
    cloudformation_of("AWS::AutoScaling::AutoScalingGroup", {"DesiredCapacity": 2, "MixedInstancesPolicy": {
        "LaunchTemplate": {"Overrides": [{"InstanceType": "c5.large"}, {"InstanceType": "m5.large"}]}}}),
])
def test_auto_scaling_group_takes_first_mixed_override(tmp_path, source):
    records = scan(tmp_path, {"main.tf": source}) if isinstance(source, str) else read_json(tmp_path, source)
    basis = price(records[0])["basis"]
    assert basis.startswith("2x c5.large @") and basis.endswith("(first mixed instances override)")


# Sizes from other records.

ECS_STACK = """
Parameters:
  InstanceType:
    Type: String
    Default: c4.large
  DesiredCapacity:
    Type: Number
    Default: 4
Resources:
  ECSAutoScalingGroup:
    Type: AWS::AutoScaling::AutoScalingGroup
    Properties:
      LaunchConfigurationName: !Ref ContainerInstances
      MinSize: 1
      DesiredCapacity: !Ref DesiredCapacity
  ContainerInstances:
    Type: AWS::AutoScaling::LaunchConfiguration
    Properties:
      ImageId: ami-123
      InstanceType: !Ref InstanceType
"""

LAUNCH_CONFIGURATION_TF = """
resource "aws_launch_configuration" "lc" {
  name          = "web-lc"
  instance_type = "c4.large"
}

resource "aws_autoscaling_group" "by_reference" {
  desired_capacity     = 4
  launch_configuration = aws_launch_configuration.lc.name
}

resource "aws_autoscaling_group" "by_name" {
  desired_capacity     = 4
  launch_configuration = "web-lc"
}
"""


@pytest.mark.parametrize("files", [{"ecs.yaml": ECS_STACK}, {"main.tf": LAUNCH_CONFIGURATION_TF}])
def test_auto_scaling_group_takes_its_launch_configuration_size(tmp_path, files):
    groups = [r for r in scan(tmp_path, files) if r["type"] == "aws_autoscaling_group"]
    assert groups
    for group in groups:
        result = price(group)
        assert result["basis"].startswith("4x c4.large ") and result["basis"].endswith("(launch configuration size)")
        assert result["monthly_cost"] > 200


# Null.

NULL_REGION = """
variable "region" {
  default = null
}
variable "class" {
  default = null
}
provider "aws" {
  region = "eu-west-1"
}
provider "aws" {
  alias  = "west"
  region = "us-west-2"
}
resource "aws_db_instance" "plain" {
  region         = var.region
  instance_class = var.class
}
resource "aws_db_instance" "aliased" {
  provider       = aws.west
  region         = var.region
  instance_class = null
}
"""


def test_null_is_absent(tmp_path):
    records = scan(tmp_path, {"main.tf": NULL_REGION})
    assert props(records, "plain") == {"region": "eu-west-1"}
    assert props(records, "aliased") == {"provider": "aws.west", "region": "us-west-2"}
    for r in records:
        assert "null" not in price(r)["basis"]


def test_cloudformation_group_takes_its_launch_template_size(tmp_path):
    stack = """
Resources:
  Group:
    Type: AWS::AutoScaling::AutoScalingGroup
    Properties:
      DesiredCapacity: 2
      LaunchTemplate:
        LaunchTemplateId: !Ref Template
        Version: !GetAtt Template.LatestVersionNumber
  Template:
    Type: AWS::EC2::LaunchTemplate
    Properties:
      LaunchTemplateData:
        InstanceType: m5.large
"""
    [group] = [r for r in scan(tmp_path, {"stack.yaml": stack}) if r["type"] == "aws_autoscaling_group"]
    basis = price(group)["basis"]
    assert basis.startswith("2x m5.large ") and basis.endswith("(launch template size)")
