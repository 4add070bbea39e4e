import pytest

H = "price_per_hour"
M = "price_per_million_requests"
GBM = "price_per_gb_month"


@pytest.mark.parametrize(
    "provider, rtype, props, rows, cost, basis",
    [
        ("google", "google_cloud_run_service", {}, [], 0.4, "1,000,000 reqs/mo (Cloud Run)"),
        ("google", "google_cloud_run_v2_service", {"tally_requests_per_month": 2500000}, [], 1.0,
         "2,500,000 reqs/mo (Cloud Run)"),
        ("gcp", "google_cloud_run_service", {"tags": {"tally_requests_per_month": "10000000"}},
         [("google", "google_cloud_run_service", "base", {M: 0.5})], 5.0, "10,000,000 reqs/mo (Cloud Run)"),
        ("google", "google_bigquery_dataset", {}, [], 0.2, "BigQuery 10GB active storage"),
        ("google", "google_bigquery_table", {"tally_storage_gb": 250}, [], 5.0, "BigQuery 250GB active storage"),
        ("google", "google_bigquery_dataset", {"tags": {"tally_storage_gb": 250}}, [], 0.2, "BigQuery 10GB active storage"),
        # Spanner: nodes are a double; the config is looked up, then "base".
        ("google", "google_spanner_instance", {}, [], 657.0, "1.0x Spanner regional node @ $0.9000/hr"),
        ("google", "google_spanner_instance", {"config": "nam3", "num_nodes": 3}, [], 1971.0,
         "3.0x Spanner nam3 node @ $0.9000/hr"),
        ("google", "google_spanner_instance", {"num_nodes": "2"}, [], 1314.0, "2.0x Spanner regional node @ $0.9000/hr"),
        ("google", "google_spanner_instance", {"num_nodes": "two"}, [], 657.0, "1.0x Spanner regional node @ $0.9000/hr"),
        ("google", "google_spanner_instance", {"config": {"name": "nam3"}}, [], 657.0,
         "1.0x Spanner regional node @ $0.9000/hr"),
        ("google", "google_spanner_instance", {"config": "eur3"}, [("google", "google_spanner_instance", "base", {H: 3.0})],
         2190.0, "1.0x Spanner eur3 node @ $3.0000/hr"),
        # Store-priced services: nothing without a stored row; per GB before per hour.
        ("google", "google_firestore_database", {}, [], 0.0, "No price mapped"),
        ("google", "google_filestore_instance", {}, [("google", "google_filestore_instance", "base", {GBM: 0.18})], 1.8,
         "google_filestore_instance 10GB @ $0.1800/GB-mo"),
        ("google", "google_compute_snapshot", {"tally_storage_gb": 200},
         [("google", "google_compute_snapshot", "base", {GBM: 0.05, H: 1.0})], 10.0,
         "google_compute_snapshot 200GB @ $0.0500/GB-mo"),
        ("google", "google_compute_snapshot", {}, [("google", "google_compute_snapshot", "base", {GBM: 0, H: 0.05})], 36.5,
         "google_compute_snapshot @ $0.0500/hr"),
        ("google", "google_compute_snapshot", {}, [("google", "google_compute_snapshot", "base", {})], 0.0,
         "No price mapped"),
    ],
)
def test_gcp_families(estimate, provider, rtype, props, rows, cost, basis):
    result = estimate(provider, rtype, props, rows)
    assert (result["monthly_cost"], result["basis"], result["details"]) == (cost, basis, {})


@pytest.mark.parametrize("provider", ["google", "gcp"])
@pytest.mark.parametrize("region", ["us-central1", "global"])
def test_spanner_row_in_region_or_global(estimate, provider, region):
    rows = [("google", "google_spanner_instance", "nam3", {H: 1.2}, region)]
    props = {"config": "nam3", "region": "us-central1"}
    assert estimate(provider, "google_spanner_instance", props, rows)["monthly_cost"] == 876.0
