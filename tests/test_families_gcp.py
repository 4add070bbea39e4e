import pytest

from tally_warden.reckoner import Reckoner

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


@pytest.fixture(scope="module")
def rk(tmp_path_factory):
    return Reckoner(str(tmp_path_factory.mktemp("store") / "pricing.db"))


# Sole-tenant nodes bill the node's vCPUs and memory at the machine family's price plus a 10%
# premium (cloud.google.com/compute/sole-tenant-pricing, read 2026-12-08): c2-node-60-240 is
# c2-standard-60's 60 vCPUs and 240 GB, $0.05218 x 60 an hour in us-central1.
@pytest.mark.parametrize(
    "props, cost, basis",
    [
        ({"node_type": "c2-node-60-240", "initial_size": 1}, 0.05218 * 60 * 1.1 * 730,
         "1x c2-standard-60 @ $3.1308/hr"),
        # 6.5 GB a vCPU is the highmem shape; the autoscaling minimum counts the nodes.
        ({"node_type": "n1-node-96-624", "autoscaling_policy": {"min_nodes": 2}}, 0.0592 * 96 * 2 * 1.1 * 730,
         "2x n1-highmem-96"),
        ({"template_node_type": "n2-node-80-640", "size": 3}, 0.065507 * 80 * 3 * 1.1 * 730, "3x n2-highmem-80"),
        # No template in the scan: the widest n1 node, said in the basis.
        ({}, 0.0592 * 96 * 1.1 * 730, "(node template not read: n1-node-96-624)"),
    ],
)
def test_sole_tenant_node_group(rk, props, cost, basis):
    got = rk.estimate_resource_cost({"provider": "google", "type": "google_compute_node_group", "name": "g",
                                     "properties": {"zone": "us-central1-a", **props}})
    assert got["monthly_cost"] == pytest.approx(cost, rel=0.001)
    assert basis in got["basis"]


@pytest.mark.parametrize(
    "rtype, props, cost, basis",
    [
        # A LoadBalancer service provisions one load balancer of its cloud: GKE bills a
        # forwarding rule ($0.025 an hour, the first five rules of a project and region).
        ("kubernetes_service", {"spec": {"type": "LoadBalancer"}}, 18.25,
         "Service of type LoadBalancer: Google Cloud forwarding rule @ $0.0250/hr (no cloud annotation"),
        ("kubernetes_service_v1", {"metadata": {"annotations": {
            "service.beta.kubernetes.io/aws-load-balancer-type": "nlb"}}, "spec": {"type": "LoadBalancer"}},
         16.43, "AWS load balancer @ $0.0225/hr"),
        ("kubernetes_manifest", {"manifest": "kind: Service\nmetadata:\n  annotations:\n"
                                 "    service.beta.kubernetes.io/azure-load-balancer-internal: 'true'\n"
                                 "spec:\n  type: LoadBalancer\n"}, 18.25, "Azure Standard Load Balancer @ $0.0250/hr"),
        # Other services stay billed through the cluster's nodes.
        ("kubernetes_service", {"spec": {"type": "ClusterIP"}}, 0.0, "Billed through the cluster's nodes"),
    ],
)
def test_cluster_load_balancer_service(rk, rtype, props, cost, basis):
    got = rk.estimate_resource_cost({"provider": "kubernetes", "type": rtype, "name": "s", "properties": props})
    assert (got["monthly_cost"], basis in got["basis"]) == (pytest.approx(cost, abs=0.01), True), got["basis"]


def test_node_templates_are_free_and_spokes_take_the_default_rate(rk):
    from tally_warden.reckoner import _cost_source

    template = {"provider": "google", "type": "google_compute_node_template", "name": "t",
                "properties": {"node_type": "c2-node-60-240"}}
    assert rk.estimate_resource_cost(template)["monthly_cost"] == 0.0
    spoke = {"provider": "google", "type": "google_network_connectivity_spoke", "name": "s", "properties": {}}
    assert rk.estimate_resource_cost(spoke)["monthly_cost"] == pytest.approx(36.5)
    assert _cost_source(rk, spoke) == ("rule", True)
