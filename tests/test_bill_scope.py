"""Types outside the clouds' bills, and azapi resources priced through their ARM type."""
import csv
from pathlib import Path

import pytest

from tally_warden.reckoner import Reckoner, _cost_source

ROOT = Path(__file__).resolve().parent.parent


@pytest.fixture(scope="module")
def rk(tmp_path_factory):
    return Reckoner(str(tmp_path_factory.mktemp("store") / "pricing.db"))


def resource(provider, rtype, props=None):
    return {"provider": provider, "type": rtype, "name": "n", "properties": props or {}}


@pytest.mark.parametrize(
    "provider, rtype",
    [("okta", "okta_app_oauth"), ("datadog", "datadog_monitor"), ("github", "github_repository"),
     ("cloudflare", "cloudflare_load_balancer"), ("azuread", "azuread_application"), ("vault", "vault_mount"),
     # A CloudFormation custom resource reads as custom_<name>.
     ("aws", "custom_database_seeder")],
)
def test_outside_the_cloud_bill(rk, provider, rtype):
    res = resource(provider, rtype)
    cost = rk.estimate_resource_cost(res)
    assert cost["monthly_cost"] == 0.0
    assert cost["basis"] == f"Outside the cloud bill: '{rtype}' (not billed by AWS, Azure or Google Cloud)"
    assert _cost_source(rk, res) == ("outside-bill", False)


@pytest.mark.parametrize(
    "rtype, source",
    [
        # Cloud providers' unknown types keep the keyword classification.
        ("aws_teleporter", "flat-default"), ("awscc_foo_database", "flat-default"), ("google_foo_cluster", "flat-default"),
        ("azurerm_foo_server", "flat-default"), ("azure-native_foo_server", "flat-default"),
        # Catalog types of other providers keep their reason; Kubernetes objects keep theirs.
        ("random_id", "free-catalog"), ("kubernetes_namespace", "free-catalog"),
        ("kubernetes_foo_cluster", "flat-default"),
        # Not a provider-prefixed type.
        ("Custom", "flat-default"), ("", "flat-default"),
    ],
)
def test_cloud_and_catalog_types_keep_their_treatment(rk, rtype, source):
    assert _cost_source(rk, resource("aws", rtype))[0] == source


def test_a_load_balancer_service_stays_priced(rk):
    res = resource("kubernetes", "kubernetes_service", {"spec": {"type": "LoadBalancer"}})
    assert _cost_source(rk, res) == ("rule", False)


@pytest.mark.parametrize(
    "arm, props, cost, basis_part",
    [
        ("Microsoft.Network/publicIPAddresses@2023-05-01", {}, 3.65, "Public IP"),
        ("microsoft.network/natgateways@2023-05-01", {}, 32.85, "Azure NAT Gateway"),
        ("Microsoft.Compute/virtualMachines@2024-03-01", {"vm_size": "Standard_D2s_v5"}, 70.08, "Standard_D2s_v5"),
        ("Microsoft.Insights/diagnosticSettings@2021-05-01-preview", {}, 0.0, "(free)"),
        # The size in the ARM body: HCL text, jsonencode text, or a plan's map.
        ("Microsoft.Compute/virtualMachines@2024-03-01",
         {"body": '{ properties = { hardwareProfile = { vmSize = "Standard_D2s_v5" } } }'}, 70.08, "Standard_D2s_v5"),
        ("Microsoft.Compute/virtualMachines@2024-03-01",
         {"body": 'jsonencode({"properties": {"hardwareProfile": {"vmSize": "Standard_D2s_v5"}}})'}, 70.08, "Standard_D2s_v5"),
        ("Microsoft.Compute/virtualMachines@2024-03-01",
         {"body": {"properties": {"hardwareProfile": {"vmSize": "Standard_D2s_v5"}}}}, 70.08, "Standard_D2s_v5"),
        # Without a family: the keywords of the last segment, the ARM type in the basis.
        ("Microsoft.Network/virtualNetworks@2023-05-01", {}, 0.0,
         "Metadata/Configuration resource 'Microsoft.Network/virtualNetworks' (free)"),
        ("Microsoft.Foo/widgetServers@2024-01-01", {}, 20.0, "Unmapped compute 'Microsoft.Foo/widgetServers' (default)"),
    ],
)
def test_azapi_prices_as_its_arm_type(rk, arm, props, cost, basis_part):
    for rtype in ("azapi_resource", "azapi_update_resource"):
        got = rk.estimate_resource_cost(resource("azapi", rtype, {"type": arm, "location": "eastus", **props}))
        assert (got["type"], got["monthly_cost"]) == (rtype, cost)
        assert basis_part in got["basis"]
        assert got["region"] == "eastus"


@pytest.mark.parametrize("props", [{}, {"type": "${local.kind}@2023-01-01"}, {"type": "nonsense"}, {"type": 3}])
def test_azapi_without_an_arm_type_is_classified(rk, props):
    got = rk.estimate_resource_cost(resource("azapi", "azapi_resource", props))
    assert got["basis"] == "Unmapped paid resource 'azapi_resource' (default)"


