// Rule families of Azure-only resource types. SKU properties arrive as text or, from JSON
// inputs, as a map whose `name` (or `size`) key holds the SKU.
#include <cmath>

#include "core/pytext.h"
#include "core/reckoner/family_props.h"
#include "core/reckoner/frame.h"

namespace tw::reckon {

namespace {

// The text under `key` of a map when present (even empty), else `def`.
std::string text_in(const Map &m, std::string_view key, std::string_view def) {
    const Value *v = m.find(key);
    return v && v->is_str() ? v->as_str() : std::string(def);
}

// *p1 or p2 or ... or D* over SKU properties: a map yields its `name` (else `def`).
std::string sku_of(const Ctx &c, std::initializer_list<std::string_view> names, std::string_view def) {
    for (auto n : names) {
        const Value *v = c.prop(n);
        if (!v || !v->truthy()) continue;
        if (v->is_map()) return text_in(v->as_map(), "name", def);
        if (v->is_str()) return v->as_str();
    }
    return std::string(def);
}

void hourly_basis(Ctx &c, double rate, const std::string &opening) {
    c.hourly(rate);
    c.basis = opening + " @ $" + f(rate, 4) + "/hr";
}

void app_service_plan(Ctx &c) {
    const Value *s = c.prop("sku_name");
    if (!s || !s->truthy() || !s->is_str()) s = c.prop("sku");
    std::string sku = "S1";
    if (s && s->is_map()) {
        sku = text_in(s->as_map(), "size", "S1");
    } else if (s && s->is_str()) {
        sku = s->as_str();
    }
    if (sku.empty()) sku = "S1";
    hourly_basis(c, c.look_up(sku).get(PER_HOUR, 0.1), "App Service " + sku);
}

void per_execution_service(Ctx &c) {
    double price = c.look_up_base().get(PER_MILLION_REQUESTS, 0.5);
    double executions = c.number("tally_million_requests", 1.0);
    c.cost = executions * price;
    c.basis = f(executions, 0) + "M executions @ $" + f(price, 2) + "/M";
}

void search_service(Ctx &c) {
    std::string sku = c.key_of({"sku"}, "standard");
    hourly_basis(c, c.look_up(sku).get(PER_HOUR, 0.101), "Azure Search (" + sku + ")");
}

void iot_hub(Ctx &c) {
    const Value *s = c.prop("sku");
    std::string sku = s && s->is_map() ? text_in(s->as_map(), "name", "S1") : c.text("sku", "S1");
    hourly_basis(c, c.look_up(sku).get(PER_HOUR, 0.25), "IoT Hub " + sku);
}

void stream_analytics(Ctx &c) {
    int64_t units = c.integer("streaming_units", 3);
    double rate = c.look_up_base().get(PER_HOUR, 0.11);
    c.hourly(rate, double(units));
    c.basis = "Stream Analytics " + std::to_string(units) + " SUs @ $" + f(rate, 4) + "/hr each";
}

// A dedicated SQL pool, by its DWU level; the workspace itself has no charge.
void synapse_sql_pool(Ctx &c) {
    std::string sku = c.key_of({"sku_name", "sql_pool_sku_name"}, "DW100c");
    hourly_basis(c, c.look_up(sku).get(PER_HOUR, 1.51), "Synapse " + sku);
}

void log_ingestion(Ctx &c) {
    double gb = c.hint("gb_ingested", 5);
    std::string sku = c.key_of({"sku"}, "PerGB2018");
    double rate = c.look_up(sku).get(PER_GB_MONTH, 2.3);
    c.cost = gb * rate;
    c.basis = f(gb, 0) + "GB log data @ $" + f(rate, 4) + "/GB-mo";
}

void network_gateway(Ctx &c) {
    std::string sku = sku_of(c, {"sku", "sku_name"}, "VpnGw1");
    hourly_basis(c, c.look_up(sku).get(PER_HOUR, 0.19), std::string(c.type) + " " + sku);
}

void bastion_host(Ctx &c) {
    std::string sku = c.text("sku", "Basic");
    hourly_basis(c, c.look_up(sku).get(PER_HOUR, 0.19), "Azure Bastion " + sku);
}

void nat_gateway(Ctx &c) { hourly_basis(c, c.look_up_base().get(PER_HOUR, 0.045), "Azure NAT Gateway"); }

void spring_apps(Ctx &c) {
    std::string sku = c.key_of({"sku_name"}, "");
    if (sku.empty()) sku = c.text("sku", "Standard");
    hourly_basis(c, c.look_up(sku).get(PER_HOUR, 0.2), "Spring Apps " + sku);
}

void managed_sql_server(Ctx &c) {
    std::string sku = sku_of(c, {"sku_name", "sku"}, "base");
    hourly_basis(c, c.look_up(sku).get(PER_HOUR, 0.189), std::string(c.type) + " " + sku);
    // A managed instance's row is the price of its smallest size, 4 vCores; vCores bill alike.
    if (c.type == "azurerm_sql_managed_instance" || c.type == "azurerm_mssql_managed_instance") {
        double vcores = block_number(c, "", {"vcores"}).value_or(4);
        if (vcores > 0 && vcores != 4) {
            c.cost *= vcores / 4;
            c.basis += " x " + f(vcores, 0) + "/4 vCores";
        }
    }
}

void kusto_cluster(Ctx &c) {
    std::string sku;
    int64_t capacity = 2;
    if (const Value *s = c.prop("sku"); s && s->is_map()) {
        sku = text_in(s->as_map(), "name", "");
        if (const Value *cap = s->as_map().find("capacity"))
            if (auto i = to_integer(*cap)) capacity = *i;
    } else {
        sku = c.text("sku_name", "Standard_D11_v2");
    }
    if (sku.empty()) sku = "Standard_D11_v2";
    double rate = c.look_up(sku).get(PER_HOUR, 0.36);
    c.hourly(rate, double(capacity));
    c.basis = std::to_string(capacity) + "x Kusto " + sku + " @ $" + f(rate, 4) + "/hr";
}

void machine_learning_workspace(Ctx &c) {
    std::string sku = c.text("sku_name", "Basic");
    c.hourly(c.look_up(sku).get(PER_HOUR, 0.0));
    c.basis = "Azure ML Workspace " + sku + " (compute billed separately)";
}

void realtime_messaging(Ctx &c) {
    std::string sku = c.key_of({"sku", "sku_name"}, "base");
    Rates r = c.look_up(sku);
    if (r.positive_hourly()) {
        hourly_basis(c, r.get(PER_HOUR, 0.067), std::string(c.type) + " " + sku);
    } else {
        double millions = c.hint("million_requests", 1.0);
        double rate = r.get(PER_MILLION_REQUESTS, 0.225);
        c.cost = millions * rate;
        c.basis = std::string(c.type) + " " + f(millions, 1) + "M msgs @ $" + f(rate, 4) + "/M";
    }
}

void maps_and_health(Ctx &c) {
    std::string sku = c.key_of({"sku_name"}, "base");
    Rates r = c.look_up(sku);
    if (r.positive_hourly()) {
        hourly_basis(c, r.get(PER_HOUR, 0.274), std::string(c.type));
    } else {
        double millions = c.hint("million_requests", 1.0);
        double price = r.get(PER_MILLION_REQUESTS, 4.5);
        c.cost = millions * price;
        c.basis = std::string(c.type) + " " + f(millions, 1) + "M reqs @ $" + f(price, 4) + "/M";
    }
}

void file_share(Ctx &c) {
    std::string tier = c.text("access_tier", "Transaction Optimized");
    double quota_gb = c.number("quota", 100);
    double rate = c.look_up(tier).get(PER_GB_MONTH, 0.06);
    c.cost = quota_gb * rate;
    c.basis = "Azure Files " + f(quota_gb, 0) + "GB (" + tier + ") @ $" + f(rate, 4) + "/GB-mo";
}

void private_endpoint(Ctx &c) { hourly_basis(c, c.look_up_base().get(PER_HOUR, 0.01), "Private Endpoint"); }


// The successor of the app service plan, priced like it by `sku_name` through the app service
// plan prices; those are Windows prices, so a Linux plan (the default `os_type`) says so.
void service_plan(Ctx &c) {
    Ctx plan{c.provider, "azurerm_app_service_plan", c.props, c.region, c.source, 0.0, "No price mapped", {}};
    app_service_plan(plan);
    c.cost = plan.cost;
    c.basis = plan.basis;
    c.absorb(plan);
    if (pytext::lower(c.key_of({"os_type"}, "Linux")).rfind("windows", 0) != 0) c.basis += " (Windows price)";
}

// Scale sets and node pools (Batch pools too): instances × VM size through the VM prices.
void scale_set(Ctx &c) {
    std::string note;
    // `sku` is text, or (the older scale set) a block whose `name` is the size.
    std::string sku;
    // A Batch pool's `sku` is its image's (storage_image_reference); its size is `vm_size`.
    if (c.type == "azurerm_batch_pool") sku = first_text(c.first_of({"vm_size"})).value_or("");
    else if (const Value *v = inside(c, "sku", "name"); v && v->is_str()) sku = v->as_str();
    if (sku.empty() && c.type != "azurerm_batch_pool") sku = first_text(c.first_of({"sku", "vm_size"})).value_or("");
    if (sku.empty()) {
        sku = "Standard_B2s";
        note = " (default size)";
    }
    double count;
    if (c.type == "azurerm_machine_learning_compute_cluster") {
        count = block_number(c, "scale_settings", {"min_node_count"}).value_or(0);
    } else if (c.type == "azurerm_batch_pool") {
        // Dedicated nodes of a fixed-scale pool (default 1); an auto-scale formula is not
        // evaluated, and low-priority nodes bill at another rate.
        std::optional<double> fixed = block_number(c, "fixed_scale", {"target_dedicated_nodes"});
        count = fixed.value_or(1);
        if (!fixed && inside(c, "auto_scale", "formula")) note += " (auto-scale formula not evaluated: 1 node)";
        if (block_number(c, "fixed_scale", {"target_low_priority_nodes"}).value_or(0) > 0)
            note += " (low-priority nodes not priced)";
    } else {
        count = block_number(c, "sku", {"instances", "node_count", "min_count", "capacity"}).value_or(1);
    }
    bool windows = c.type == "azurerm_windows_virtual_machine_scale_set" ||
                   pytext::lower(c.key_of({"os_type"}, "")) == "windows" ||
                   pytext::lower(c.key_of({"node_agent_sku_id"}, "")).find("windows") != std::string::npos;
    price_instances(c, windows ? "azurerm_windows_virtual_machine" : "azurerm_linux_virtual_machine", sku, count,
                    note);
}

// Databricks bills DBUs of the clusters a workspace runs (hint dbu_hours, default 0) at the
// rate of its tier; the workspace itself has no charge.
void databricks_workspace(Ctx &c) {
    std::string sku = pytext::lower(c.key_of({"sku"}, "standard"));
    double dbu_hours = c.hint("dbu_hours", 0);
    if (!countable(dbu_hours)) dbu_hours = 0;
    double rate = c.look_up(sku).get(PER_HOUR, sku == "premium" ? 0.55 : 0.4);
    c.cost = dbu_hours * rate;
    c.basis = "Databricks workspace (" + sku + ") " + grouped(dbu_hours) + " DBU-hours @ $" + f(rate, 4) + "/DBU-hr";
}

// Data Factory bills orchestration per activity run (hint activity_runs, default 1,000) on the
// Azure integration runtime; data movement and data flows are not priced.
void data_factory(Ctx &c) {
    double runs = c.hint("activity_runs", 1000);
    if (!countable(runs)) runs = 1000;
    double per_1000 = c.look_up_base().get(PER_REQUEST, 0.001) * 1000;
    c.cost = runs / 1000 * per_1000;
    c.basis = "Data Factory " + grouped(runs) + " activity runs @ $" + f(per_1000, 2) + "/1,000 runs";
}

// Key Vault has no monthly fee: operations bill per 10,000 (hint operations, default 10,000).
void key_vault(Ctx &c) {
    double ops = c.hint("operations", 10000);
    if (!countable(ops)) ops = 10000;
    std::string sku = pytext::lower(c.key_of({"sku_name"}, "standard"));
    double per_10k = c.look_up(sku).get(PER_REQUEST, 0.000003) * 10000;
    c.cost = ops / 10000 * per_10k;
    c.basis = "Key Vault (" + sku + ") " + grouped(ops) + " operations @ $" + f(per_10k, 4) + "/10,000";
}

// A NetApp Files capacity pool bills its provisioned size (`size_in_tb` TiB, default 4) at its
// service level's price per GiB-month; volumes, snapshots and the account bill through it.
void netapp_pool(Ctx &c) {
    std::string level = c.key_of({"service_level"}, "Premium");
    double tib = c.number_of({"size_in_tb"}, 4);
    if (!countable(tib)) tib = 4;
    Rates r = c.rate(level);
    double rate = r.get(PER_GB_MONTH, 0.29419);
    c.cost = tib * 1024 * rate;
    c.basis = "NetApp Files " + level + " pool " + (tib == std::floor(tib) ? f(tib, 0) : plain(tib)) + " TiB @ $" +
              f(rate, 4) + "/GiB-mo";
    if (!r.has(PER_GB_MONTH)) c.basis += " (no " + level + " price: default rate)";
}

// Key Vault keys: a software-protected key has no monthly charge (its operations bill through
// the vault); an HSM-protected key (key_type RSA-HSM, EC-HSM, oct-HSM) bills per key-month, an
// RSA 2048-bit key at row "hsm-rsa2048", any other at "hsm" (first 250 keys of a vault).
void key_vault_key(Ctx &c) {
    std::string kind = c.key_of({"key_type"}, "RSA");
    if (pytext::lower(kind).find("hsm") == std::string::npos) {
        c.basis = "Key Vault key (" + kind + "): software-protected, no monthly charge";
        return;
    }
    double bits = c.number_of({"key_size"}, 2048);
    bool rsa2048 = pytext::lower(kind).rfind("rsa", 0) == 0 && bits <= 2048;
    double rate = c.rate(rsa2048 ? "hsm-rsa2048" : "hsm").get(PER_HOUR, rsa2048 ? 1.0 / 730 : 5.0 / 730);
    c.hourly(rate);
    c.basis = "Key Vault HSM-protected key (" + kind + (rsa2048 ? " 2048" : "") + ") @ $" +
              f(rate * DEFAULT_MONTHLY_HOURS, 2) + "/key-month";
}

// Key Vault certificates: renewal requests (hint renewals, default one a year) at the price per
// renewal; storage and operations bill through the vault.
void key_vault_certificate(Ctx &c) {
    double renewals = c.hint("renewals", 1.0 / 12);
    if (!countable(renewals)) renewals = 1.0 / 12;
    double price = c.look_up_base().get(PER_REQUEST, 3.0);
    c.cost = renewals * price;
    c.basis = "Key Vault certificate " + f(renewals, 2) + " renewals/mo @ $" + f(price, 2) + "/renewal";
}

// Load-balancing, outbound and inbound NAT rules of a load balancer: within its hourly charge,
// which covers its first five rules; rules beyond five bill per rule-hour and are not priced.
void lb_rule(Ctx &c) {
    c.basis = "Load balancer rule: within its load balancer's hourly charge for the first five rules"
              " (rules beyond five not priced)";
}

// Throughput units (`capacity`, default 1) of the namespace's tier; a tier without a price
// (an unresolved `sku`) is priced at the cheapest tier, Basic, and the basis says so.
void eventhub_namespace(Ctx &c) {
    std::string sku = c.key_of({"sku"}, "");
    Rates r = sku.empty() ? Rates{} : c.rate(sku);
    std::string note;
    if (!r.positive_hourly()) {
        note = " (" + (sku.empty() ? std::string("SKU not read") : "no price for " + sku) + ": cheapest tier)";
        sku = "Basic";
        r = c.rate(sku);
    }
    double rate = r.get(PER_HOUR, 0.015);
    double units = block_number(c, "", {"capacity"}).value_or(1);
    if (units < 1) units = 1;
    c.hourly(rate, units);
    c.basis = "Messaging (" + sku + ") @ $" + f(rate, 4) + "/hr" + (units != 1 ? " x " + f(units, 0) + " TUs" : "") + note;
}

std::string public_ip_sku(const Ctx &c) { return sku_of(c, {"sku"}, "Standard"); }
std::string lower_sku(const Ctx &c) { return lower_text(c, {"sku", "sku_name"}, "free"); }
std::string frontdoor_sku(const Ctx &c) { return c.key_of({"sku_name"}, "Standard_AzureFrontDoor"); }

}  // namespace

void add_azure_families(FamilyTable &t) {
    add_family(t, {"azurerm_app_service_plan"}, app_service_plan);
    add_family(t, {"azurerm_logic_app_workflow", "azurerm_cognitive_account"}, per_execution_service);
    add_family(t, {"azurerm_search_service"}, search_service);
    add_family(t, {"azurerm_iothub"}, iot_hub);
    add_family(t, {"azurerm_stream_analytics_job"}, stream_analytics);
    add_family(t, {"azurerm_synapse_sql_pool"}, synapse_sql_pool);
    add_family(t, {"azurerm_log_analytics_workspace", "azurerm_application_insights"}, log_ingestion);
    add_family(t, {"azurerm_virtual_network_gateway", "azurerm_vpn_gateway", "azurerm_express_route_circuit"},
               network_gateway);
    add_family(t, {"azurerm_bastion_host"}, bastion_host);
    add_family(t, {"azurerm_nat_gateway"}, nat_gateway);
    add_family(t, {"azurerm_spring_cloud_service"}, spring_apps);
    add_family(t,
               {"azurerm_mariadb_server", "azurerm_sql_managed_instance", "azurerm_mssql_managed_instance",
                "azurerm_mssql_elasticpool"},
               managed_sql_server);
    add_family(t, {"azurerm_kusto_cluster"}, kusto_cluster);
    add_family(t, {"azurerm_machine_learning_workspace"}, machine_learning_workspace);
    add_family(t, {"azurerm_signalr_service", "azurerm_relay_namespace", "azurerm_digital_twins_instance"},
               realtime_messaging);
    add_family(t, {"azurerm_maps_account", "azurerm_healthcare_service"}, maps_and_health);
    add_family(t, {"azurerm_storage_share"}, file_share);
    add_family(t, {"azurerm_private_endpoint"}, private_endpoint);
    add_family(t, {"azurerm_databricks_workspace"}, databricks_workspace);
    add_family(t, {"azurerm_data_factory"}, data_factory);
    add_family(t, {"azurerm_key_vault"}, key_vault);
    add_family(t, {"azurerm_key_vault_key"}, key_vault_key);
    add_family(t, {"azurerm_key_vault_certificate"}, key_vault_certificate);
    add_family(t, {"azurerm_netapp_pool"}, netapp_pool);
    add_family(t, {"azurerm_lb_rule", "azurerm_lb_outbound_rule", "azurerm_lb_nat_rule", "azurerm_lb_nat_pool"}, lb_rule);
    add_family(t, {"azurerm_eventhub_namespace"}, eventhub_namespace);
    add_monthly_fee(t, "azurerm_network_ddos_protection_plan", {"DDoS Network Protection plan", nullptr, nullptr, 2944.0});

    add_family(t, {"azurerm_service_plan"}, service_plan);
    add_family(t,
               {"azurerm_virtual_machine_scale_set", "azurerm_linux_virtual_machine_scale_set",
                "azurerm_windows_virtual_machine_scale_set", "azurerm_orchestrated_virtual_machine_scale_set",
                "azurerm_kubernetes_cluster_node_pool", "azurerm_machine_learning_compute_cluster", "azurerm_batch_pool"},
               scale_set);
    add_hourly_unit(t, "azurerm_public_ip", {"Public IP", public_ip_sku, nullptr, 0.005});
    add_hourly_unit(t, "azurerm_virtual_hub", {"Virtual WAN hub", nullptr, nullptr, 0.25});
    add_monthly_fee(t, "azurerm_app_configuration", {"App Configuration", lower_sku, nullptr, 0.0});
    add_monthly_fee(t, "azurerm_cdn_frontdoor_profile", {"Front Door", frontdoor_sku, nullptr, 35.0});
    add_monthly_fee(t, "azurerm_monitor_metric_alert", {"Metric alert time series", nullptr, nullptr, 0.10});
    for (const char *type : {"azurerm_eventgrid_topic", "azurerm_eventgrid_domain", "azurerm_eventgrid_system_topic"})
        add_metered_usage(t, type, {"Event Grid operations", nullptr, PER_MILLION_REQUESTS, 0.60, "million_requests", 1, "M"});
}

}  // namespace tw::reckon
