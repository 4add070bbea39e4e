import pytest

H = "price_per_hour"
M = "price_per_million_requests"
GBM = "price_per_gb_month"


@pytest.mark.parametrize(
    "rtype, props, rows, cost, basis",
    [
        # App service plans: a SKU map yields its size.
        ("azurerm_app_service_plan", {"sku": {"tier": "Standard", "size": "S2"}}, [], 73.0, "App Service S2 @ $0.1000/hr"),
        ("azurerm_app_service_plan", {"sku": {"tier": "Standard", "size": "S2"}},
         [("azure", "azurerm_app_service_plan", "S2", {H: 0.2})], 146.0, "App Service S2 @ $0.2000/hr"),
        ("azurerm_app_service_plan", {"sku_name": "", "sku": {"tier": "Basic"}}, [], 73.0, "App Service S1 @ $0.1000/hr"),
        ("azurerm_app_service_plan", {"sku_name": "P1v2", "sku": "B1"}, [], 73.0, "App Service P1v2 @ $0.1000/hr"),
        ("azurerm_app_service_plan", {"sku_name": 3, "sku": "B1"}, [], 73.0, "App Service B1 @ $0.1000/hr"),
        ("azurerm_logic_app_workflow", {}, [], 0.5, "1M executions @ $0.50/M"),
        ("azurerm_cognitive_account", {"tally_million_requests": 3}, [("azure", "azurerm_cognitive_account", "base", {M: 2})],
         6.0, "3M executions @ $2.00/M"),
        ("azurerm_search_service", {}, [], 73.73, "Azure Search (standard) @ $0.1010/hr"),
        ("azurerm_search_service", {"sku": {"name": "basic"}}, [], 73.73, "Azure Search (standard) @ $0.1010/hr"),
        # IoT hub: a SKU map yields its name, else S1.
        ("azurerm_iothub", {"sku": {"capacity": 1}}, [], 182.5, "IoT Hub S1 @ $0.2500/hr"),
        ("azurerm_iothub", {"sku": {"name": "B1"}}, [("azure", "azurerm_iothub", "B1", {H: 0.0137})], 10.0,
         "IoT Hub B1 @ $0.0137/hr"),
        ("azurerm_iothub", {"sku": "S2"}, [], 182.5, "IoT Hub S2 @ $0.2500/hr"),
        ("azurerm_stream_analytics_job", {}, [], 240.9, "Stream Analytics 3 SUs @ $0.1100/hr each"),
        ("azurerm_stream_analytics_job", {"streaming_units": "6"}, [], 481.8, "Stream Analytics 6 SUs @ $0.1100/hr each"),
        ("azurerm_synapse_sql_pool", {"sql_pool_sku_name": "DW200c"}, [("azure", "azurerm_synapse_sql_pool", "DW200c", {H: 2.4})],
         1752.0, "Synapse DW200c @ $2.4000/hr"),
        ("azurerm_synapse_sql_pool", {}, [], 1102.3, "Synapse DW100c @ $1.5100/hr"),
        ("azurerm_log_analytics_workspace", {}, [], 11.5, "5GB log data @ $2.3000/GB-mo"),
        ("azurerm_application_insights", {"tags": {"tally_gb_ingested": "20"}},
         [("azure", "azurerm_application_insights", "PerGB2018", {GBM: 2.76})], 55.2, "20GB log data @ $2.7600/GB-mo"),
        # Network gateways
        ("azurerm_virtual_network_gateway", {}, [], 138.7, "azurerm_virtual_network_gateway VpnGw1 @ $0.1900/hr"),
        ("azurerm_vpn_gateway", {"sku": {"name": "VpnGw2"}}, [], 138.7, "azurerm_vpn_gateway VpnGw2 @ $0.1900/hr"),
        ("azurerm_express_route_circuit", {"sku": {"tier": "Standard"}},
         [("azure", "azurerm_express_route_circuit", "base", {H: 0.0753})], 54.97,
         "azurerm_express_route_circuit VpnGw1 @ $0.0753/hr"),
        ("azurerm_bastion_host", {}, [], 138.7, "Azure Bastion Basic @ $0.1900/hr"),
        ("azurerm_nat_gateway", {}, [], 32.85, "Azure NAT Gateway @ $0.0450/hr"),
        ("azurerm_spring_cloud_service", {}, [], 146.0, "Spring Apps Standard @ $0.2000/hr"),
        ("azurerm_spring_cloud_service", {"sku_name": "", "sku": "E0"}, [], 146.0, "Spring Apps E0 @ $0.2000/hr"),
        # Managed SQL servers
        ("azurerm_mssql_elasticpool", {"sku": {"name": "StandardPool", "capacity": 50}},
         [("azure", "azurerm_mssql_elasticpool", "StandardPool", {H: 0.1509})], 110.16,
         "azurerm_mssql_elasticpool StandardPool @ $0.1509/hr"),
        ("azurerm_mariadb_server", {}, [], 137.97, "azurerm_mariadb_server base @ $0.1890/hr"),
        ("azurerm_sql_managed_instance", {"sku": {"tier": "x"}}, [], 137.97, "azurerm_sql_managed_instance base @ $0.1890/hr"),
        # Kusto clusters: the SKU map gives name and capacity.
        ("azurerm_kusto_cluster", {"sku": {"name": "Dev(No SLA)_Standard_E2a_v4", "capacity": 1}}, [], 262.8,
         "1x Kusto Dev(No SLA)_Standard_E2a_v4 @ $0.3600/hr"),
        ("azurerm_kusto_cluster", {"sku": {"capacity": 4}}, [], 1051.2, "4x Kusto Standard_D11_v2 @ $0.3600/hr"),
        ("azurerm_kusto_cluster", {"sku": {"name": "", "capacity": "many"}}, [], 525.6,
         "2x Kusto Standard_D11_v2 @ $0.3600/hr"),
        ("azurerm_kusto_cluster", {"sku_name": "Standard_E8ads_v5"}, [], 525.6, "2x Kusto Standard_E8ads_v5 @ $0.3600/hr"),
        ("azurerm_machine_learning_workspace", {}, [], 0.0, "Azure ML Workspace Basic (compute billed separately)"),
        ("azurerm_machine_learning_workspace", {"sku_name": "Enterprise"},
         [("azure", "azurerm_machine_learning_workspace", "base", {H: 1.0})], 730.0,
         "Azure ML Workspace Enterprise (compute billed separately)"),
        # Real-time messaging and maps: hourly with a positive hourly price, else per request.
        ("azurerm_signalr_service", {}, [], 0.23, "azurerm_signalr_service 1.0M msgs @ $0.2250/M"),
        ("azurerm_signalr_service", {"sku": {"name": "Standard_S1"}}, [("azure", "azurerm_signalr_service", "base", {H: 0.0671})],
         48.98, "azurerm_signalr_service base @ $0.0671/hr"),
        ("azurerm_relay_namespace", {"sku_name": "Standard", "tags": {"tally_million_requests": 4}},
         [("azure", "azurerm_relay_namespace", "Standard", {H: 0.0, M: 1.0})], 4.0,
         "azurerm_relay_namespace 4.0M msgs @ $1.0000/M"),
        ("azurerm_maps_account", {}, [], 4.5, "azurerm_maps_account 1.0M reqs @ $4.5000/M"),
        ("azurerm_healthcare_service", {}, [("azure", "azurerm_healthcare_service", "base", {H: 0.274})], 200.02,
         "azurerm_healthcare_service @ $0.2740/hr"),
        # File shares
        ("azurerm_storage_share", {}, [], 6.0, "Azure Files 100GB (Transaction Optimized) @ $0.0600/GB-mo"),
        ("azurerm_storage_share", {"access_tier": "Cool", "quota": "1024"}, [("azure", "azurerm_storage_share", "Cool", {GBM: 0.015})],
         15.36, "Azure Files 1024GB (Cool) @ $0.0150/GB-mo"),
        ("azurerm_private_endpoint", {}, [], 7.3, "Private Endpoint @ $0.0100/hr"),
    ],
)
def test_azure_families(estimate, rtype, props, rows, cost, basis):
    result = estimate("azure", rtype, props, rows)
    assert (result["monthly_cost"], result["basis"], result["details"]) == (cost, basis, {})


