import pytest

H = "price_per_hour"
M = "price_per_million_requests"
GBM = "price_per_gb_month"


def check(estimate, provider, rtype, props, rows, cost, basis):
    result = estimate(provider, rtype, props, rows)
    assert (result["monthly_cost"], result["basis"]) == (cost, basis)
    return result


@pytest.mark.parametrize(
    "provider, props, rows, cost, basis",
    [
        ("aws", {"instance_type": "t3.xlarge"}, [], 280.32, "t3.xlarge (estimated) @ $0.3840/hr"),
        ("aws", {}, [], 7.59, "t3.micro (estimated) @ $0.0104/hr"),
        ("aws", {"instance_type": "m5.medium"}, [], 70.08, "m5.medium (estimated) @ $0.0960/hr"),
        ("aws", {"instance_type": "a1.Nano"}, [], 7.59, "a1.Nano (estimated) @ $0.0104/hr"),
        ("aws", {"instance_type": "x9.weird"}, [], 30.37, "x9.weird (estimated) @ $0.0416/hr"),
        ("azure", {}, [], 30.37, "Standard_B2s (estimated) @ $0.0416/hr"),
        ("azurerm", {}, [], 30.37, "Standard_B2s (estimated) @ $0.0416/hr"),
        ("google", {}, [], 70.08, "e2-medium (estimated) @ $0.0960/hr"),
        ("gcp", {}, [], 70.08, "e2-medium (estimated) @ $0.0960/hr"),
        ("aws", {"instance_type": "t3.micro", "region": "us-east-1"},
         [("aws", "aws_instance", "t3.micro", {H: 0.0104}, "us-east-1")], 7.59, "t3.micro @ $0.0104/hr [us-east-1]"),
        # A row without an hourly price prices at 0.0: the size estimate is only for missing rows.
        ("aws", {"instance_type": "t3.micro"}, [("aws", "aws_instance", "t3.micro", {})], 0.0,
         "t3.micro @ $0.0000/hr [global]"),
        # No retry with "base" for machines.
        ("aws", {"instance_type": "t3.micro"}, [("aws", "aws_instance", "base", {H: 1.0})], 7.59,
         "t3.micro (estimated) @ $0.0104/hr"),
        # Item keys that are not text are skipped for the next alternative.
        ("aws", {"instance_type": 5, "machine_type": "m5.large"}, [], 140.16, "m5.large (estimated) @ $0.1920/hr"),
        ("aws", {"instance_type": {"a": 1}}, [], 7.59, "t3.micro (estimated) @ $0.0104/hr"),
        ("google", {"machine_type": "", "size": "n2-standard-2"}, [], 30.37, "n2-standard-2 (estimated) @ $0.0416/hr"),
    ],
)
def test_virtual_machines(estimate, provider, props, rows, cost, basis):
    rtype = "google_compute_instance" if provider in ("google", "gcp") else (
        "azurerm_linux_virtual_machine" if provider.startswith("azure") else "aws_instance")
    check(estimate, provider, rtype, props, rows, cost, basis)


@pytest.mark.parametrize(
    "props, rows, cost, basis, details",
    [
        ({}, [], 27.12, "base @ $0.0340/hr + 20GB", {"compute_monthly": 24.82, "storage_monthly": 2.3}),
        ({"storage_mb": 10240}, [], 25.97, "base @ $0.0340/hr + 10GB", {"compute_monthly": 24.82, "storage_monthly": 1.15}),
        ({"storage_mb": 0}, [], 27.12, "base @ $0.0340/hr + 20GB", None),
        ({"allocated_storage": "100", "max_size_gb": 5}, [], 36.32, "base @ $0.0340/hr + 100GB", None),
        ({"allocated_storage": "lots", "max_size_gb": 50}, [], 30.57, "base @ $0.0340/hr + 50GB", None),
        ({"instance_class": "db.t3.micro"}, [("aws", "aws_db_instance", "db.t3.micro", {H: 0.017})], 14.71,
         "db.t3.micro @ $0.0170/hr + 20GB", {"compute_monthly": 12.41, "storage_monthly": 2.3}),
        ({"instance_class": "db.x.huge"}, [("aws", "aws_db_instance", "base", {H: 0.1})], 75.3,
         "db.x.huge @ $0.1000/hr + 20GB", None),
        ({"tier": {"name": "x"}, "sku_name": "GP_Gen5_2"}, [], 27.12, "GP_Gen5_2 @ $0.0340/hr + 20GB", None),
    ],
)
def test_database_instances(estimate, props, rows, cost, basis, details):
    result = check(estimate, "aws", "aws_db_instance", props, rows, cost, basis)
    if details is not None:
        assert list(result["details"].items()) == list(details.items())


