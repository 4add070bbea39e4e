import json
import pathlib
import subprocess
import sys

import pytest

from tally_warden.reckoner import Reckoner

ROOT = pathlib.Path(__file__).resolve().parent.parent
PRICE_LIST = ROOT / "src" / "tally_warden" / "data" / "pricing_db.json"
RATE_KEYS = {"price_per_hour", "price_per_million_requests", "price_per_gb_second", "price_per_gb_month",
             "price_per_gb_transfer", "price_per_request", "unit"}
DEFAULT_REGIONS = {"aws": "us-east-1", "azure": "eastus", "google": "us-central1"}


def entries():
    data = json.loads(PRICE_LIST.read_text(encoding="utf-8"))
    for provider, types in data.items():
        for rtype, entry in types.items():
            first = next(iter(entry.values()))
            flat = isinstance(first, dict) and bool(RATE_KEYS & set(first))
            regions = {"global": entry} if flat else entry
            yield provider, rtype, flat, regions


def test_price_list_is_well_formed_for_seeding():
    data = json.loads(PRICE_LIST.read_text(encoding="utf-8"))
    assert set(data) == set(DEFAULT_REGIONS)
    for provider, rtype, flat, regions in entries():
        where = f"{provider} {rtype}"
        assert regions, where
        for region, items in regions.items():
            assert items, where
            for item, rates in items.items():
                # A flat entry is recognised by its first item's rate key; in a regional entry an
                # item named like a rate key would make its region read as a flat entry.
                assert flat or item not in RATE_KEYS, where
                assert isinstance(rates, dict) and set(rates) - {"note"} and set(rates) <= RATE_KEYS | {"note"}, \
                    (where, item)
                assert rates.get("note", "derived") == "derived", (where, item)
                for key, price in rates.items():
                    if key not in ("unit", "note"):
                        assert isinstance(price, (int, float)) and price >= 0, (where, item, key)
        if not flat:
            # Every item is found from every region: in it, under global, or in the default region.
            served = set(regions.get("global", {})) | set(regions.get(DEFAULT_REGIONS[provider], {}))
            assert all(set(items) <= served for items in regions.values()), where


def test_price_list_is_generated_from_the_tables():
    run = subprocess.run([sys.executable, str(ROOT / "scripts" / "gen_price_list.py"), "--check"],
                         capture_output=True, text=True)
    assert run.returncode == 0, run.stderr


def test_every_listed_type_is_priced_by_a_family(tmp_path):
    r = Reckoner(str(tmp_path / "pricing.db"))
    for provider, rtype, _, _ in entries():
        basis = r.estimate_resource_cost({"provider": provider, "type": rtype, "properties": {}})["basis"]
        assert not basis.startswith(("Unmapped", "Metadata")), rtype


