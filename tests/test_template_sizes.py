"""Instance groups take the size of the launch or instance template they name, when the scan
holds that template."""
import textwrap

import pytest

from tally_warden.reckoner import Reckoner
from tally_warden.stackreader import StackReader

AWS_TEMPLATES = """
resource "aws_launch_template" "web" {
  name          = "web-lt"
  instance_type = "m5.large"
}
"""

GOOGLE_TEMPLATES = """
resource "google_compute_instance_template" "app" {
  machine_type = "n2-standard-4"
}
resource "google_compute_region_instance_template" "regional" {
  machine_type = "e2-standard-2"
}
resource "google_compute_node_template" "sole" {
  node_type = "c2-node-60-240"
}
"""

# (Terraform of the referrer, the size it takes, the estimator's basis with the shipped list)
REFERRERS = [
    ("""resource "aws_autoscaling_group" "asg" {
          desired_capacity = 3
          launch_template {
            id      = aws_launch_template.web.id
            version = "$Latest"
          }
        }""", "template_instance_type", "m5.large", "3x m5.large @ $0.0960/hr [global] (launch template size)"),
    ("""resource "aws_autoscaling_group" "byname" {
          desired_capacity = 2
          launch_template {
            name = "web-lt"
          }
        }""", "template_instance_type", "m5.large", "2x m5.large @ $0.0960/hr [global] (launch template size)"),
    ("""resource "aws_autoscaling_group" "legacy" {
          min_size                = 1
          launch_template_name    = "web-lt"
        }""", "template_instance_type", "m5.large", "1x m5.large @ $0.0960/hr [global] (launch template size)"),
    ("""resource "aws_eks_node_group" "nodes" {
          scaling_config {
            desired_size = 2
            min_size     = 1
            max_size     = 3
          }
          launch_template {
            id      = aws_launch_template.web.id
            version = aws_launch_template.web.latest_version
          }
        }""", "template_instance_type", "m5.large", "2x m5.large @ $0.0960/hr [global] (launch template size)"),
    ("""resource "google_compute_instance_group_manager" "mig" {
          target_size = 2
          version {
            instance_template = google_compute_instance_template.app.id
          }
        }""", "template_machine_type", "n2-standard-4", None),
    ("""resource "google_compute_region_instance_group_manager" "rmig" {
          target_size = 3
          version {
            instance_template = google_compute_region_instance_template.regional.self_link
          }
        }""", "template_machine_type", "e2-standard-2", None),
    # A sole-tenant node group: c2-standard-60 ($0.05218 a vCPU-hour) + the 10% premium.
    ("""resource "google_compute_node_group" "nodes" {
          initial_size  = 2
          node_template = google_compute_node_template.sole.id
        }""", "template_node_type", "c2-node-60-240",
     "2x c2-standard-60 @ $3.1308/hr [global] + 10% sole-tenancy premium (c2-node-60-240)"),
]


@pytest.fixture(scope="module")
def rk(tmp_path_factory):
    return Reckoner(str(tmp_path_factory.mktemp("store") / "pricing.db"))


def scan(tmp_path, *texts):
    for i, text in enumerate(texts):
        (tmp_path / f"f{i}.tf").write_text(textwrap.dedent(text))
    return StackReader.parse_tf_dir(str(tmp_path))


@pytest.mark.parametrize("text, key, size, basis", REFERRERS, ids=[r[0].split('"')[1] for r in REFERRERS])
def test_groups_take_the_template_size(tmp_path, rk, capsys, text, key, size, basis):
    records = scan(tmp_path, AWS_TEMPLATES, GOOGLE_TEMPLATES, text)
    assert capsys.readouterr().out == ""
    [group] = [r for r in records if r["type"] == text.split('"')[1]]
    assert list(group) == ["provider", "type", "name", "properties"]
    assert group["properties"][key] == size
    result = rk.estimate_resource_cost(group)
    if basis:
        assert result["basis"] == basis
    else:
        assert result["basis"].endswith(" (instance template size)")
        assert size in result["basis"]


def test_through_the_hook(tmp_path, capsys, monkeypatch):
    from tally_warden import hookgate

    monkeypatch.setattr(hookgate, "Reckoner", lambda: Reckoner(str(tmp_path / "store.db")))
    site = tmp_path / "repo"
    site.mkdir()
    scan(site, AWS_TEMPLATES, REFERRERS[0][0])
    # 3 × m5.large at $0.096/h: $210.24 a month; the template itself is free.
    assert hookgate.run_hook(str(site), 1000.0) == 0
    assert "$210.24" in capsys.readouterr().out


@pytest.mark.parametrize("groups, templates", [
    # The group's own size wins over its template's.
    ("""resource "aws_autoscaling_group" "g" {
          instance_type = "c5.large"
          launch_template {
            id = aws_launch_template.web.id
          }
        }""", AWS_TEMPLATES),
    # A template the scan does not hold, and a size the reader could not resolve.
    ("""resource "aws_autoscaling_group" "g" {
          launch_template {
            id = aws_launch_template.elsewhere.id
          }
        }""", AWS_TEMPLATES),
    ("""resource "aws_autoscaling_group" "g" {
          launch_template {
            id = aws_launch_template.web.id
          }
        }""", 'resource "aws_launch_template" "web" {\n  instance_type = var.size\n}\n'),
    # A longer type name that merely ends like the template's is not a reference to it.
    ("""resource "aws_autoscaling_group" "g" {
          launch_template {
            id = my_aws_launch_template.web.id
          }
        }""", AWS_TEMPLATES),
])
def test_groups_without_a_usable_template_keep_the_default(tmp_path, rk, groups, templates):
    records = scan(tmp_path, templates, groups)
    [group] = [r for r in records if r["type"] == "aws_autoscaling_group"]
    assert "id" in group["properties"]
    assert "template_instance_type" not in group["properties"]


def test_same_address_with_different_sizes_is_not_resolved(tmp_path):
    for sub, size in (("a", "m5.large"), ("b", "c5.xlarge")):
        (tmp_path / sub).mkdir()
        scan(tmp_path / sub, f'resource "aws_launch_template" "web" {{\n  instance_type = "{size}"\n}}\n',
             'resource "aws_autoscaling_group" "g" {\n  launch_template {\n    id = aws_launch_template.web.id\n  }\n}\n')
    records = StackReader.parse_tf_dir(str(tmp_path))
    groups = [r for r in records if r["type"] == "aws_autoscaling_group"]
    assert len(groups) == 2
    assert all("template_instance_type" not in g["properties"] for g in groups)


def test_plan_json_groups_find_their_template_by_name(tmp_path, rk):
    import json

    plan = {"format_version": "1.2", "planned_values": {"root_module": {"resources": [
        {"address": "aws_launch_template.web", "type": "aws_launch_template", "name": "web",
         "values": {"name": "web-lt", "instance_type": "c5.xlarge"}},
        {"address": "aws_autoscaling_group.g", "type": "aws_autoscaling_group", "name": "g",
         "values": {"name": "g-asg", "desired_capacity": 2,
                    "launch_template": [{"id": None, "name": "web-lt", "version": "$Latest"}]}}]}}}
    (tmp_path / "plan.json").write_text(json.dumps(plan))
    [_, group] = StackReader.parse_tf_dir(str(tmp_path))
    assert group["properties"]["template_instance_type"] == "c5.xlarge"
    assert rk.estimate_resource_cost(group)["basis"] == "2x c5.xlarge @ $0.1700/hr [global] (launch template size)"