@pytest.mark.parametrize(
    "props, rows, cost, basis, details",
    [
        ({}, [], 1.87, "1,000,000 reqs, 200ms, 512MB (@ $0.20/M, $16.67/M GB-s)",
         {"requests_monthly": 1000000.0, "execution_ms": 200.0, "memory_mb": 512.0, "request_cost": 0.2,
          "duration_cost": 1.67}),
        # 0 counts as empty: the tags and then the default apply.
        ({"tally_requests_per_month": 0, "tags": {"tally_requests_per_month": "2000000"}}, [], 3.73,
         "2,000,000 reqs, 200ms, 512MB (@ $0.20/M, $16.67/M GB-s)", None),
        ({"tally_execution_ms": "soon", "memory_size": "big", "tags": {"tally_memory_size": 1024}}, [], 3.53,
         "1,000,000 reqs, 200ms, 1024MB (@ $0.20/M, $16.67/M GB-s)", None),
        ({"memory_mb": 128, "tags": "a=b"}, [("aws", "aws_lambda_function", "base", {M: 0.2, "price_per_gb_second": 0.0000166667})],
         0.62, "1,000,000 reqs, 200ms, 128MB (@ $0.20/M, $16.67/M GB-s)",
         {"requests_monthly": 1000000.0, "execution_ms": 200.0, "memory_mb": 128.0, "request_cost": 0.2,
          "duration_cost": 0.42}),
        ({}, [("aws", "aws_lambda_function", "base", {})], 0.0, "1,000,000 reqs, 200ms, 512MB (@ $0.00/M, $0.00/M GB-s)",
         None),
    ],
)
def test_functions(estimate, props, rows, cost, basis, details):
    result = check(estimate, "aws", "aws_lambda_function", props, rows, cost, basis)
    if details is not None:
        assert list(result["details"].items()) == list(details.items())


@pytest.mark.parametrize(
    "provider, rtype, props, rows, cost, basis",
    [
        # Object storage
        ("aws", "aws_s3_bucket", {}, [], 2.3, "100GB base @ $0.0230/GB"),
        ("aws", "aws_s3_bucket", {"tags": {"tally_storage_gb": 1000}}, [], 23.0, "1000GB base @ $0.0230/GB"),
        ("azure", "azurerm_storage_account", {"account_replication_type": "GRS"},
         [("azure", "azurerm_storage_account", "GRS", {GBM: 0.0368})], 3.68, "100GB GRS @ $0.0368/GB"),
        ("google", "google_storage_bucket", {"storage_class": "NEARLINE", "tally_storage_gb": "x"},
         [("google", "google_storage_bucket", "base", {GBM: 0.02})], 2.0, "100GB NEARLINE @ $0.0200/GB"),
        # Block disks
        ("aws", "aws_ebs_volume", {}, [], 4.0, "50GB base disk @ $0.0800/GB-mo"),
        ("aws", "aws_ebs_volume", {"type": "gp3", "size": "200"}, [("aws", "aws_ebs_volume", "gp3", {GBM: 0.08})], 16.0,
         "200GB gp3 disk @ $0.0800/GB-mo"),
        ("azure", "azurerm_managed_disk", {"storage_account_type": "Premium_LRS", "disk_size_gb": 128, "size": "?"}, [],
         10.24, "128GB Premium_LRS disk @ $0.0800/GB-mo"),
        # Hourly families with a single item
        ("aws", "aws_rds_cluster", {}, [], 146.0, "Database Cluster/Server @ $0.2000/hr"),
        ("azure", "azurerm_mssql_server", {}, [("azure", "azurerm_mssql_server", "base", {H: 0.0})], 0.0,
         "Database Cluster/Server @ $0.0000/hr"),
        ("aws", "aws_eks_cluster", {}, [], 73.0, "Kubernetes Control Plane @ $0.1000/hr"),
        ("azure", "azurerm_firewall", {}, [], 912.5, "azurerm_firewall @ $1.2500/hr"),
        ("aws", "aws_cloudfront_distribution", {}, [], 0.85, "100GB CDN transfer @ $0.0085/GB"),
        ("aws", "aws_cloudfront_distribution", {"tally_transfer_gb": 1000},
         [("aws", "aws_cloudfront_distribution", "base", {"price_per_gb_transfer": 0.085})], 85.0,
         "1000GB CDN transfer @ $0.0850/GB"),
        # Load balancers
        ("aws", "aws_lb", {}, [], 5.84, "Load Balancer (aws_lb) @ $0.0080/hr"),
        ("azure", "azurerm_load_balancer", {"sku": "Standard"}, [("azure", "azurerm_load_balancer", "Standard", {H: 0.025})],
         18.25, "Load Balancer (azurerm_load_balancer) @ $0.0250/hr"),
        ("azure", "azurerm_application_gateway", {"sku": {"name": "WAF_v2"}},
         [("azure", "azurerm_application_gateway", "base", {H: 0.246})], 179.58,
         "Load Balancer (azurerm_application_gateway) @ $0.2460/hr"),
        # DNS zones and secrets
        ("aws", "aws_route53_zone", {}, [], 0.5, "DNS zone (base) @ $0.000685/hr"),
        ("google", "google_dns_managed_zone", {"type": "Private"},
         [("google", "google_dns_managed_zone", "private", {H: 0.000274})], 0.2, "DNS zone (private) @ $0.000274/hr"),
        ("aws", "aws_route53_zone", {"type": ""}, [], 0.5, "DNS zone (base) @ $0.000685/hr"),
        ("aws", "aws_route53_zone", {"type": 7}, [], 0.5, "DNS zone (base) @ $0.000685/hr"),
        ("aws", "aws_secretsmanager_secret", {}, [], 0.4, "aws_secretsmanager_secret (base) @ $0.000548/hr"),
        ("aws", "aws_ssm_parameter", {"tier": "Advanced"}, [("aws", "aws_ssm_parameter", "Advanced", {H: 0.0000685})],
         0.05, "aws_ssm_parameter (Advanced) @ $0.000068/hr"),
        ("aws", "aws_ssm_parameter", {"tier": ""}, [], 0.4, "aws_ssm_parameter (base) @ $0.000548/hr"),
        # Data platforms
        ("google", "google_dataflow_job", {}, [], 182.5, "google_dataflow_job (base) @ $0.2500/hr"),
        ("azure", "azurerm_databricks_workspace", {"sku": "premium"},
         [("azure", "azurerm_databricks_workspace", "premium", {H: 0.55})], 401.5,
         "azurerm_databricks_workspace (premium) @ $0.5500/hr"),
    ],
)
def test_single_path_families(estimate, provider, rtype, props, rows, cost, basis):
    check(estimate, provider, rtype, props, rows, cost, basis)