@pytest.mark.parametrize(
    "provider, rtype, props, cost, basis",
    [
        ("aws", "aws_instance", {"instance_type": "t3.micro", "region": "us-east-1"}, 7.59,
         "t3.micro @ $0.0104/hr [us-east-1]"),
        ("aws", "aws_instance", {"instance_type": "m5.2xlarge", "availability_zone": "eu-west-1b"}, 312.44,
         "m5.2xlarge @ $0.4280/hr [eu-west-1]"),
        # A region without rows of its own is served by the default region's row, and says so.
        ("aws", "aws_instance", {"instance_type": "m5.large", "region": "sa-east-1"}, 70.08,
         "m5.large @ $0.0960/hr (us-east-1 price, no sa-east-1 row)"),
        # On-demand writes at $0.625 a million since November 2024 (AWS's announcement of
        # 2024-11-14; DynamoDB pricing page, us-east-1).
        ("aws", "aws_dynamodb_table", {"billing_mode": "PAY_PER_REQUEST"}, 8.12, "DynamoDB on_demand (5M reqs + 20GB)"),
        # A volume without `type` is gp2, the AWS provider's default ($0.10 a GB-month in us-east-1).
        ("aws", "aws_ebs_volume", {"size": 100, "region": "us-east-1"}, 10.0, "100GB base disk @ $0.1000/GB-mo"),
        ("aws", "aws_ebs_volume", {"size": 100, "type": "gp2", "region": "us-east-1"}, 10.0,
         "100GB gp2 disk @ $0.1000/GB-mo"),
        # An unresolved workspace SKU costs what the default SKU, PerGB2018, costs.
        ("azure", "azurerm_log_analytics_workspace", {}, 13.8, "5GB log data @ $2.7600/GB-mo"),
        ("azure", "azurerm_log_analytics_workspace", {"sku": "${var.sku}"}, 13.8, "5GB log data @ $2.7600/GB-mo"),
        ("aws", "aws_lambda_function", {}, 1.87, "1,000,000 reqs, 200ms, 512MB (@ $0.20/M, $16.67/M GB-s)"),
        ("aws", "aws_lb_target_group", {}, 0.0, "Load Balancer (aws_lb_target_group) @ $0.0000/hr"),
        ("google", "google_compute_instance", {"machine_type": "e2-standard-2", "zone": "us-central1-a"}, 48.91,
         "e2-standard-2 @ $0.0670/hr [us-central1]"),
        ("google", "google_storage_bucket", {"location": "US"}, 2.6, "100GB base @ $0.0260/GB"),
        ("azurerm", "azurerm_linux_virtual_machine", {"size": "Standard_D2s_v5", "location": "East US"}, 70.08,
         "Standard_D2s_v5 @ $0.0960/hr [eastus]"),
    ],
)
def test_shipped_prices(tmp_path, provider, rtype, props, cost, basis):
    r = Reckoner(str(tmp_path / "pricing.db"))
    result = r.estimate_resource_cost({"provider": provider, "type": rtype, "properties": props})
    assert (result["monthly_cost"], result["basis"]) == (cost, basis)


def test_each_resource_costs_at_most_two_lookups():
    calls = []

    class CountingStore:
        def get_pricing_rate(self, *args):
            calls.append(args)
            return {}

    r = Reckoner.__new__(Reckoner)
    r.db = CountingStore()
    for provider, rtype, _, _ in entries():
        calls.clear()
        r.estimate_resource_cost({"provider": provider, "type": rtype, "properties": {"tier": "x", "sku": "y"}})
        assert 1 <= len(calls) <= 2, rtype


def _generator():
    sys.path.insert(0, str(ROOT / "scripts"))
    try:
        import gen_price_list
    finally:
        sys.path.pop(0)
    return gen_price_list


@pytest.mark.parametrize("provider", sorted(DEFAULT_REGIONS))
def test_derived_cells_and_only_they_are_marked(provider):
    gen = _generator()
    default = DEFAULT_REGIONS[provider]
    _, published = gen.read_table(gen.SOURCES / f"{provider}.csv", (), default)
    listed = json.loads(PRICE_LIST.read_text(encoding="utf-8"))[provider]
    derived = 0
    for rtype, entry in listed.items():
        first = next(iter(entry.values()))
        regions = {"global": entry} if RATE_KEYS & set(first) else entry
        for region, items in regions.items():
            for item, rates in items.items():
                is_published = item in published.get(rtype, {}).get(region, {})
                assert (rates.get("note") == "derived") != is_published, (rtype, region, item)
                derived += not is_published
    assert derived


def _published(provider, rtype, item, region):
    """The price table's own (published) hourly price of an item in a region."""
    gen = _generator()
    _, header, body = gen.read_csv(ROOT / "pricing" / f"{provider}.csv")
    price = None
    for n, row in body:
        cell = row[header.index(region)]
        if rtype in row[0].split() and cell:
            for expanded, factor in gen.expand(row[1], n):
                if expanded == item:
                    price = float(gen.Fraction(cell) * factor)
    return price


