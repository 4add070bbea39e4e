import json
import pathlib
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "scripts"))
import price_import as pi  # noqa: E402

FIXTURES = ROOT / "tests" / "fixtures" / "prices"


def read(name, machine_types=()):
    return pi.read_file((FIXTURES / name).read_text(encoding="utf-8"), machine_types)


@pytest.mark.parametrize("name, kind, kept, dropped", [
    ("AmazonEC2.csv", "aws", {
        ("aws_instance", "m5.large", "us-east-1"): 0.096,
        ("aws_instance", "m5.large", "sa-east-1"): 0.153,
        ("aws_instance", "r7g.2xlarge", "us-east-1"): 0.4284,
    }, {"not on-demand": 2, "other tenancy, system or engine": 4, "other product": 1}),
    ("azure_retail_vms.json", "azure", {
        ("azurerm_virtual_machine azurerm_linux_virtual_machine", "Standard_D2s_v5", "eastus"): 0.096,
        ("azurerm_virtual_machine azurerm_linux_virtual_machine", "Standard_D2s_v5", "brazilsouth"): 0.153,
        ("azurerm_windows_virtual_machine", "Standard_D2s_v5", "eastus"): 0.188,
    }, {"spot or low priority": 2, "not on-demand": 2, "other product": 1}),
    ("gcp_billing_skus.json", "google", {
        ("google_compute_instance", "n2-standard-2", "us-central1"): 0.097118,
        ("google_compute_instance", "n2-highmem-4", "us-central1"): 0.262028,
        ("google_compute_instance", "n2-standard-2", "europe-west1"): 0.106834,
        ("google_compute_instance", "n2-highmem-4", "europe-west1"): 0.288244,
    }, {"other product": 5, "not on-demand": 0, "other unit": 0}),
])
def test_kept_and_dropped_rows(name, kind, kept, dropped):
    # The Compute Engine prices are the published machine-type prices of the shipped list.
    got_kind, rows, why, meta = read(name, ["n2-standard-2", "n2-highmem-4", "e2-standard-2", "n2-custom-4"])
    assert got_kind == kind
    assert {(r.types, r.item, r.region): r.price for r in rows} == pytest.approx(kept)
    assert {k: why[k] for k in dropped} == dropped
    assert meta["date"].startswith("2026-")


def test_savings_plan_rates_are_not_prices():
    _, rows, _, _ = read("azure_retail_vms.json")
    assert 0.0629 not in {r.price for r in rows} and 0.0432 not in {r.price for r in rows}


@pytest.mark.parametrize("text, message", [
    ('"FormatVersion","v1.0"\n"Disclaimer","x"\n"Publication Date","2026-01-01"\n"Version","1"\n'
     '"OfferCode","ComputeSavingsPlans"\n"SKU","TermType"\n', "not one the families price"),
    ('"FormatVersion","v1.0"\n"Disclaimer","x"\n', "five metadata rows"),
    ('"FormatVersion","v1.0"\n"Disclaimer","x"\n"Publication Date","2026-01-01"\n"Version","1"\n'
     '"OfferCode","AmazonEC2"\n"SKU","TermType","Unit"\n', "no column"),
    ('{"value": []}', "neither"),
    ("{broken", "not JSON"),
    ("resource_type,item_key\n", "neither"),
    ('{"Items": "x"}', "Items list"),
    ('{"skus": {}}', "skus list"),
])
def test_unreadable_files_fail_with_one_message(text, message):
    with pytest.raises(pi.FormatError, match=message):
        pi.read_file(text)


def test_bad_cells_are_dropped_not_fatal():
    page = {"Items": [None, {"serviceName": "Virtual Machines", "type": "Consumption", "meterName": "D2 v3",
                             "unitOfMeasure": "1 Hour", "currencyCode": "USD", "armSkuName": "Standard_D2_v3",
                             "armRegionName": "eastus", "retailPrice": "NaN"}]}
    rows, why, _ = pi.read_azure_page(page)
    assert rows == [] and why == {"malformed": 1, "no price": 1}


@pytest.mark.parametrize("machine_type, shape", [
    ("n2-standard-8", (8, 32)), ("n1-standard-4", (4, 15)), ("n1-highcpu-16", (16, 14.4)),
    ("c3-highcpu-4", (4, 8)), ("t2d-standard-2", (2, 8)),
    ("t2d-highmem-2", None), ("e2-micro", None), ("n2-custom-4-8192", None), ("a2-highgpu-1g", None),
])
def test_gcp_predefined_shapes(machine_type, shape):
    assert pi.gcp_shape(machine_type) == shape


def test_table_lines_follow_the_table_columns():
    _, rows, _, _ = read("AmazonEC2.csv")
    assert pi.table_lines(rows, ["us-east-1", "us-east-2"]) == [
        "aws_instance,m5.large,hour,,0.096,", "aws_instance,r7g.2xlarge,hour,,0.4284,"]


def test_republished_go_map_and_doubtful_metal_sizes():
    import price_republished as pr

    text = ('var InitialOnDemandPricesAWS = map[string]map[ec2types.InstanceType]float64{\n'
            '\t// us-east-1\n\t"us-east-1": {\n\t\t// r6g family\n'
            '\t\t"r6g.16xlarge": 3.225600, "r6g.large": 0.100800, "r6g.metal": 3.419100,\n'
            '\t\t"m5.24xlarge": 4.608000, "m5.metal": 4.608000, "g4dn.metal": 7.824000,\n\t},\n'
            '\t"us-gov-west-1": {\n\t\t"r6g.large": 0.121000,\n\t},\n}\n')
    rows = pr.read_go_map(text)
    assert {(r.item, r.region): r.price for r in rows} == {
        ("r6g.16xlarge", "us-east-1"): 3.2256, ("r6g.large", "us-east-1"): 0.1008, ("r6g.metal", "us-east-1"): 3.4191,
        ("m5.24xlarge", "us-east-1"): 4.608, ("m5.metal", "us-east-1"): 4.608, ("g4dn.metal", "us-east-1"): 7.824,
        ("r6g.large", "us-gov-west-1"): 0.121}
    # Priced above the family's largest size: doubtful; a family without sized types is not judged.
    assert pr.doubtful_metal(rows) == {"r6g.metal"}