@pytest.mark.parametrize(
    "provider, rtype, props, rows, cost, basis",
    [
        ("google", "google_redis_instance", {}, [], 0.05, "1.0GB Redis (BASIC) @ $0.0490/GB-mo"),
        ("google", "google_redis_instance", {"tier": "STANDARD_HA", "memory_size_gb": 5},
         [("google", "google_redis_instance", "STANDARD_HA", {GBM: 46.72})], 233.6,
         "5.0GB Redis (STANDARD_HA) @ $46.7200/GB-mo"),
        ("gcp", "google_redis_instance", {"memory_size_gb": "2"}, [("google", "google_redis_instance", "base", {GBM: 10})],
         20.0, "2.0GB Redis (BASIC) @ $10.0000/GB-mo"),
        ("aws", "aws_elasticache_cluster", {}, [], 24.82, "base @ $0.0340/hr"),
        ("aws", "aws_elasticache_replication_group", {"node_type": "cache.t3.micro"},
         [("aws", "aws_elasticache_replication_group", "cache.t3.micro", {H: 0.017})], 12.41, "cache.t3.micro @ $0.0170/hr"),
        # A memory size is looked up as its decimal text.
        ("google", "google_memcache_instance", {"memory_size_gb": 4},
         [("google", "google_memcache_instance", "4", {H: 0.1})], 73.0, "4 @ $0.1000/hr"),
        ("google", "google_memcache_instance", {"memory_size_gb": 2.5}, [], 24.82, "2.5 @ $0.0340/hr"),
        ("azure", "azurerm_redis_cache", {"sku_name": "Premium"}, [("azure", "azurerm_redis_cache", "Premium", {H: 0.554})],
         404.42, "Premium @ $0.5540/hr"),
    ],
)
def test_caches(estimate, provider, rtype, props, rows, cost, basis):
    check(estimate, provider, rtype, props, rows, cost, basis)


