import csv
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from tally_warden import reckoner
from tally_warden.reckoner import Reckoner

ROOT = Path(__file__).resolve().parent.parent
GEN = ROOT / "scripts" / "gen_catalog.py"


def catalog_rows():
    lines = [l for l in (ROOT / "pricing" / "catalog.csv").read_text().splitlines() if l and not l.startswith("#")]
    return list(csv.DictReader(lines))


ROWS = catalog_rows()
FREE = {r["type"]: r["reason"] for r in ROWS if r["pricing"] == "free"}
FAMILY = [r["type"] for r in ROWS if r["pricing"] == "family"]


@pytest.fixture(scope="module")
def rk(tmp_path_factory):
    return Reckoner(str(tmp_path_factory.mktemp("store") / "pricing.db"))


def cost(rk, rtype, props=None, provider=None):
    return rk.estimate_resource_cost({"provider": provider or rtype.split("_")[0], "type": rtype, "name": "r",
                                      "properties": props or {}})


def keyword_classification(rtype):
    """What the estimator gives a type that neither a family nor the catalog knows."""
    lower = rtype.lower()
    if any(k in lower for k in reckoner.free_keywords):
        return 0.0, f"Metadata/Configuration resource '{rtype}' (free)"
    for keywords, amount, opening in reckoner.UNMAPPED_CATEGORIES:
        if any(k in lower for k in keywords):
            return amount, f"{opening}{rtype}' (default)"
    return 10.0, f"Unmapped paid resource '{rtype}' (default)"


def test_generated_tables_are_up_to_date():
    run = subprocess.run([sys.executable, str(GEN), "--check"], capture_output=True, text=True)
    assert run.returncode == 0, run.stderr


@pytest.mark.parametrize(
    "edit, error",
    [
        (lambda rows: rows + ["aaa_first,free,"], "not sorted"),
        (lambda rows: rows[:1] + [rows[1].replace(",free,", ",cheap,")] + rows[2:], "pricing must be"),
        (lambda rows: rows[:1] + [rows[1].split(",")[0] + ",free,Costs (nothing)"] + rows[2:], "reason"),
        (lambda rows: rows[:2] + rows[1:], "already on line"),
        (lambda rows: ["kind,pricing,reason"] + rows[1:], "header"),
    ],
)
def test_generator_rejects_a_broken_catalog(tmp_path, edit, error):
    shutil.copytree(ROOT / "pricing", tmp_path / "pricing")
    (tmp_path / "scripts").mkdir()
    shutil.copy(GEN, tmp_path / "scripts")
    path = tmp_path / "pricing" / "catalog.csv"
    rows = [l for l in path.read_text().splitlines() if not l.startswith("#")]
    path.write_text("\n".join(edit(rows)) + "\n")
    run = subprocess.run([sys.executable, str(tmp_path / "scripts" / "gen_catalog.py"), "--check"],
                         capture_output=True, text=True)
    assert run.returncode == 1 and error in run.stderr


def test_every_free_type_costs_nothing_with_its_basis(rk):
    for rtype, reason in FREE.items():
        c = cost(rk, rtype)
        expected = f"{reason}: '{rtype}' (free)" if reason else f"Metadata/Configuration resource '{rtype}' (free)"
        assert (c["monthly_cost"], c["basis"]) == (0.0, expected), rtype


def test_every_family_row_is_priced_by_a_family(rk):
    assert FAMILY
    for rtype in FAMILY:
        basis = cost(rk, rtype)["basis"]
        assert not basis.endswith(("(free)", "(default)")), rtype


