"""Families of paid types beyond the keyword classification, against the shipped price list
(well-known list prices) and against an empty store (the built-in defaults)."""
import pathlib

import pytest

from tally_warden.reckoner import Reckoner



@pytest.fixture(scope="module")
def shipped(tmp_path_factory):
    r = Reckoner(str(tmp_path_factory.mktemp("store") / "pricing.db"))

    def run(provider, rtype, props):
        return r.estimate_resource_cost({"provider": provider, "type": rtype, "name": "n", "properties": props})

    return run


# (provider, type, properties, monthly cost at list price); each price is a published on-demand
# list price: $0.005/h per public IPv4 address, $0.01 per interface endpoint AZ-hour, ...
LIST_PRICES = [
    ("aws", "aws_eip", {}, 3.65),
    ("aws", "aws_vpc_endpoint", {"vpc_endpoint_type": "Interface", "subnet_ids": "[aws_subnet.a.id, aws_subnet.b.id]"}, 14.6),
    ("aws", "aws_vpc_endpoint", {"vpc_endpoint_type": "Interface", "subnet_ids": ["a", "b", "c"], "tally_transfer_gb": 100}, 22.9),
    ("aws", "aws_ec2_transit_gateway_vpc_attachment", {"tally_transfer_gb": 1000}, 56.5),
    ("aws", "aws_vpn_connection", {}, 36.5),
    # A resolver endpoint has at least two IP addresses.
    ("aws", "aws_route53_resolver_endpoint", {}, 182.5),
    ("aws", "aws_route53_resolver_endpoint", {"ip_address": [{"subnet_id": s} for s in "abc"]}, 273.75),
    ("aws", "aws_transfer_server", {}, 219.0),
    ("aws", "aws_kms_key", {}, 1.0),
    ("aws", "aws_cloudwatch_dashboard", {}, 3.0),
    ("aws", "aws_cloudwatch_metric_alarm", {"period": 60}, 0.1),
    ("aws", "aws_cloudwatch_metric_alarm", {"period": 10}, 0.3),
    ("aws", "aws_cloudwatch_log_group", {"tally_gb_ingested": 10, "tally_storage_gb": 100}, 8.0),
    ("aws", "aws_flow_log", {"tally_gb_ingested": 100}, 50.0),
    ("aws", "aws_flow_log", {"log_destination_type": "s3", "tally_gb_ingested": 100}, 25.0),
    ("aws", "aws_appsync_graphql_api", {"tally_million_requests": 10}, 40.0),
    ("aws", "aws_sfn_state_machine", {"tally_million_requests": 2}, 50.0),
    ("aws", "aws_sfn_state_machine", {"type": "EXPRESS", "tally_million_requests": 2}, 2.0),
    ("aws", "aws_efs_file_system", {"tally_storage_gb": 100}, 30.0),
    ("aws", "aws_efs_file_system", {"tally_storage_gb": 100, "availability_zone_name": "us-east-1a"}, 16.0),
    # Node count × instance type, through the EC2 price of m5.large ($0.096/h).
    ("aws", "aws_eks_node_group", {"instance_types": '["m5.large"]', "desired_size": 3, "region": "us-east-1"}, 210.24),
    ("aws", "aws_eks_node_group", {"instance_types": ["m5.large"], "scaling_config": [{"desired_size": 0, "min_size": 0}]}, 0.0),
    ("aws", "aws_autoscaling_group", {"instance_type": "m5.large", "desired_capacity": 2, "min_size": 1}, 140.16),
    # A count that is no count ("inf", "nan", negative) is skipped: the next key, else one node.
    ("aws", "aws_autoscaling_group", {"instance_type": "m5.large", "desired_capacity": "inf", "min_size": 2}, 140.16),
    ("aws", "aws_eks_node_group", {"instance_types": ["m5.large"], "desired_size": "nan"}, 70.08),
    ("azurerm", "azurerm_kubernetes_cluster_node_pool", {"vm_size": "Standard_D2s_v5", "node_count": -3}, 70.08),
    ("azurerm", "azurerm_linux_virtual_machine_scale_set", {"sku": "Standard_D2s_v5", "instances": 3, "location": "eastus"}, 210.24),
    ("azurerm", "azurerm_kubernetes_cluster_node_pool", {"vm_size": "Standard_D2s_v5", "node_count": 2}, 140.16),
    ("azurerm", "azurerm_virtual_machine_scale_set", {"sku": [{"name": "Standard_D2s_v5", "capacity": 4}]}, 280.32),
    ("azurerm", "azurerm_service_plan", {"sku_name": "P1v2", "os_type": "Windows"}, 146.0),
    ("azurerm", "azurerm_public_ip", {"sku": "Standard"}, 3.65),
    ("azurerm", "azurerm_app_configuration", {}, 0.0),
    ("azurerm", "azurerm_app_configuration", {"sku": "standard"}, 36.5),
    ("azurerm", "azurerm_cdn_frontdoor_profile", {"sku_name": "Standard_AzureFrontDoor"}, 35.0),
    ("azurerm", "azurerm_cdn_frontdoor_profile", {"sku_name": "Premium_AzureFrontDoor"}, 330.0),
    ("azurerm", "azurerm_eventgrid_topic", {"tally_million_requests": 10}, 6.0),
    ("azurerm", "azurerm_private_dns_zone", {}, 0.5),
    ("azurerm", "azurerm_monitor_metric_alert", {}, 0.1),
    ("azurerm", "azurerm_virtual_hub", {"location": "eastus"}, 182.5),
    # Cloud NAT: $0.0014 per VM-hour up to the $0.044 gateway-hour cap, $0.045 per GiB.
    ("google", "google_compute_router_nat", {}, 32.12),
    ("google", "google_compute_router_nat", {"tally_instances": 10, "tally_transfer_gb": 100}, 14.72),
    ("google", "google_compute_address", {}, 3.65),
    ("google", "google_compute_global_address", {"purpose": "VPC_PEERING", "address_type": "INTERNAL"}, 0.0),
    ("google", "google_compute_vpn_tunnel", {}, 36.5),
    ("google", "google_compute_ha_vpn_gateway", {}, 0.0),
    # node_count is per zone: three zones for a regional pool, or one per listed location.
    ("google", "google_container_node_pool", {"node_count": 2, "machine_type": "e2-standard-4", "location": "us-central1"}, 586.97),
    ("google", "google_container_node_pool", {"node_count": 2, "node_config": {"machine_type": "e2-standard-4"},
                                              "node_locations": ["us-central1-a"], "location": "us-central1"}, 195.66),
    ("google", "google_compute_instance_group_manager", {"target_size": 2, "zone": "us-central1-a"}, 48.91),
    ("google", "google_secret_manager_secret", {}, 0.06),
    ("google", "google_kms_crypto_key", {}, 0.06),
    ("google", "google_kms_crypto_key", {"protection_level": "HSM"}, 1.0),
    ("google", "google_compute_security_policy", {}, 5.0),
    ("google", "google_compute_global_forwarding_rule", {}, 18.25),
    ("google", "google_bigtable_instance", {"num_nodes": 3}, 1423.5),
    # EKS capabilities: per capability-hour plus per managed unit-hour.
    ("aws", "aws_eks_capability", {"type": "ARGOCD"}, 21.9),
    ("aws", "aws_eks_capability", {"type": "ARGOCD", "tally_managed_units": 10}, 32.85),
    ("aws", "aws_eks_capability", {"type": "ACK", "tally_managed_units": 100}, 7.3),
    ("aws", "aws_eks_capability", {"type": "KRO"}, 3.65),
    # Packet Mirroring bills the mirrored GB only.
    ("google", "google_compute_packet_mirroring", {}, 0.0),
]