# Published regional prices of sizes that are not the references of the regional premiums.
@pytest.mark.parametrize(
    "provider, rtype, item, region",
    [
        ("aws", "aws_instance", "t3.large", "eu-west-1"),
        ("aws", "aws_instance", "t4g.large", "ap-southeast-1"),
        ("aws", "aws_instance", "m7g.xlarge", "eu-central-1"),
        ("aws", "aws_instance", "c7g.large", "ap-southeast-2"),
        ("aws", "aws_instance", "c6g.4xlarge", "eu-west-2"),
        ("aws", "aws_instance", "r6g.large", "ap-northeast-1"),
        ("aws", "aws_instance", "g6.16xlarge", "eu-central-1"),
        ("aws", "aws_instance", "g6.8xlarge", "ap-northeast-1"),
        ("azure", "azurerm_linux_virtual_machine", "Standard_E4s_v5", "westeurope"),
        ("azure", "azurerm_linux_virtual_machine", "Standard_F2s_v2", "uksouth"),
        ("azure", "azurerm_linux_virtual_machine", "Standard_B2s", "australiaeast"),
        ("azure", "azurerm_linux_virtual_machine", "Standard_D2as_v5", "southeastasia"),
        ("azure", "azurerm_linux_virtual_machine", "Standard_A2_v2", "northeurope"),
        ("azure", "azurerm_windows_virtual_machine", "Standard_E2s_v5", "westeurope"),
        ("google", "google_compute_instance", "e2-standard-2", "us-east4"),
        ("google", "google_compute_instance", "c2-standard-4", "europe-west2"),
        ("google", "google_compute_instance", "n1-standard-1", "asia-northeast1"),
        ("google", "google_compute_instance", "n2d-standard-8", "europe-west4"),
        ("google", "google_compute_instance", "e2-micro", "asia-southeast1"),
    ],
)
def test_derived_prices_agree_with_published_ones(provider, rtype, item, region):
    published = _published(provider, rtype, item, region)
    derived = _generator().derive(provider, rtype, item, region)
    assert published and derived
    assert abs(derived - published) / published < 0.05, (derived, published)


# Published on-demand prices (AWS price list API, Compute Engine and Azure retail price lists as
# republished in skypilot-org/skypilot-catalog, read 2026-12-08) of sizes and regions that neither
# the price table nor a reference holds.
@pytest.mark.parametrize(
    "provider, rtype, item, region, published",
    [
        ("aws", "aws_instance", "t4g.large", "us-west-1", 0.08),
        ("aws", "aws_instance", "t4g.large", "me-south-1", 0.0803),
        ("aws", "aws_instance", "t4g.large", "eu-north-1", 0.0688),
        ("aws", "aws_instance", "c5.9xlarge", "ap-east-1", 1.944),
        ("aws", "aws_instance", "r5.4xlarge", "ca-central-1", 1.104),
        ("aws", "aws_instance", "g4dn.xlarge", "me-south-1", 0.645),
        ("aws", "aws_instance", "g4dn.2xlarge", "af-south-1", 0.998),
        ("aws", "aws_instance", "g4dn.4xlarge", "us-west-1", 1.445),
        ("aws", "aws_instance", "g5.4xlarge", "ca-central-1", 1.80319),
        ("aws", "aws_instance", "g5.xlarge", "eu-north-1", 1.067),
        ("aws", "aws_instance", "g6.8xlarge", "eu-north-1", 2.13655),
        ("aws", "aws_instance", "g6.16xlarge", "eu-north-1", 3.60277),
        ("google", "google_compute_instance", "n1-highcpu-16", "asia-east1", 0.65628),
        ("google", "google_compute_instance", "n1-highcpu-16", "asia-east2", 0.79306),
        ("google", "google_compute_instance", "t2d-standard-8", "europe-west3", 0.43542),
        ("google", "google_compute_instance", "t2d-standard-8", "us-west2", 0.40594),
        ("google", "google_compute_instance", "t2d-standard-8", "southamerica-east1", 0.53649),
        ("azure", "azurerm_linux_virtual_machine", "Standard_E8as_v5", "westus", 0.504),
        ("azure", "azurerm_linux_virtual_machine", "Standard_E8as_v5", "southcentralus", 0.542),
        ("azure", "azurerm_linux_virtual_machine", "Standard_B16ms", "westus", 0.794),
        ("azure", "azurerm_linux_virtual_machine", "Standard_B1s", "centralus", 0.0125),
        ("azure", "azurerm_linux_virtual_machine", "Standard_NC8as_T4_v3", "southcentralus", 0.902),
        ("aws", "aws_instance", "i4i.large", "eu-north-1", 0.179),
        ("aws", "aws_instance", "i4i.xlarge", "ap-east-1", 0.453),
        ("aws", "aws_instance", "i4i.8xlarge", "af-south-1", 3.608),
        ("aws", "aws_instance", "i4i.2xlarge", "me-south-1", 0.832),
        ("aws", "aws_instance", "d3.xlarge", "ap-south-1", 0.524),
        ("aws", "aws_instance", "d3.8xlarge", "ca-central-1", 4.40112),
        ("aws", "aws_instance", "d3.2xlarge", "ca-central-1", 1.1),
        ("aws", "aws_instance", "g4dn.metal", "us-west-1", 9.389),
        ("aws", "aws_instance", "g5.8xlarge", "eu-north-1", 2.59644),
        ("aws", "aws_instance", "g6.4xlarge", "eu-north-1", 1.40343),
        ("aws", "aws_instance", "g6.48xlarge", "ca-central-1", 14.82346),
    ],
)
def test_derived_prices_agree_with_published_prices_of_new_regions(provider, rtype, item, region, published):
    derived = _generator().derive(provider, rtype, item, region)
    assert derived and abs(derived - published) / published < 0.05, (derived, published)


