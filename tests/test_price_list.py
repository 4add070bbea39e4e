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
                assert isinstance(rates, dict) and rates and set(rates) <= RATE_KEYS, (where, item)
                for key, price in rates.items():
                    if key != "unit":
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
        # A region without rows of its own is served by the default region's row.
        ("aws", "aws_instance", {"instance_type": "m5.large", "region": "sa-east-1"}, 70.08,
         "m5.large @ $0.0960/hr [sa-east-1]"),
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