@pytest.mark.parametrize(
    "provider, rtype, props, rows, cost, basis",
    [
        # API gateways: hourly with a positive hourly price, else per request.
        ("aws", "aws_api_gateway_rest_api", {}, [], 3.5, "1M API calls @ $3.50/M"),
        ("aws", "aws_api_gateway_rest_api", {}, [("aws", "aws_api_gateway_rest_api", "base", {H: 0.0, M: 3.5})], 3.5,
         "1M API calls @ $3.50/M"),
        ("aws", "aws_api_gateway_v2_api", {"tally_million_requests": 10},
         [("aws", "aws_api_gateway_v2_api", "base", {M: 1.0})], 10.0, "10M API calls @ $1.00/M"),
        ("aws", "aws_api_gateway_v2_api", {"tally_million_requests": "many", "tags": {"tally_million_requests": 9}}, [],
         3.5, "1M API calls @ $3.50/M"),
        ("azure", "azurerm_api_management", {"sku_name": "Developer_1"},
         [("azure", "azurerm_api_management", "Developer_1", {H: 0.0658})], 48.03, "API Management (Developer_1) @ $0.0658/hr"),
        # Messaging
        ("aws", "aws_sqs_queue", {}, [], 2.0, "5M messages @ $0.40/M"),
        ("aws", "aws_sns_topic", {"tally_million_requests": 0}, [], 0.0, "0M messages @ $0.40/M"),
        ("aws", "aws_kinesis_stream", {}, [("aws", "aws_kinesis_stream", "base", {H: 0.015})], 10.95,
         "Messaging (base) @ $0.0150/hr"),
        ("azure", "azurerm_service_bus_namespace", {"sku": "Basic"},
         [("azure", "azurerm_service_bus_namespace", "Basic", {M: 0.05}),
          ("azure", "azurerm_service_bus_namespace", "base", {H: 1.0})], 0.25, "5M messages @ $0.05/M"),
        # Container registries
        ("aws", "aws_ecr_repository", {}, [], 0.5, "Container Registry 5GB @ $0.1000/GB-mo"),
        ("aws", "aws_ecr_repository", {"tally_storage_gb": 50}, [("aws", "aws_ecr_repository", "base", {GBM: 0.1})], 5.0,
         "Container Registry 50GB @ $0.1000/GB-mo"),
        ("azure", "azurerm_container_registry", {"sku": "Standard"},
         [("azure", "azurerm_container_registry", "Standard", {H: 0.027778})], 20.28,
         "Container Registry (Standard) @ $0.0278/hr"),
    ],
)
def test_two_path_families(estimate, provider, rtype, props, rows, cost, basis):
    check(estimate, provider, rtype, props, rows, cost, basis)


# The size-group estimate scales with the vCPUs a size name implies ($0.096 a vCPU, so that
# "large" keeps its $0.192); names without such a size keep their group's rate.
@pytest.mark.parametrize("size, hourly", [
    ("r7g.large", 0.192), ("r7g.xlarge", 0.384), ("r7g.2xlarge", 0.768), ("r7g.16xlarge", 6.144),
    ("TRN9.48XLARGE", 18.432), ("m5zz.metal", 9.216), ("c9i.metal-48xl", 18.432),
    ("x9.medium", 0.096), ("x9.small", 0.0416), ("x9.xxlarge", 0.192), ("x9.9999999999xlarge", 0.192),
    ("Standard_D4_v9", 0.192), ("x9.metal-xl", 0.0416),
])
def test_size_group_estimate_scales_with_size(estimate, size, hourly):
    result = estimate("aws", "aws_instance", {"instance_type": size})
    assert result["basis"] == f"{size} (estimated) @ ${hourly:.4f}/hr"
    assert result["monthly_cost"] == round(hourly * 730, 2)


# A price taken from the default region's row says so, wherever the family writes its basis;
# rows of the region asked for, or global rows, carry no note.
@pytest.mark.parametrize("rtype, props, rows, basis", [
    ("aws_instance", {"instance_type": "m5.large", "region": "sa-east-1"},
     [("aws", "aws_instance", "m5.large", {H: 0.096}, "us-east-1")],
     "m5.large @ $0.0960/hr (us-east-1 price, no sa-east-1 row)"),
    ("aws_instance", {"instance_type": "m5.large", "region": "sa-east-1"},
     [("aws", "aws_instance", "m5.large", {H: 0.096}, "us-east-1"), ("aws", "aws_instance", "m5.large", {H: 0.153}, "sa-east-1")],
     "m5.large @ $0.1530/hr [sa-east-1]"),
    ("aws_instance", {"instance_type": "m5.large", "region": "sa-east-1"},
     [("aws", "aws_instance", "m5.large", {H: 0.1}, "global"), ("aws", "aws_instance", "m5.large", {H: 0.096}, "us-east-1")],
     "m5.large @ $0.1000/hr [sa-east-1]"),
    ("aws_instance", {"instance_type": "m5.large"}, [("aws", "aws_instance", "m5.large", {H: 0.096}, "us-east-1")],
     "m5.large @ $0.0960/hr [global]"),
    ("aws_nat_gateway", {"region": "sa-east-1"}, [("aws", "aws_nat_gateway", "base", {H: 0.045}, "us-east-1")],
     "NAT Gateway @ $0.0450/hr (us-east-1 price, no sa-east-1 row)"),
    ("azurerm_linux_virtual_machine", {"size": "Standard_D2s_v5", "location": "Brazil South"},
     [("azure", "azurerm_linux_virtual_machine", "Standard_D2s_v5", {H: 0.096}, "eastus")],
     "Standard_D2s_v5 @ $0.0960/hr (eastus price, no brazilsouth row)"),
])
def test_other_region_prices_say_so(estimate, rtype, props, rows, basis):
    provider = "azure" if rtype.startswith("azurerm") else "aws"
    assert estimate(provider, rtype, props, rows)["basis"] == basis
