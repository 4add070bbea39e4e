import sqlite3

import pytest

from tally_warden import reckoner
from tally_warden.reckoner import Reckoner


@pytest.fixture
def empty_reckoner(tmp_path):
    r = Reckoner(str(tmp_path / "pricing.db"))
    with sqlite3.connect(r.db.db_path) as c:
        c.execute("DELETE FROM pricing")
    return r


@pytest.mark.parametrize(
    "provider, props, region",
    [
        ("aws", {"region": "EU-West-1 "}, "eu-west-1"),
        ("aws", {"region": "us-east-7"}, "global"),
        ("aws", {"availability_zone": "us-east-1a"}, "us-east-1"),
        ("aws", {"availability_zone": "eu-central-1c"}, "eu-central-1"),
        ("aws", {"region": "", "zone": "ap-south-1b"}, "ap-south-1"),
        ("google", {"zone": "us-central1-b"}, "us-central1"),
        ("gcp", {"region": 5, "zone": "us-east1-c"}, "us-east1"),
        ("azure", {"location": "West Europe"}, "westeurope"),
        ("azure", {"location": "Mars Central"}, "mars central"),
        ("azure", {"region": "", "location": "eastus"}, "eastus"),
        ("azure", {"location": "   "}, ""),
        ("azurerm", {"location": "West Europe"}, "westeurope"),
        ("other", {"region": "us-east-1"}, "global"),
        ("aws", {}, "global"),
    ],
)
def test_extract_region(provider, props, region):
    assert reckoner._extract_region(provider, props) == region


def test_constructor_maps_seed_path_to_database(tmp_path):
    r = Reckoner(str(tmp_path / "x" / "pricing_db.json"))
    assert r.db.db_path == str(tmp_path / "x" / "pricing.db")


@pytest.mark.parametrize(
    "rtype, cost, basis",
    [
        ("aws_iam_role", 0.0, "Metadata/Configuration resource 'aws_iam_role' (free)"),
        ("", 10.0, "Unmapped paid resource '' (default)"),
        (None, 10.0, "Unmapped paid resource '' (default)"),
        ("aws_docdb_cluster", 30.0, "Unmapped database 'aws_docdb_cluster' (default)"),
        ("aws_cloudwatch_metric_stream", 5.0, "Unmapped messaging 'aws_cloudwatch_metric_stream' (default)"),
        ("azurerm_frontdoor_firewall_policy", 0.0,
         "Metadata/Configuration resource 'azurerm_frontdoor_firewall_policy' (free)"),
        ("aws_db_subnet_group", 0.0, "Metadata/Configuration resource 'aws_db_subnet_group' (free)"),
        ("AWS_IAM_ROLE", 0.0, "Metadata/Configuration resource 'AWS_IAM_ROLE' (free)"),
        ("aws_widget_thing", 10.0, "Unmapped paid resource 'aws_widget_thing' (default)"),
    ],
)
def test_classification_of_unmatched_types(empty_reckoner, rtype, cost, basis):
    result = empty_reckoner.estimate_resource_cost({"type": rtype})
    assert list(result) == ["name", "type", "region", "monthly_cost", "unit", "basis", "details"]
    assert (result["monthly_cost"], result["basis"], result["unit"], result["details"]) == (cost, basis, "USD", {})
    assert result["type"] == (rtype or "")


def test_totals_add_rounded_values_in_first_seen_order(empty_reckoner):
    class Fixed(Reckoner):
        def estimate_resource_cost(self, resource):
            return {"name": "", "type": resource["type"], "region": "global", "monthly_cost": 0.0 if
                    resource["type"] == "tiny" else 10.005, "unit": "USD", "basis": "", "details": {}}

    fixed = Fixed.__new__(Fixed)
    fixed.db = empty_reckoner.db
    report = fixed.estimate_total_costs([{"type": "b"}, {"type": "tiny"}, {"type": "b"}])
    assert list(report) == ["total_monthly_cost", "unit", "resources", "breakdown_by_service"]
    # The running breakdown is re-rounded after each addition; the total is rounded once.
    assert list(report["breakdown_by_service"].items()) == [("b", 20.02), ("tiny", 0.0)]
    assert report["total_monthly_cost"] == 20.01

    report = empty_reckoner.estimate_total_costs([{"type": "aws_iam_role"}, {"type": "aws_iam_role"},
                                                  {"type": "aws_widget_thing"}])
    assert report["breakdown_by_service"] == {"aws_iam_role": 0.0, "aws_widget_thing": 10.0}
    assert report["total_monthly_cost"] == 10.0
    assert empty_reckoner.estimate_total_costs([]) == {
        "total_monthly_cost": 0.0, "unit": "USD", "resources": [], "breakdown_by_service": {}}


@pytest.mark.parametrize(
    "call",
    [
        lambda r: r.estimate_resource_cost([]),
        lambda r: r.estimate_resource_cost(None),
        lambda r: r.estimate_total_costs({}),
        lambda r: r.estimate_total_costs([1]),
        lambda r: r.estimate_resource_cost({"properties": "x"}),
        lambda r: r._rate(1, "t", "k"),
        lambda r: r._rate("aws", "t", None),
    ],
)
def test_wrong_argument_types(empty_reckoner, call):
    with pytest.raises(TypeError):
        call(empty_reckoner)


def test_rate_maps_provider_words(empty_reckoner):
    seen = []

    class Store:
        db_path = empty_reckoner.db.db_path

        def get_pricing_rate(self, *args):
            seen.append(args)
            return {}

    empty_reckoner.db = Store()
    empty_reckoner._rate("gcp", "t", "k", "us-east1")
    empty_reckoner._rate("google", "t", "k")
    empty_reckoner._rate("azurerm", "t", "k")
    empty_reckoner.get_pricing_rate("gcp", "t", "k")
    assert seen == [("google", "t", "k", "us-east1"), ("google", "t", "k", "global"),
                    ("azure", "t", "k", "global"), ("google", "t", "k")]


def test_replaced_rate_is_honoured(empty_reckoner):
    class Priced(Reckoner):
        def _rate(self, provider, resource_type, item_key, region="global"):
            return {"price_per_hour": 1.0}

    p = Priced.__new__(Priced)
    p.db = empty_reckoner.db
    # Unmatched types never consult the store, whatever _rate returns.
    assert p.estimate_total_costs([{"type": "aws_widget_thing"}])["total_monthly_cost"] == 10.0