@pytest.mark.parametrize("provider", ["azure", "azurerm"])
def test_azure_rates_are_looked_up_under_azure(estimate, provider):
    rows = [("azure", "azurerm_linux_virtual_machine", "Standard_B2s", {H: 0.0477}, "westeurope")]
    result = estimate(provider, "azurerm_linux_virtual_machine", {"location": "West Europe"}, rows)
    assert (result["region"], result["monthly_cost"]) == ("westeurope", 34.82)
    assert result["basis"] == "Standard_B2s @ $0.0477/hr [westeurope]"


@pytest.fixture(scope="module")
def rk(tmp_path_factory):
    from tally_warden.reckoner import Reckoner

    return Reckoner(str(tmp_path_factory.mktemp("store") / "pricing.db"))


# NetApp Files bills a capacity pool's provisioned size by service level, per GiB-hour: Standard
# $0.000202, Premium $0.000403, Ultra $0.000538 (learn.microsoft.com/azure/azure-netapp-files/
# azure-netapp-files-cost-model, read 2026-12-08): 4 TiB Premium is 4,096 GiB x 730 h x $0.000403
# = $1,205.00. Flexible has no listed price and takes the default rate, which the cost source reports.
@pytest.mark.parametrize(
    "rtype, props, cost, basis, source",
    [
        ("azurerm_netapp_pool", {"service_level": "Premium", "size_in_tb": 4}, 1205.0,
         "NetApp Files Premium pool 4 TiB @ $0.2942/GiB-mo", ("rule", False)),
        ("azurerm_netapp_pool", {"service_level": "Premium", "size_in_tb": 1}, 301.25, "pool 1 TiB", ("rule", False)),
        ("azurerm_netapp_pool", {"service_level": "Standard", "size_in_tb": 4}, 604.0,
         "NetApp Files Standard pool 4 TiB @ $0.1475/GiB-mo", ("rule", False)),
        ("azurerm_netapp_pool", {"service_level": "Ultra", "size_in_tb": 2}, 804.33, "Ultra pool 2 TiB", ("rule", False)),
        ("azurerm_netapp_pool", {"service_level": "Flexible", "size_in_tb": 4}, 1205.0,
         "(no Flexible price: default rate)", ("rule", True)),
        # Volumes, snapshots and the account bill through the pool.
        ("azurerm_netapp_volume", {"storage_quota_in_gb": 100}, 0.0, "Billed through its capacity pool", ("free-catalog", False)),
        ("azurerm_netapp_account", {}, 0.0, "Billed through its capacity pools", ("free-catalog", False)),
        ("azurerm_netapp_snapshot", {}, 0.0, "Counts against its volume's quota", ("free-catalog", False)),
        # Key Vault: software keys have no monthly charge; HSM keys and certificate renewals
        # carry no listed price, so the family's default rates apply, reported as such.
        ("azurerm_key_vault_key", {"key_type": "RSA", "key_size": 2048}, 0.0, "software-protected, no monthly charge",
         ("rule", False)),
        ("azurerm_key_vault_key", {"key_type": "RSA-HSM", "key_size": 2048}, 1.0, "HSM-protected key (RSA-HSM 2048)",
         ("rule", True)),
        ("azurerm_key_vault_key", {"key_type": "EC-HSM", "curve": "P-256"}, 5.0, "HSM-protected key (EC-HSM)", ("rule", True)),
        ("azurerm_key_vault_certificate", {}, 0.25, "0.08 renewals/mo @ $3.00/renewal", ("rule", True)),
        ("azurerm_key_vault_certificate", {"tally_renewals": 2}, 6.0, "2.00 renewals/mo", ("rule", True)),
        # Sentinel watchlists are stored in the workspace's Watchlist table (Microsoft's article
        # docs.azure.cn/en-us/sentinel/watchlists, read 2026-12-08): they bill as its ingestion.
        ("azurerm_sentinel_watchlist_item", {}, 0.0, "billed through the workspace's data ingestion",
         ("free-catalog", False)),
        # Load balancer rules: within the load balancer's charge for its first five.
        ("azurerm_lb_nat_rule", {}, 0.0, "hourly charge for the first five rules", ("rule", False)),
        ("azurerm_lb_rule", {}, 0.0, "(rules beyond five not priced)", ("rule", False)),
    ],
)
def test_pools_keys_and_children(rk, rtype, props, cost, basis, source):
    from tally_warden.reckoner import _cost_source

    record = {"provider": "azurerm", "type": rtype, "name": "n", "properties": {"location": "eastus", **props}}
    got = rk.estimate_resource_cost(record)
    assert (got["monthly_cost"], basis in got["basis"]) == (pytest.approx(cost, abs=0.01), True), got["basis"]
    assert _cost_source(rk, record) == source


# Microsoft's cost model, example 2 (page above): a 24 TiB pool costs $9,519.76 for 720 hours of
# Ultra, $238.29 for 48 hours of Standard and $1,188.50 for 120 hours of Premium; the family's
# monthly cost is for 730 hours.
@pytest.mark.parametrize("level, hours, published", [("Ultra", 720, 9519.76), ("Standard", 48, 238.29),
                                                     ("Premium", 120, 1188.50)])
def test_netapp_pool_matches_the_published_example(rk, level, hours, published):
    record = {"provider": "azurerm", "type": "azurerm_netapp_pool", "name": "n",
              "properties": {"location": "eastus", "service_level": level, "size_in_tb": 24}}
    monthly = rk.estimate_resource_cost(record)["monthly_cost"]
    assert monthly * hours / 730 == pytest.approx(published, rel=0.001)