def test_reference_may_differ_from_the_table_by_rounding_only(tmp_path, monkeypatch):
    gen = _generator()
    monkeypatch.setattr(gen, "REGIONAL", tmp_path)
    table = "resource_type,families,reference,taken,us-east-1,eu-west-1\naws_instance,m5.*,m5.large,2024-07-01,{},0.107\n"
    (tmp_path / "aws.csv").write_text(table.format("0.09605"), encoding="utf-8")
    gen.build()
    (tmp_path / "aws.csv").write_text(table.format("0.0962"), encoding="utf-8")
    with pytest.raises(gen.TableError, match="m5.large costs"):
        gen.build()


@pytest.mark.parametrize(
    "provider, rtype, props, basis",
    [
        # Regions without a row of their own before: priced from a derived row.
        ("aws", "aws_instance", {"instance_type": "c6g.large", "region": "eu-north-1"},
         "c6g.large @ $0.0728/hr [eu-north-1]"),
        ("aws", "aws_instance", {"instance_type": "c5.xlarge", "availability_zone": "ap-northeast-2a"},
         "c5.xlarge @ $0.1920/hr [ap-northeast-2]"),
        # A region no reference prices keeps the default region's price, and says so.
        ("aws", "aws_instance", {"instance_type": "m6i.large", "region": "sa-east-1"},
         "m6i.large @ $0.0960/hr (us-east-1 price, no sa-east-1 row)"),
        ("aws", "aws_instance", {"instance_type": "m5.large", "region": "ca-central-1"},
         "m5.large @ $0.1070/hr [ca-central-1]"),
        ("aws", "aws_instance", {"instance_type": "c6g.large", "availability_zone": "me-south-1a"},
         "c6g.large @ $0.0848/hr [me-south-1]"),
        ("aws", "aws_instance", {"instance_type": "r6g.large", "region": "af-south-1"},
         "r6g.large @ $0.1344/hr [af-south-1]"),
        ("aws", "aws_instance", {"instance_type": "g4dn.xlarge", "region": "ap-east-1"},
         "g4dn.xlarge @ $0.8100/hr [ap-east-1]"),
        ("aws", "aws_instance", {"instance_type": "i4i.large", "region": "eu-north-1"},
         "i4i.large @ $0.1797/hr [eu-north-1]"),
        ("aws", "aws_instance", {"instance_type": "d3.xlarge", "availability_zone": "ap-south-1b"},
         "d3.xlarge @ $0.5232/hr [ap-south-1]"),
        # Sizes without a premium are priced in the regions the table holds them.
        ("aws", "aws_instance", {"instance_type": "inf2.8xlarge", "region": "ap-southeast-1"},
         "inf2.8xlarge @ $2.7550/hr [ap-southeast-1]"),
        ("aws", "aws_instance", {"instance_type": "g6e.xlarge", "region": "ap-northeast-1"},
         "g6e.xlarge @ $2.6990/hr [ap-northeast-1]"),
        ("google", "google_compute_instance", {"machine_type": "n2-standard-2", "zone": "asia-east1-b"},
         "n2-standard-2 @ $0.1125/hr [asia-east1]"),
        ("google", "google_compute_instance", {"machine_type": "e2-standard-2", "zone": "europe-west3-a"},
         "e2-standard-2 @ $0.0863/hr [europe-west3]"),
        ("azurerm", "azurerm_linux_virtual_machine", {"size": "Standard_E4s_v5", "location": "West US"},
         "Standard_E4s_v5 @ $0.2800/hr [westus]"),
        ("azurerm", "azurerm_linux_virtual_machine", {"size": "Standard_B2s", "location": "centralus"},
         "Standard_B2s @ $0.0499/hr [centralus]"),
        # A series whose premium is not known there keeps the default region's price.
        ("azurerm", "azurerm_linux_virtual_machine", {"size": "Standard_D2s_v5", "location": "West US"},
         "Standard_D2s_v5 @ $0.0960/hr (eastus price, no westus row)"),
        ("google", "google_compute_instance", {"machine_type": "n1-highmem-2", "zone": "europe-west2-b"},
         "n1-highmem-2 @ $0.1525/hr [europe-west2]"),
    ],
)
def test_regional_rows(tmp_path, provider, rtype, props, basis):
    r = Reckoner(str(tmp_path / "pricing.db"))
    assert r.estimate_resource_cost({"provider": provider, "type": rtype, "properties": props})["basis"] == basis


