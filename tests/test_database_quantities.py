"""Quantities that drive database and cache bills: Multi-AZ, engines, storage types, Aurora capacity,
cache node counts and search-domain node roles, against the shipped list prices (us-east-1:
db.m5.large MySQL $0.171/h, cache.m5.large $0.156/h, m5.large.search $0.142/h, Aurora Serverless v2
$0.12 per ACU-hour; RDS gp2 storage $0.115 per GB-month)."""
import pytest

from tally_warden.reckoner import Reckoner, _cost_source


@pytest.fixture(scope="module")
def rk(tmp_path_factory):
    return Reckoner(str(tmp_path_factory.mktemp("store") / "pricing.db"))


def estimate(rk, rtype, props):
    return rk.estimate_resource_cost({"provider": "aws", "type": rtype, "name": "n",
                                      "properties": {"region": "us-east-1", **props}})


M5 = {"instance_class": "db.m5.large", "allocated_storage": 100}


@pytest.mark.parametrize(
    "props, cost, basis",
    [
        (M5, 136.33, "db.m5.large @ $0.1710/hr + 100GB"),
        # Multi-AZ: twice the instance and the storage, as AWS documents for MySQL.
        ({**M5, "multi_az": True}, 272.66, "db.m5.large @ $0.3420/hr + 100GB (Multi-AZ)"),
        ({**M5, "multi_az": "true", "engine": "mariadb"}, 272.66, "(Multi-AZ) (estimated: mariadb at the MySQL price)"),
        ({**M5, "MultiAZ": "false"}, 136.33, "db.m5.large @ $0.1710/hr + 100GB"),
        # Engines without a row of their own: the MySQL price, visibly estimated.
        ({**M5, "engine": "sqlserver-ee", "license_model": "license-included"}, 136.33,
         "(estimated: sqlserver-ee at the MySQL price)"),
        ({**M5, "engine": "oracle-ee", "license_model": "bring-your-own-license", "multi_az": True}, 272.66,
         "(Multi-AZ estimated) (estimated: oracle-ee-byol at the MySQL price)"),
        # Storage types: gp3 within its baseline is gp2's price; provisioned IOPS without a row say so.
        ({**M5, "storage_type": "gp3", "iops": 3000}, 136.33, "db.m5.large @ $0.1710/hr + 100GB"),
        ({**M5, "storage_type": "gp3", "iops": 12000, "allocated_storage": 400}, 170.83, "+ 400GB"),
        ({**M5, "storage_type": "gp3", "iops": 5000}, 136.33, "(2,000 IOPS not priced)"),
        ({**M5, "storage_type": "io2", "iops": 10000}, 136.33, "(io2 storage estimated) (10,000 IOPS not priced)"),
        # iops without a storage type is io1, the provider's default then.
        ({**M5, "iops": 1000}, 136.33, "(io1 storage estimated) (1,000 IOPS not priced)"),
    ],
)
def test_rds_instance(rk, props, cost, basis):
    got = estimate(rk, "aws_db_instance", props)
    assert got["monthly_cost"] == pytest.approx(cost, abs=0.02)
    assert basis in got["basis"]


def test_rds_rows_of_engines_and_multi_az_are_used(estimate):
    rows = [("aws", "aws_db_instance", "postgres/db.m5.large", {"price_per_hour": 0.178}),
            ("aws", "aws_db_instance", "postgres/db.m5.large/multi-az", {"price_per_hour": 0.356}),
            ("aws", "aws_db_instance", "iops/io1", {"price_per_gb_month": 0.1})]
    got = estimate("aws", "aws_db_instance", {**M5, "engine": "postgres", "multi_az": True, "iops": 1000}, rows)
    # 0.356 x 730 + 2 x (100 GB x 0.115 + 1,000 IOPS x 0.10)
    assert got["monthly_cost"] == pytest.approx(259.88 + 23.0 + 200.0, abs=0.02)
    assert got["basis"] == "db.m5.large @ $0.3560/hr + 100GB (Multi-AZ) (io1 storage estimated)"