@pytest.mark.parametrize(
    "rtype, basis",
    [
        ("random_password", "Exists only in Terraform state: 'random_password' (free)"),
        ("null_resource", "Exists only in Terraform state: 'null_resource' (free)"),
        ("time_sleep", "Exists only in Terraform state: 'time_sleep' (free)"),
        ("local_file", "Exists only in Terraform state: 'local_file' (free)"),
        ("azurecaf_name", "Exists only in Terraform state: 'azurecaf_name' (free)"),
        ("terraform_data", "Exists only in Terraform state: 'terraform_data' (free)"),
        ("kubernetes_deployment", "Billed through the cluster's nodes: 'kubernetes_deployment' (free)"),
        ("helm_release", "Billed through the cluster's nodes: 'helm_release' (free)"),
        ("aws_eks_addon", "Billed through the cluster's nodes: 'aws_eks_addon' (free)"),
        ("azurerm_linux_web_app", "Billed through its service plan: 'azurerm_linux_web_app' (free)"),
        ("azurerm_windows_web_app_slot", "Billed through its service plan: 'azurerm_windows_web_app_slot' (free)"),
        ("aws_security_group", "Metadata/Configuration resource 'aws_security_group' (free)"),
        ("google_compute_firewall", "Metadata/Configuration resource 'google_compute_firewall' (free)"),
        ("google_project_iam_member", "Metadata/Configuration resource 'google_project_iam_member' (free)"),
        ("azurerm_dns_a_record", "Metadata/Configuration resource 'azurerm_dns_a_record' (free)"),
        ("aws_cloudwatch_log_subscription_filter",
         "Metadata/Configuration resource 'aws_cloudwatch_log_subscription_filter' (free)"),
    ],
)
def test_catalog_types_that_were_placeholders(rk, rtype, basis):
    c = cost(rk, rtype)
    assert (c["monthly_cost"], c["basis"]) == (0.0, basis)


@pytest.mark.parametrize(
    "rtype, props",
    [
        ("kubernetes_service", {"type": "LoadBalancer"}),  # the line reader lifts block attributes
        ("kubernetes_service_v1", {"spec": [{"type": "LoadBalancer", "port": [{"port": 80}]}]}),  # plan JSON
        ("kubernetes_manifest", {"kind": "Service", "spec": '{ type = "LoadBalancer" }'}),
        ("helm_release", {"set": [{"name": "controller.service.type", "value": "LoadBalancer"}]}),
    ],
)
def test_cluster_objects_that_ask_for_a_load_balancer_are_priced_as_one(rk, rtype, props):
    c = cost(rk, rtype, props)
    assert c["monthly_cost"] == 18.25
    assert c["basis"].startswith("Service of type LoadBalancer: Google Cloud forwarding rule @ $0.0250/hr")


@pytest.mark.parametrize(
    "rtype, props",
    [
        ("kubernetes_stateful_set", {"spec": [{"volume_claim_template": [{"metadata": [{"name": "data"}]}]}]}),
        ("kubernetes_stateful_set_v1", {"access_modes": ["ReadWriteOnce"], "storage": "10Gi"}),
        ("kubectl_manifest", {"yaml_body": "kind: PersistentVolumeClaim\nspec:\n  accessModes: [ReadWriteOnce]\n"}),
        ("kubernetes_persistent_volume_claim", {}),
        ("kubernetes_persistent_volume_claim_v1", {}),
    ],
)
def test_cluster_objects_that_provision_keep_the_keyword_classification(rk, rtype, props):
    c = cost(rk, rtype, props)
    assert (c["monthly_cost"], c["basis"]) == keyword_classification(rtype)


@pytest.mark.parametrize(
    "rtype, props",
    [
        ("kubernetes_service", {"type": "ClusterIP"}),
        ("kubernetes_service_v1", {"spec": [{"type": "NodePort"}]}),
        ("kubernetes_persistent_volume", {"access_modes": ["ReadWriteMany"]}),
        ("kubernetes_stateful_set", {"replicas": 3}),
    ],
)
def test_cluster_objects_that_provision_nothing_are_free(rk, rtype, props):
    assert cost(rk, rtype, props)["basis"] == f"Billed through the cluster's nodes: '{rtype}' (free)"