@pytest.mark.parametrize(
    "table, message",
    [
        ("resource_type,families,reference,taken,us-east-1,eu-west-1\n"
         "aws_instance,m5.*,m5.large,2024-07-01,0.1,0.2\n", "m5.large costs 1/10 in us-east-1"),
        ("resource_type,families,reference,taken,us-east-1,eu-west-1\n"
         "aws_instance,zz9.*,zz9.large,2024-07-01,0.1,0.2\n", "no row of aws_instance matches zz9.*"),
        ("resource_type,families,reference,taken,eu-west-1\n"
         "aws_instance,m5.*,m5.large,2024-07-01,0.2\n", "no column for the default region"),
        ("resource_type,families,reference,taken,us-east-1\n"
         "aws_instance,m5.*,m5.large,,0.096\n", "a taken date"),
    ],
)
def test_regional_premium_table_errors(tmp_path, monkeypatch, table, message):
    gen = _generator()
    (tmp_path / "aws.csv").write_text(table, encoding="utf-8")
    monkeypatch.setattr(gen, "REGIONAL", tmp_path)
    with pytest.raises(gen.TableError, match=message):
        gen.build()


# Published on-demand hourly list prices of accelerator sizes, default regions.
@pytest.mark.parametrize(
    "provider, rtype, size_key, size, hourly",
    [
        # P4d and P5 at the prices AWS set in June 2025.
        ("aws", "aws_instance", "instance_type", "p4d.24xlarge", 21.96),
        ("aws", "aws_instance", "instance_type", "p5.48xlarge", 55.04),
        ("aws", "aws_instance", "instance_type", "p4de.24xlarge", 27.45),
        ("aws", "aws_instance", "instance_type", "p5.4xlarge", 6.88),
        ("aws", "aws_instance", "instance_type", "trn1.32xlarge", 21.50),
        ("aws", "aws_instance", "instance_type", "g5.xlarge", 1.006),
        ("aws", "aws_instance", "instance_type", "g5.48xlarge", 16.288),
        ("aws", "aws_instance", "instance_type", "g4dn.16xlarge", 4.352),
        ("aws", "aws_instance", "instance_type", "g6.xlarge", 0.8048),
        ("aws", "aws_instance", "instance_type", "g6.24xlarge", 6.6752),
        ("aws", "aws_instance", "instance_type", "g6e.2xlarge", 2.24208),
        ("aws", "aws_instance", "instance_type", "x2idn.16xlarge", 6.669),
        ("aws", "aws_instance", "instance_type", "x2iedn.32xlarge", 26.676),
        ("aws", "aws_instance", "instance_type", "inf2.xlarge", 0.7582),
        ("aws", "aws_instance", "instance_type", "inf2.48xlarge", 12.98127),
        ("aws", "aws_instance", "instance_type", "i4i.large", 0.172),
        ("aws", "aws_instance", "instance_type", "i4i.metal", 10.982),
        ("aws", "aws_instance", "instance_type", "d3.xlarge", 0.499),
        ("aws", "aws_instance", "instance_type", "d3.8xlarge", 3.99552),
        ("aws", "aws_instance", "instance_type", "g4dn.metal", 7.824),
        ("aws", "aws_instance", "instance_type", "g5.8xlarge", 2.448),
        ("aws", "aws_instance", "instance_type", "g6.2xlarge", 0.9776),
        ("aws", "aws_instance", "instance_type", "g6.48xlarge", 13.3504),
        ("aws", "aws_instance", "instance_type", "g6e.xlarge", 1.861),
        ("aws", "aws_instance", "instance_type", "g6e.48xlarge", 30.13118),
        ("azurerm", "azurerm_linux_virtual_machine", "size", "Standard_NC24ads_A100_v4", 3.673),
        ("azurerm", "azurerm_linux_virtual_machine", "size", "Standard_NC40ads_H100_v5", 6.98),
        ("azurerm", "azurerm_virtual_machine", "vm_size", "Standard_ND96asr_v4", 27.197),
        ("azurerm", "azurerm_linux_virtual_machine", "size", "Standard_NC8as_T4_v3", 0.752),
        ("azurerm", "azurerm_linux_virtual_machine", "size", "Standard_NV36ads_A10_v5", 3.20),
        ("azurerm", "azurerm_linux_virtual_machine", "size", "Standard_NV12s_v3", 1.14),
        ("azurerm", "azurerm_linux_virtual_machine", "size", "Standard_M64s", 6.669),
        ("azurerm", "azurerm_virtual_machine", "vm_size", "Standard_M416ms_v2", 99.15),
        # Machine types with GPUs: the machine type and its GPUs.
        ("google", "google_compute_instance", "machine_type", "a2-highgpu-1g", 3.6734),
        ("google", "google_compute_instance", "machine_type", "a2-highgpu-8g", 29.387),
        ("google", "google_compute_instance", "machine_type", "g2-standard-96", 8.0033),
        ("google", "google_compute_instance", "machine_type", "m1-ultramem-40", 6.2931),
        ("google", "google_compute_instance", "machine_type", "m3-megamem-64", 7.2048),
        ("google", "google_compute_instance", "machine_type", "m1-ultramem-80", 12.5862),
        ("google", "google_compute_instance", "machine_type", "g2-standard-4", 0.70683),
        ("google", "google_compute_instance", "machine_type", "g2-standard-24", 2.00083),
        ("google", "google_compute_instance", "machine_type", "g2-standard-48", 4.00166),
    ],
)
def test_accelerator_sizes_at_list_price(tmp_path, provider, rtype, size_key, size, hourly):
    r = Reckoner(str(tmp_path / "pricing.db"))
    result = r.estimate_resource_cost({"provider": provider, "type": rtype, "properties": {size_key: size}})
    assert "(estimated)" not in result["basis"]
    assert abs(result["monthly_cost"] / 730 - hourly) / hourly < 0.02


