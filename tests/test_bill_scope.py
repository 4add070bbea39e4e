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
    assert _cost_source(rk, res)[0] == "flat-default"


@pytest.mark.parametrize(
    "arm, props, cost, basis_part",
    [
        ("Microsoft.Network/publicIPAddresses@2023-05-01", {}, 3.65, "Public IP"),
        ("microsoft.network/natgateways@2023-05-01", {}, 32.85, "Azure NAT Gateway"),
        ("Microsoft.Compute/virtualMachines@2024-03-01", {"vm_size": "Standard_D2s_v5"}, 70.08, "Standard_D2s_v5"),
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
