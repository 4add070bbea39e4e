import pytest

H = "price_per_hour"
M = "price_per_million_requests"
GBM = "price_per_gb_month"


@pytest.mark.parametrize(
    "rtype, props, rows, cost, basis",
    [
        # DynamoDB: PAY_PER_REQUEST is the on-demand mode.
        ("aws_dynamodb_table", {"billing_mode": "PAY_PER_REQUEST"}, [], 11.25, "DynamoDB on_demand (5M reqs + 20GB)"),
        ("aws_dynamodb_table", {"billing_mode": "PAY_PER_REQUEST"},
         [("aws", "aws_dynamodb_table", "on_demand", {M: 1.25, GBM: 0.25}),
          ("aws", "aws_dynamodb_table", "provisioned", {M: 0.0, GBM: 0.0})], 11.25, "DynamoDB on_demand (5M reqs + 20GB)"),
        ("aws_dynamodb_table", {"billing_mode": "PROVISIONED"}, [("aws", "aws_dynamodb_table", "provisioned", {GBM: 0.25})],
         5.0, "DynamoDB provisioned (5M reqs + 20GB)"),
        ("aws_dynamodb_table", {}, [], 11.25, "DynamoDB on_demand (5M reqs + 20GB)"),
        ("aws_dynamodb_table", {"billing_mode": None, "tally_million_requests": "2", "tally_storage_gb": 0}, [], 2.5,
         "DynamoDB on_demand (2M reqs + 0GB)"),
        # Kafka clusters
        ("aws_msk_cluster", {}, [], 464.28, "3x kafka.m5.large @ $0.2120/hr each"),
        ("aws_msk_cluster", {"broker_node_group_info": {"instance_type": "kafka.m5.xlarge"}, "number_of_broker_nodes": 2},
         [("aws", "aws_msk_cluster", "kafka.m5.xlarge", {H: 0.42})], 613.2, "2x kafka.m5.xlarge @ $0.4200/hr each"),
        ("aws_msk_cluster", {"broker_node_group_info": [{"instance_type": "kafka.m5.xlarge"}], "number_of_broker_nodes": "x"},
         [], 464.28, "3x kafka.m5.large @ $0.2120/hr each"),
        # Warehouse clusters
        ("aws_redshift_cluster", {"number_of_nodes": 2}, [], 365.0, "2.0x dc2.large @ $0.2500/hr"),
        ("aws_redshift_cluster", {"node_type": "ra3.xlplus", "number_of_nodes": "3"},
         [("aws", "aws_redshift_cluster", "ra3.xlplus", {H: 1.086})], 2378.34, "3.0x ra3.xlplus @ $1.0860/hr"),
        ("aws_nat_gateway", {}, [], 32.85, "NAT Gateway @ $0.0450/hr"),
        # Hadoop clusters: the master and every core node at the master's rate.
        ("aws_emr_cluster", {}, [], 105.12, "EMR m5.xlarge master + 2 core @ $0.0480/hr"),
        ("aws_emr_cluster", {"master_instance_type": "r5.xlarge", "core_instance_count": 3},
         [("aws", "aws_emr_cluster", "r5.xlarge", {H: 0.315})], 919.8, "EMR r5.xlarge master + 3 core @ $0.3150/hr"),
        # Search domains
        ("aws_opensearch_domain", {}, [], 53.29, "1x base @ $0.0730/hr"),
        ("aws_elasticsearch_domain", {"cluster_config": {"instance_type": "r5.large.elasticsearch", "instance_count": 3}},
         [("aws", "aws_elasticsearch_domain", "r5.large.elasticsearch", {H: 0.186})], 407.34,
         "3x r5.large.elasticsearch @ $0.1860/hr"),
        ("aws_opensearch_domain", {"cluster_config": [{"instance_type": "m5.large.search"}]}, [], 53.29,
         "1x m5.large.search @ $0.0730/hr"),
        ("aws_opensearch_domain", {"cluster_config": {"instance_type": {"x": 1}, "instance_count": "2"}}, [], 106.58,
         "2x base @ $0.0730/hr"),
        ("aws_glue_job", {}, [], 4.4, "Glue DPU @ $0.4400/hr (est. 10hr/mo)"),
        ("aws_glue_crawler", {}, [("aws", "aws_glue_crawler", "base", {H: 0.44})], 4.4, "Glue DPU @ $0.4400/hr (est. 10hr/mo)"),
        # Model endpoints
        ("aws_sagemaker_endpoint", {"production_variants": []}, [], 93.44, "SageMaker base @ $0.1280/hr"),
        ("aws_sagemaker_endpoint", {"production_variants": [{"instance_type": "ml.m5.large"}, {"instance_type": "x"}]},
         [("aws", "aws_sagemaker_endpoint", "ml.m5.large", {H: 0.115})], 83.95, "SageMaker ml.m5.large @ $0.1150/hr"),
        ("aws_sagemaker_endpoint", {"production_variants": {"instance_type": "ml.m5.large"}}, [], 93.44,
         "SageMaker base @ $0.1280/hr"),
        ("aws_ecs_service", {}, [], 0.0, "aws_ecs_service (compute cost reflected in EC2/Fargate nodes)"),
    ],
)
def test_aws_families(estimate, rtype, props, rows, cost, basis):
    result = estimate("aws", rtype, props, rows)
    assert (result["monthly_cost"], result["basis"], result["details"]) == (cost, basis, {})


def test_container_services_consult_no_store():
    from tally_warden.reckoner import Reckoner

    class NoStore:
        def get_pricing_rate(self, *args):
            raise AssertionError("looked up")

    r = Reckoner.__new__(Reckoner)
    r.db = NoStore()
    for rtype in ("aws_ecs_cluster", "aws_ecs_service", "aws_ecs_task_definition"):
        assert r.estimate_resource_cost({"type": rtype})["monthly_cost"] == 0.0