INSTANCE_PRICED = {"aws_eks_node_group", "aws_autoscaling_group", "azurerm_linux_virtual_machine_scale_set",
                   "azurerm_kubernetes_cluster_node_pool", "azurerm_virtual_machine_scale_set", "azurerm_service_plan",
                   "google_container_node_pool", "google_compute_instance_group_manager",
                   # a member of the load-balancer family, whose default is that family's
                   "google_compute_global_forwarding_rule"}
# The first case of each type prices the default item, which the built-in default rate covers.
DEFAULT_ITEM = {id(next(c for c in LIST_PRICES if c[1] == t)) for t in {c[1] for c in LIST_PRICES}}


@pytest.mark.parametrize("case", LIST_PRICES, ids=[c[1] for c in LIST_PRICES])
def test_list_prices(shipped, estimate, case):
    provider, rtype, props, cost = case
    assert shipped(provider, rtype, props)["monthly_cost"] == pytest.approx(cost, rel=0.02)
    # A family's built-in default is the list price, so an empty store prices the same
    # (instance-priced types fall back on the size-group estimate instead).
    if rtype not in INSTANCE_PRICED and id(case) in DEFAULT_ITEM:
        assert estimate(provider, rtype, props)["monthly_cost"] == pytest.approx(cost, rel=0.02)


@pytest.mark.parametrize(
    "provider, rtype, props, basis",
    [
        ("aws", "aws_vpc_endpoint", {}, "VPC endpoint (Gateway): no charge"),
        ("aws", "aws_vpc_endpoint", {"vpc_endpoint_type": "Interface", "subnet_ids": ["a", "b"]},
         "2x Interface endpoint AZ @ $0.0100/hr + 0GB @ $0.0100/GB"),
        ("aws", "aws_ec2_transit_gateway", {}, "aws_ec2_transit_gateway (billed per attachment)"),
        ("aws", "aws_kms_key", {}, "KMS key @ $1.00/mo"),
        ("aws", "aws_cloudwatch_log_group", {}, "Logs 5GB ingested @ $0.5000/GB + 5GB stored @ $0.0300/GB-mo"),
        # Without a size the group's nodes are priced at a default size, and say so.
        ("aws", "aws_autoscaling_group", {"desired_capacity": 2}, "2x t3.micro (estimated) @ $0.0104/hr (default size)"),
        ("azurerm", "azurerm_service_plan", {"sku_name": "S1"}, "App Service S1 @ $0.1000/hr (Windows price)"),
        ("google", "google_compute_region_instance_group_manager", {"target_size": 4},
         "4x e2-medium (estimated) @ $0.0960/hr (template size not read)"),
        ("google", "google_compute_router_nat", {}, "Cloud NAT 32 VMs @ $0.0440/hr + 0GB @ $0.0450/GB"),
        ("aws", "aws_eks_capability", {"type": "ACK", "tally_managed_units": 20},
         "EKS capability ACK @ $0.0050/hr + 20 resources @ $0.000050/hr each"),
        ("aws", "aws_eks_capability", {"type": "FLUX"},
         "EKS capability Argo CD @ $0.0300/hr + 0 Applications @ $0.001500/hr each (type not read: priced as Argo CD)"),
    ],
)
def test_basis_with_empty_store(estimate, provider, rtype, props, basis):
    assert estimate(provider, rtype, props)["basis"] == basis


@pytest.mark.parametrize("value", ["[", "x", 7, None])
def test_counts_that_cannot_be_read_stay_one(estimate, value):
    props = {"vpc_endpoint_type": "Interface", "subnet_ids": value}
    assert estimate("aws", "aws_vpc_endpoint", props)["monthly_cost"] == 7.3