def test_every_arm_type_maps_to_a_priced_or_catalogued_type(rk):
    lines = [l for l in (ROOT / "pricing" / "arm_types.csv").read_text().splitlines() if l and not l.startswith("#")]
    catalog = {l.split(",")[0] for l in (ROOT / "pricing" / "catalog.csv").read_text().splitlines()}
    for row in csv.DictReader(lines):
        assert row["type"] in catalog, row


# Types priced or free as billed (shipped list). Private CA: aws.amazon.com/private-ca/pricing;
# DDoS: $2,944 a plan-month; the rest through the rows of the older type names.
@pytest.mark.parametrize(
    "provider, rtype, props, cost, basis_part",
    [
        ("aws", "aws_vpn_gateway", {}, 0.0, "Billed through its VPN connections"),
        ("aws", "aws_customer_gateway", {}, 0.0, "Billed through its VPN connections"),
        ("aws", "aws_acmpca_certificate_authority", {}, 400.0, "Private CA (general_purpose) @ $400.00/mo"),
        ("aws", "aws_acmpca_certificate_authority", {"usage_mode": "SHORT_LIVED_CERTIFICATE"}, 50.0,
         "Private CA (short_lived_certificate) @ $50.00/mo"),
        ("azurerm", "azurerm_network_ddos_protection_plan", {}, 2944.0, "DDoS Network Protection plan"),
        ("azurerm", "azurerm_lb", {"sku": "Standard"}, 18.25, "Load Balancer (azurerm_lb)"),
        ("azurerm", "azurerm_lb", {"sku": "Basic"}, 0.0, "Load Balancer (azurerm_lb)"),
        ("azurerm", "azurerm_mssql_managed_instance", {"sku_name": "GP_Gen5", "vcores": 4}, 736.42, "GP_Gen5"),
        ("azurerm", "azurerm_mssql_managed_instance", {"sku_name": "GP_Gen5", "vcores": 8}, 1472.85, "x 8/4 vCores"),
        ("azurerm", "azurerm_synapse_workspace", {}, 0.0, "Billed through its SQL and Spark pools"),
        ("azurerm", "azurerm_synapse_sql_pool", {"sku_name": "DW200c"}, 1752.0, "Synapse DW200c"),
        ("azurerm", "azurerm_app_service", {}, 0.0, "Billed through its service plan"),
        ("azurerm", "azurerm_databricks_workspace", {"sku": "premium"}, 0.0, "0 DBU-hours @ $0.5500/DBU-hr"),
        ("azurerm", "azurerm_databricks_workspace", {"sku": "premium", "tally_dbu_hours": 100}, 55.0, "(premium)"),
        ("azurerm", "azurerm_eventhub_namespace", {"sku": "Standard", "capacity": 2}, 43.8, "x 2 TUs"),
        ("azurerm", "azurerm_eventhub_namespace", {"sku": "${var.sku}"}, 10.95, "cheapest tier"),
        ("azurerm", "azurerm_eventhub_namespace", {}, 10.95, "(SKU not read: cheapest tier)"),
        ("azurerm", "azurerm_container_registry", {"sku": "Premium"}, 50.69, "Premium"),
        ("azurerm", "azurerm_container_registry", {}, 5.07, "(SKU not read: cheapest tier)"),
        ("google", "google_gke_hub_membership", {}, 0.0, "Fleet features are included with GKE"),
        ("google", "google_gke_hub_feature", {}, 0.0, "Fleet features are included with GKE"),
    ],
)
def test_types_priced_or_free_as_billed(rk, provider, rtype, props, cost, basis_part):
    got = rk.estimate_resource_cost(resource(provider, rtype, props))
    assert got["monthly_cost"] == pytest.approx(cost, abs=0.01), got["basis"]
    assert basis_part in got["basis"]


# Usage-priced types without a price row: the built-in rate applies and is flagged.
@pytest.mark.parametrize(
    "rtype, props, cost, basis",
    [
        ("azurerm_key_vault", {}, 0.03, "Key Vault (standard) 10,000 operations @ $0.0300/10,000"),
        ("azurerm_key_vault", {"tally_operations": 1000000}, 3.0, "Key Vault (standard) 1,000,000 operations @ $0.0300/10,000"),
        ("azurerm_data_factory", {}, 1.0, "Data Factory 1,000 activity runs @ $1.00/1,000 runs"),
        ("azurerm_data_factory", {"tags": {"tally_activity_runs": "50000"}}, 50.0,
         "Data Factory 50,000 activity runs @ $1.00/1,000 runs"),
    ],
)
def test_usage_priced_azure_types(rk, rtype, props, cost, basis):
    res = resource("azurerm", rtype, props)
    got = rk.estimate_resource_cost(res)
    assert (got["monthly_cost"], got["basis"]) == (cost, basis)
    assert _cost_source(rk, res) == ("rule", True)
