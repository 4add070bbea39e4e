#!/usr/bin/env python3
"""Times estimate_total_costs over a synthetic monorepo against the floor of its store reads.

The floor is the time of issuing only the SELECT statements that the per-lookup cascade
runs for the same resources (exact region, then global, then the provider's default
region), on one open connection through the sqlite3 module. Both are measured in this
run, side by side, and the ratio estimate / floor is printed.

    python bench/bench_estimate.py [--resources 20000] [--repeat 5]
"""

import argparse
import random
import sqlite3
import tempfile
import time
from pathlib import Path

from tally_warden.reckoner import Reckoner

SELECT = ("SELECT price_per_hour, price_per_million_requests, price_per_gb_second, price_per_gb_month, "
          "price_per_gb_transfer, price_per_request, unit FROM pricing "
          "WHERE provider = ? AND resource_type = ? AND item_key = ? AND region = ?")
DEFAULT_REGIONS = {"aws": "us-east-1", "google": "us-central1", "gcp": "us-central1", "azure": "eastus"}

AWS_REGIONS = ["us-east-1", "us-east-2", "us-west-2", "eu-west-1", "eu-central-1", "ap-southeast-1", "sa-east-1"]
GCP_ZONES = ["us-central1-a", "us-east1-b", "europe-west1-c", "asia-southeast1-a", "us-west4-b"]
AZURE_LOCATIONS = ["East US", "westeurope", "UK South", "southeastasia", "Brazil South"]


def synthetic_resources(n, seed=0):
    rnd = random.Random(seed)
    aws_types = ["t3.micro", "t3.large", "m5.xlarge", "c6g.2xlarge", "r6i.4xlarge", "x1.weird"]
    gcp_types = ["e2-medium", "n2-standard-4", "c3-standard-8", "n1-highcpu-16", "zz-custom"]
    az_sizes = ["Standard_B2s", "Standard_D4s_v5", "Standard_E8s_v3", "Standard_F2s_v2"]
    makers = [
        lambda: ("aws", "aws_instance", {"instance_type": rnd.choice(aws_types), "region": rnd.choice(AWS_REGIONS)}),
        lambda: ("aws", "aws_db_instance", {"instance_class": rnd.choice(["db.t3.micro", "db.m5.large", "db.r6g.xlarge"]),
                                            "allocated_storage": rnd.choice([20, 100, 500])}),
        lambda: ("aws", "aws_s3_bucket", {"region": rnd.choice(AWS_REGIONS)}),
        lambda: ("aws", "aws_ebs_volume", {"type": rnd.choice(["gp2", "gp3", "io2"]), "size": 100,
                                           "availability_zone": rnd.choice(AWS_REGIONS) + "a"}),
        lambda: ("aws", "aws_lambda_function", {"memory_size": rnd.choice([128, 512, 1024])}),
        lambda: ("aws", "aws_elasticache_replication_group", {"node_type": rnd.choice(["cache.t3.micro", "cache.r6g.large"])}),
        lambda: ("aws", "aws_lb", {}),
        lambda: ("aws", "aws_nat_gateway", {"region": rnd.choice(AWS_REGIONS)}),
        lambda: ("aws", "aws_dynamodb_table", {"billing_mode": "PAY_PER_REQUEST"}),
        lambda: ("aws", "aws_sqs_queue", {}),
        lambda: ("aws", "aws_msk_cluster", {"broker_node_group_info": {"instance_type": "kafka.m5.large"}}),
        lambda: ("aws", "aws_iam_role", {}),
        lambda: ("aws", "aws_security_group", {}),
        lambda: ("aws", "aws_cloudwatch_log_group", {}),
        lambda: ("google", "google_compute_instance", {"machine_type": rnd.choice(gcp_types), "zone": rnd.choice(GCP_ZONES)}),
        lambda: ("google", "google_storage_bucket", {"location": rnd.choice(["US", "EU", "us-central1"])}),
        lambda: ("google", "google_sql_database_instance", {"tier": rnd.choice(["db-f1-micro", "db-custom-2-7680"])}),
        lambda: ("google", "google_compute_disk", {"type": "pd-balanced", "size": 200, "zone": rnd.choice(GCP_ZONES)}),
        lambda: ("gcp", "google_cloud_run_service", {}),
        lambda: ("google", "google_spanner_instance", {"config": "regional-us-central1", "num_nodes": 2}),
        lambda: ("google", "google_compute_firewall", {}),
        lambda: ("azurerm", "azurerm_linux_virtual_machine", {"size": rnd.choice(az_sizes),
                                                               "location": rnd.choice(AZURE_LOCATIONS)}),
        lambda: ("azurerm", "azurerm_managed_disk", {"storage_account_type": "Premium_LRS", "disk_size_gb": 128}),
        lambda: ("azurerm", "azurerm_storage_account", {"account_replication_type": "GRS", "location": "eastus"}),
        lambda: ("azurerm", "azurerm_app_service_plan", {"sku": {"tier": "Standard", "size": "S1"}}),
        lambda: ("azurerm", "azurerm_kubernetes_cluster", {"location": "westeurope"}),
        lambda: ("azurerm", "azurerm_signalr_service", {"sku": {"name": "Standard_S1"}}),
        lambda: ("azurerm", "azurerm_resource_group", {}),
    ]
    out = []
    for i in range(n):
        provider, rtype, props = rnd.choice(makers)()
        out.append({"provider": provider, "type": rtype, "name": f"r{i}", "properties": props})
    return out


