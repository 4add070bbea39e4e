"""Node pools at the instance prices of the shipped list: Standard_D2s_v5 $0.096/h, e2-standard-4
$0.134012/h, m5.large $0.096/h; the AKS Free tier control plane costs nothing, GKE's $0.10/h.
Batch pools are priced as their nodes' virtual machines."""
import pytest

from tally_warden.reckoner import Reckoner


@pytest.fixture(scope="module")
def rk(tmp_path_factory):
    return Reckoner(str(tmp_path_factory.mktemp("store") / "pricing.db"))


@pytest.mark.parametrize(
    "provider, rtype, props, cost, tail",
    [
        # AKS: the default pool beside the control plane (plan JSON block or flattened keys).
        ("azurerm", "azurerm_kubernetes_cluster",
         {"default_node_pool": [{"vm_size": "Standard_D2s_v5", "node_count": 3}]}, 210.24, "(+ default pool 3x Standard_D2s_v5"),
        ("azurerm", "azurerm_kubernetes_cluster", {"vm_size": "Standard_D2s_v5", "min_count": 2, "max_count": 5}, 140.16,
         "(+ default pool 2x Standard_D2s_v5"),
        ("azurerm", "azurerm_kubernetes_cluster", {}, 0.0, "Kubernetes Control Plane @ $0.0000/hr"),
        ("azurerm", "azurerm_kubernetes_cluster_node_pool", {"vm_size": "Standard_D2s_v5", "min_count": 2}, 140.16,
         "2x Standard_D2s_v5"),
        # GKE: the default pool unless removed; initial_node_count is per zone.
        ("google", "google_container_cluster", {"initial_node_count": 1, "node_config": {"machine_type": "e2-standard-4"},
                                                "location": "us-central1-a"}, 170.83, "(+ default pool 1x e2-standard-4"),
        ("google", "google_container_cluster", {"initial_node_count": 1, "machine_type": "e2-standard-4",
                                                "location": "us-central1"}, 366.49, "(+ default pool 3x e2-standard-4"),
        ("google", "google_container_cluster", {"initial_node_count": 1, "remove_default_node_pool": True}, 73.0,
         "Kubernetes Control Plane @ $0.1000/hr"),
        ("google", "google_container_node_pool", {"autoscaling": {"min_node_count": 2, "max_node_count": 4},
                                                  "node_config": {"machine_type": "e2-standard-4"},
                                                  "location": "us-central1-a"}, 195.66, "2x e2-standard-4"),
        # Batch pools: dedicated nodes of fixed_scale (default 1) x vm_size; an auto-scale
        # formula is not evaluated, low-priority nodes are not priced, and both say so.
        ("azurerm", "azurerm_batch_pool", {"vm_size": "Standard_D2s_v5", "fixed_scale": [{"target_dedicated_nodes": 3}],
                                           "storage_image_reference": [{"sku": "22_04-lts"}]},
         210.24, "3x Standard_D2s_v5"),
        # The image's `sku`, flattened beside the pool's keys, is not the size.
        ("azurerm", "azurerm_batch_pool", {"vm_size": "Standard_D2s_v5", "sku": "22_04-lts"}, 70.08, "1x Standard_D2s_v5"),
        ("azurerm", "azurerm_batch_pool",
         {"vm_size": "STANDARD_D2S_V5", "fixed_scale": {"target_dedicated_nodes": 0, "target_low_priority_nodes": 4}},
         0.0, "(low-priority nodes not priced)"),
        ("azurerm", "azurerm_batch_pool", {"vm_size": "Standard_D2s_v5", "auto_scale": [{"formula": "$TargetDedicatedNodes=2;"}]},
         70.08, "(auto-scale formula not evaluated: 1 node)"),
        # EKS managed node groups read scaling_config.
        ("aws", "aws_eks_node_group", {"instance_types": ["m5.large"], "scaling_config": {"desired_size": 2, "min_size": 1}},
         140.16, "2x m5.large"),
        ("aws", "aws_eks_node_group", {"instance_types": ["m5.large"], "scaling_config": [{"min_size": 3}]}, 210.24,
         "3x m5.large"),
    ],
)
def test_node_pools(rk, provider, rtype, props, cost, tail):
    got = rk.estimate_resource_cost({"provider": provider, "type": rtype, "name": "n", "properties": props})
    assert got["monthly_cost"] == pytest.approx(cost, abs=0.02), got["basis"]
    assert got["basis"].startswith(tail) or tail in got["basis"]