@pytest.mark.parametrize(
    "rtype",
    [
        # Billed by the hour or by the month, whatever their name suggests.
        "aws_nat_gateway", "aws_eip", "aws_vpc_endpoint", "aws_ec2_transit_gateway",
        "aws_ec2_transit_gateway_vpc_attachment", "aws_vpn_connection", "aws_route53_zone",
        "aws_route53_resolver_endpoint", "aws_route53_health_check", "aws_kms_key", "aws_cloudwatch_log_group",
        "aws_cloudwatch_metric_alarm", "aws_cloudwatch_log_metric_filter", "aws_s3_bucket_metric", "aws_flow_log", "aws_wafv2_rule_group", "aws_lambda_provisioned_concurrency_config",
        "google_compute_address", "google_compute_global_address", "google_compute_router_nat",
        "google_compute_vpn_gateway", "google_compute_ha_vpn_gateway", "google_compute_vpn_tunnel",
        "google_compute_security_policy", "google_vpc_access_connector", "google_kms_crypto_key",
        "google_secret_manager_secret_version", "google_logging_metric", "google_monitoring_alert_policy",
        "azurerm_public_ip", "azurerm_nat_gateway", "azurerm_virtual_network_gateway", "azurerm_bastion_host",
        "azurerm_private_dns_zone", "azurerm_network_ddos_protection_plan", "azurerm_firewall_policy",
        "azurerm_key_vault_key", "azurerm_key_vault_certificate", "azurerm_monitor_metric_alert", "azurerm_lb_rule",
        "azurerm_security_center_subscription_pricing", "azurerm_function_app_slot",
        # An ingress is a cloud load balancer on GKE, and on EKS with the load balancer controller.
        "kubernetes_ingress", "kubernetes_ingress_v1",
    ],
)
def test_paid_types_are_not_listed_free(rtype):
    assert rtype not in FREE


@pytest.mark.parametrize(
    "rtype, provider",
    [
        ("aws_docdb_cluster", "aws"),
        ("aws_cloudwatch_metric_stream", "aws"),
        ("azurerm_frontdoor_firewall_policy", "azurerm"),
        ("aws_something_new_policy", "aws"),
        ("google_widget_thing", "google"),
        ("awscc_widget_security_group", "aws"),
        ("", "aws"),
    ],
)
def test_unlisted_types_keep_the_keyword_classification(rk, rtype, provider):
    assert rtype not in FREE
    c = cost(rk, rtype, provider=provider)
    assert (c["monthly_cost"], c["basis"]) == keyword_classification(rtype)


@pytest.mark.parametrize(
    "rtype, basis",
    [
        # docs.aws.amazon.com/systems-manager/latest/userguide/fleet-manager-configure-instance-tiers.html
        ("aws_ssm_activation",
         "Standard-tier hybrid activations are free up to 1,000 nodes per account and Region: 'aws_ssm_activation' (free)"),
        # cloud.google.com/firewall/docs/key-terms (address groups are Essentials) and /firewall/pricing
        ("google_network_security_address_group",
         "A Cloud NGFW Essentials feature, which has no charge: 'google_network_security_address_group' (free)"),
        # cloud.google.com/firewall/pricing: Enterprise bills endpoint-hours and inspected data
        ("google_network_security_security_profile_group",
         "Billed through its firewall endpoints and the traffic they inspect: "
         "'google_network_security_security_profile_group' (free)"),
        # cloud.google.com/compute/docs/protocol-forwarding: charged at the load balancing rates
        ("google_compute_target_instance",
         "Billed through the forwarding rules that point to it: 'google_compute_target_instance' (free)"),
        ("aws_eks_fargate_profile",
         "Billed through the Fargate pods it schedules, per vCPU-hour and GB-hour: 'aws_eks_fargate_profile' (free)"),
        ("azurerm_virtual_hub_connection",
         "Billed through its hub's data processing, connection units bill on-premises endpoints only: "
         "'azurerm_virtual_hub_connection' (free)"),
        ("azapi_resource_action", "An action on an existing resource, billed through that resource: 'azapi_resource_action' (free)"),
        ("google_network_connectivity_hub",
         "Billed through its spokes' hours and their outbound traffic: 'google_network_connectivity_hub' (free)"),
    ],
)
def test_types_without_a_charge_of_their_own(rk, rtype, basis):
    c = cost(rk, rtype)
    assert (c["monthly_cost"], c["basis"]) == (0.0, basis)


# No provider page with their charges was read: they keep a visible default, not $0.
@pytest.mark.parametrize(
    "rtype",
    ["google_network_security_mirroring_deployment_group", "google_network_security_mirroring_endpoint_group"],
)
def test_types_with_unread_charges_are_not_free(rk, rtype):
    assert rtype not in FREE
    assert cost(rk, rtype)["monthly_cost"] > 0