class _EmptyStore:
    def get_pricing_rate(self, *args):
        return {}


def _sources(tmp_path, resource):
    from tally_warden.reckoner import _cost_source

    emptied = Reckoner.__new__(Reckoner)
    emptied.db = _EmptyStore()
    return _cost_source(Reckoner(str(tmp_path / "pricing.db")), resource), _cost_source(emptied, resource)


@pytest.mark.parametrize(
    "provider, rtype, props, shipped, emptied",
    [
        ("aws", "aws_nat_gateway", {}, ("rule", False), ("rule", True)),
        ("aws", "aws_lambda_function", {}, ("rule", False), ("rule", True)),
        ("aws", "aws_db_instance", {"instance_class": "db.t3.micro"}, ("rule", False), ("rule", True)),
        ("aws", "aws_sqs_queue", {}, ("rule", False), ("rule", True)),
        ("azurerm", "azurerm_firewall", {}, ("rule", False), ("rule", True)),
        ("google", "google_container_cluster", {}, ("rule", False), ("rule", True)),
        # Not default rates: the size-group estimate, a family that prices only from a stored
        # row, and the flat amounts of unknown types.
        ("aws", "aws_instance", {"instance_type": "x9.large"}, ("rule", False), ("rule", False)),
        ("google", "google_firestore_database", {}, ("rule", False), ("rule", False)),
        ("aws", "aws_teleporter", {}, ("flat-default", False), ("flat-default", False)),
        ("aws", "aws_iam_role", {}, ("free-catalog", False), ("free-catalog", False)),
        ("aws", "aws_iam_thing", {}, ("free-keyword", False), ("free-keyword", False)),
    ],
)
def test_default_rate_signal(tmp_path, provider, rtype, props, shipped, emptied):
    resource = {"provider": provider, "type": rtype, "properties": props}
    assert _sources(tmp_path, resource) == (shipped, emptied)