class Recorder:
    """Stands in for the store to collect the lookups that the estimates make."""

    def __init__(self, store):
        self.store, self.calls = store, []

    def get_pricing_rate(self, provider, resource_type, item_key, region="global"):
        self.calls.append((provider, resource_type, item_key, region))
        return self.store.get_pricing_rate(provider, resource_type, item_key, region)


def store_region(provider, region):
    if not region or region == "global":
        return "global"
    if provider == "azure":
        return region.lower().replace(" ", "")
    return region


def floor_time(db_path, lookups):
    """Seconds for the cascade's SELECT statements of `lookups` on one open connection."""
    conn = sqlite3.connect(db_path)
    try:
        start = time.perf_counter()
        cur = conn.cursor()
        for provider, rtype, item, region in lookups:
            region = store_region(provider, region)
            row = cur.execute(SELECT, (provider, rtype, item, region)).fetchone()
            if row is None and region != "global":
                row = cur.execute(SELECT, (provider, rtype, item, "global")).fetchone()
            if row is None:
                default = DEFAULT_REGIONS.get(provider.lower())
                if default and default != region:
                    row = cur.execute(SELECT, (provider, rtype, item, default)).fetchone()
        return time.perf_counter() - start
    finally:
        conn.close()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--resources", type=int, default=20000)
    ap.add_argument("--repeat", type=int, default=5)
    args = ap.parse_args()

    with tempfile.TemporaryDirectory() as tmp:
        db_path = str(Path(tmp) / "pricing.db")
        reckoner = Reckoner(db_path)
        resources = synthetic_resources(args.resources)

        recording = Reckoner.__new__(Reckoner)
        recording.db = Recorder(reckoner.db)
        expected = recording.estimate_total_costs(resources)
        lookups = recording.db.calls
        assert reckoner.estimate_total_costs(resources) == expected, "report differs from the per-lookup cascade"

        estimate_s, floor_s = [], []
        for _ in range(args.repeat):
            floor_s.append(floor_time(db_path, lookups))
            start = time.perf_counter()
            reckoner.estimate_total_costs(resources)
            estimate_s.append(time.perf_counter() - start)

        est, flo = min(estimate_s), min(floor_s)
        print(f"resources: {len(resources)}, store lookups: {len(lookups)} "
              f"({len(lookups) / len(resources):.2f} per resource), total ${expected['total_monthly_cost']:,.2f}")
        print(f"estimate_total_costs: {est * 1000:8.1f} ms (best of {args.repeat})")
        print(f"SELECT floor:         {flo * 1000:8.1f} ms (best of {args.repeat})")
        print(f"ratio: {est / flo:.3f}x")


if __name__ == "__main__":
    main()