@pytest.mark.parametrize(
    "props, cost, basis",
    [
        # A provisioned cluster bills through its instances, no ACU.
        ({"engine": "aurora-postgresql"}, 0.0,
         "Aurora cluster (instances billed through aws_rds_cluster_instance) (storage and I/O not priced)"),
        ({"serverlessv2_scaling_configuration": {"min_capacity": 2, "max_capacity": 16}}, 175.2,
         "Aurora Serverless 2.0 ACU @ $0.1200/ACU-hr"),
        ({"min_capacity": 0.5, "max_capacity": 4}, 43.8, "Aurora Serverless 0.5 ACU"),  # flattened block
        ({"min_capacity": 0.5, "tally_average_acus": 4}, 350.4, "Aurora Serverless 4.0 ACU"),
        ({"db_cluster_instance_class": "db.m5.large", "engine": "mysql"}, 374.49, "Multi-AZ DB cluster 3x db.m5.large"),
    ],
)
def test_rds_cluster(rk, props, cost, basis):
    got = estimate(rk, "aws_rds_cluster", props)
    assert (got["monthly_cost"], got["basis"].startswith(basis)) == (pytest.approx(cost, abs=0.02), True), got["basis"]


@pytest.mark.parametrize(
    "rtype, props, cost, nodes",
    [
        ("aws_elasticache_cluster", {"node_type": "cache.m5.large", "num_cache_nodes": 3}, 341.64, "(3 nodes)"),
        ("aws_elasticache_cluster", {"node_type": "cache.m5.large"}, 113.88, None),
        ("aws_elasticache_replication_group", {"node_type": "cache.m5.large", "num_cache_clusters": 2}, 227.76, "(2 nodes)"),
        ("aws_elasticache_replication_group",
         {"node_type": "cache.m5.large", "num_node_groups": 3, "replicas_per_node_group": 2}, 1024.92, "(9 nodes)"),
        ("aws_elasticache_replication_group", {"node_type": "cache.m5.large", "num_node_groups": 2}, 227.76, "(2 nodes)"),
        # MemoryDB: shards x (replicas + 1), one replica by default; no price row, so the default rate.
        ("aws_memorydb_cluster", {"node_type": "db.r6g.large", "num_shards": 2}, 99.28, "(4 nodes)"),
    ],
)
def test_cache_node_counts(rk, rtype, props, cost, nodes):
    got = estimate(rk, rtype, props)
    assert got["monthly_cost"] == pytest.approx(cost, abs=0.02)
    assert got["basis"].endswith(nodes) if nodes else "nodes" not in got["basis"]


def test_memorydb_without_a_row_is_flagged(rk):
    assert _cost_source(rk, {"type": "aws_memorydb_cluster", "properties": {}}) == ("rule", True)


@pytest.mark.parametrize(
    "config, cost, tail",
    [
        ({"instance_type": "m5.large.search", "instance_count": 2}, 207.32, "2x m5.large.search @ $0.1420/hr"),
        ({"instance_type": "m5.large.search", "instance_count": 2, "dedicated_master_enabled": True,
          "dedicated_master_type": "m5.large.search"}, 518.3, "(+ 3x m5.large.search masters @ $0.1420/hr)"),
        ({"instance_type": "m5.large.search", "instance_count": 2, "dedicated_master_enabled": "true",
          "dedicated_master_type": "m5.large.search", "dedicated_master_count": 5}, 725.62, "(+ 5x m5.large.search masters"),
        ({"instance_type": "m5.large.search", "dedicated_master_enabled": False, "dedicated_master_count": 3}, 103.66,
         "1x m5.large.search @ $0.1420/hr"),
    ],
)
def test_search_domain_node_roles(rk, config, cost, tail):
    got = estimate(rk, "aws_opensearch_domain", {"cluster_config": config})
    assert got["monthly_cost"] == pytest.approx(cost, abs=0.02)
    assert tail in got["basis"]


def test_search_domain_warm_nodes_beside_data_nodes(rk):
    got = estimate(rk, "aws_opensearch_domain", {"cluster_config": {
        "instance_type": "m5.large.search", "warm_enabled": True, "warm_type": "ultrawarm1.medium.search", "warm_count": 2}})
    assert "(+ 2x ultrawarm1.medium.search warm @ $" in got["basis"]
    assert got["monthly_cost"] > 103.66