def test_other_region_prices_are_reported_apart(tmp_path):
    from conftest import run_cli

    d = tmp_path / "infra"
    d.mkdir()
    # sa-east-1 has no m5.large row; eu-west-1 has one; DynamoDB's rows are global.
    (d / "main.tf").write_text(
        'resource "aws_instance" "a" {\n  instance_type = "m5.large"\n  region = "sa-east-1"\n}\n'
        'resource "aws_instance" "b" {\n  instance_type = "m5.large"\n  region = "eu-west-1"\n}\n'
        'resource "aws_dynamodb_table" "t" {\n  region = "sa-east-1"\n}\n')
    res = run_cli([str(d), "-t", "1000", "--breakdown"], cwd=tmp_path)
    assert "[Tally-Warden] Priced at another region's rate: 1 (aws_instance 1)" in res.stdout.splitlines()
    doc = json.loads(run_cli([str(d), "-t", "1000", "--format", "json"], cwd=tmp_path).stdout)
    assert doc["defaults"]["other-region"] == {"aws_instance": 1}
    assert {r["name"]: r["source"] for r in doc["resources"]} == {"a": "other-region", "b": "rule", "t": "rule"}


def test_readme_coverage_is_up_to_date():
    run = subprocess.run([sys.executable, "-P", str(ROOT / "scripts" / "price_coverage.py"), "--check"],
                         capture_output=True, text=True)
    assert run.returncode == 0, run.stderr


# Published on-demand Linux prices of families the us-east-1 price list brought in, from
# sources other than the copy the rows were taken from: SkyPilot's copy of AWS's price list
# (skypilot-org/skypilot-catalog catalogs/v8/aws/vms.csv, commit
# 00148f2af3672e2229b4f7bf8157d5a3f36e3c35, read 2026-12-08) and the list prices quoted in the
# issue that asked for them.
SKYPILOT = "skypilot-catalog v8 aws/vms.csv@00148f2a"
ISSUE = "list price quoted in the price-list issue"


@pytest.mark.parametrize("item, region, published, source", [
    ("a1.large", "us-east-1", 0.051, SKYPILOT),
    ("a1.metal", "us-east-1", 0.408, SKYPILOT),
    ("c1.xlarge", "us-east-1", 0.52, SKYPILOT),
    ("c3.large", "us-east-1", 0.105, SKYPILOT),
    ("c3.8xlarge", "us-east-1", 1.68, SKYPILOT),
    ("r6gd.12xlarge", "us-east-1", 2.7648, SKYPILOT),
    ("r7g.2xlarge", "us-east-1", 0.428, ISSUE),
    ("r7g.16xlarge", "us-east-1", 3.43, ISSUE),
    ("trn1.2xlarge", "us-east-1", 1.34, ISSUE),
])
def test_new_families_at_list_price(tmp_path, item, region, published, source):
    r = Reckoner(str(tmp_path / "pricing.db"))
    basis = r.estimate_resource_cost({"provider": "aws", "type": "aws_instance",
                                      "properties": {"instance_type": item, "region": region}})["basis"]
    assert basis.endswith(f"[{region}]"), (basis, source)
    hourly = float(basis.split("$")[1].split("/")[0])
    assert hourly == pytest.approx(published, rel=0.01), source
