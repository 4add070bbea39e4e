// Rule families shared by AWS, Azure and Google Cloud types.
#include <cmath>

#include "core/pytext.h"
#include "core/reckoner/family_props.h"
#include "core/reckoner/frame.h"

namespace tw::reckon {

namespace {

bool contains_any(const std::string &s, std::initializer_list<const char *> parts) {
    for (const char *p : parts)
        if (s.find(p) != std::string::npos) return true;
    return false;
}

// vCPUs implied by the size part of an AWS-style instance type ("family.size"): large 2,
// xlarge 4, Nxlarge 4N, metal-Nxl 4N and a bare metal size as 24xlarge, the size most bare-metal
// types match; 0 for other names.
double size_vcpus(std::string_view lower) {
    size_t dot = lower.rfind('.');
    if (dot == std::string_view::npos) return 0;
    std::string_view size = lower.substr(dot + 1);
    if (size == "metal") return 96;
    if (size == "large") return 2;
    if (size == "xlarge") return 4;
    if (size.starts_with("metal-") && size.ends_with("xl") && size.size() > 8) size = size.substr(6, size.size() - 8);
    else if (size.ends_with("xlarge")) size.remove_suffix(6);
    else return 0;
    double n = 0;
    for (char ch : size) {
        if (ch < '0' || ch > '9' || n > 1e6) return 0;
        n = n * 10 + (ch - '0');
    }
    return 4 * n;
}

// Hourly price by the size words of an instance type, when no price is stored: sizes that
// imply a vCPU count scale the "large" rate ($0.192 for 2 vCPUs) with it.
double size_group_rate(std::string_view instance_type) {
    std::string lower = pytext::lower(instance_type);
    if (double vcpus = size_vcpus(lower); vcpus > 0) return 0.096 * vcpus;
    if (contains_any(lower, {"large", "d4", "2xlarge"})) return 0.192;
    if (contains_any(lower, {"medium", "d2", "xlarge"})) return 0.096;
    if (contains_any(lower, {"micro", "nano", "b1"})) return 0.0104;
    return 0.0416;
}

std::string default_instance_type(std::string_view provider) {
    if (provider == "azure") return "Standard_B2s";
    if (provider == "google" || provider == "gcp") return "e2-medium";
    return "t3.micro";
}

// One instance of `size`: the stored rate, else the size-group estimate.
void price_vm(Ctx &c, const std::string &size) {
    Rates r = c.rate(size);
    if (!r.empty()) {
        double rate = r.get(PER_HOUR, 0.0);
        c.hourly(rate);
        std::string where = c.other_region.empty() ? " [" + std::string(c.region) + "]" : c.fallback_note();
        c.basis = size + " @ $" + f(rate, 4) + "/hr" + where;
    } else {
        double rate = size_group_rate(size);
        c.hourly(rate);
        c.basis = size + " (estimated) @ $" + f(rate, 4) + "/hr";
    }
}

// The EBS volumes an instance declares with a size: `root_block_device` and
// `ebs_block_device` blocks (CloudFormation: `BlockDeviceMappings` entries' `Ebs`), each
// priced like an EBS volume of its type.
void instance_volumes(Ctx &c) {
    std::vector<const Map *> volumes;
    auto add = [&](const Value *block, const char *inner) {
        if (!block) return;
        auto one = [&](const Value &v) {
            if (!v.is_map()) return;
            const Map *m = &v.as_map();
            if (inner) {
                const Value *e = m->find(inner);
                m = e && e->is_map() ? &e->as_map() : nullptr;
            }
            if (m) volumes.push_back(m);
        };
        if (block->is_list())
            for (const Value &v : block->as_list()) one(v);
        else one(*block);
    };
    add(block_value(c.props, "root_block_device"), nullptr);
    add(block_value(c.props, "ebs_block_device"), nullptr);
    add(block_value(c.props, "BlockDeviceMappings"), "Ebs");
    for (const Map *m : volumes) {
        std::optional<double> gb;
        for (const char *k : {"volume_size", "VolumeSize", "volumeSize"})
            if (const Value *v = m->find(k); !gb && v)
                if (auto d = to_double(*v); d && countable(*d)) gb = d;
        if (!gb) continue;
        std::string type = "base";
        for (const char *k : {"volume_type", "VolumeType", "volumeType"})
            if (const Value *v = m->find(k); type == "base" && v && v->is_str() && !v->as_str().empty())
                type = v->as_str();
        Ctx ebs{c.provider, "aws_ebs_volume", c.props, c.region, c.source, 0.0, "", {}};
        double rate = ebs.look_up(type).get(PER_GB_MONTH, 0.08);
        c.default_rate = c.default_rate || ebs.default_rate;
        c.cost += *gb * rate;
        c.basis += " + " + f(*gb, 0) + "GB " + type + " disk @ $" + f(rate, 4) + "/GB-mo";
    }
}

void virtual_machine(Ctx &c) {
    price_vm(c, c.key_of({"instance_type", "machine_type", "vm_size", "size"}, default_instance_type(c.provider)));
    if (c.type == "aws_instance") instance_volumes(c);
}

constexpr double kDatabaseStoragePerGbMonth = 0.115;

// What an RDS instance adds to the class price: the row of its engine and licence model, Multi-AZ,
// and its storage type. Rows: "<class>" (MySQL), "<engine>[-byol]/<class>", each optionally
// followed by "/multi-az"; storage "storage/<type>", "iops/<type>" and "throughput/gp3"
// (per GB-, IOPS- or MiBps-month). Without a row the MySQL price applies, and the note says so.
struct RdsPricing {
    Rates rates;
    double instance_factor = 1, storage_factor = 1;
    double storage_rate = kDatabaseStoragePerGbMonth;
    double extra_monthly = 0;  // provisioned IOPS and throughput
    std::string note;
};

bool flag_set(const Value *v) {
    if (!v) return false;
    if (v->is_str()) return pytext::lower(v->as_str()) == "true";
    return v->truthy();
}

RdsPricing rds_pricing(Ctx &c, const std::string &cls, double storage_gb) {
    RdsPricing p;
    std::string engine = pytext::lower(c.key_of({"engine", "Engine"}, "mysql"));
    bool byol = pytext::lower(c.key_of({"license_model", "LicenseModel"}, "")) == "bring-your-own-license";
    bool multi_az = flag_set(c.first_of({"multi_az", "MultiAZ"}));
    std::string key = engine == "mysql" ? cls : engine + (byol ? "-byol" : "") + "/" + cls;
    std::vector<std::string> notes;
    if (multi_az) {
        p.rates = c.rate(key + "/multi-az");
        p.storage_factor = 2;
        notes.push_back("Multi-AZ");
    }
    if (p.rates.empty()) {
        if (key != cls) p.rates = c.rate(key);
        if (p.rates.empty()) {
            p.rates = c.look_up(cls);
            if (key != cls) notes.push_back("estimated: " + key.substr(0, key.find('/')) + " at the MySQL price");
        }
        // AWS documents Multi-AZ as twice the Single-AZ price for MySQL, MariaDB and PostgreSQL.
        if (multi_az) {
            p.instance_factor = 2;
            if (engine != "mysql" && engine != "mariadb" && engine != "postgres") notes.front() = "Multi-AZ estimated";
        }
    }
    std::optional<double> iops = c.first_number({"iops", "Iops"});
    std::string type = pytext::lower(c.key_of({"storage_type", "StorageType"}, iops ? "io1" : "gp2"));
    if (type != "gp2") {
        Rates gb = c.rate("storage/" + type);
        std::string priced = type;
        if (gb.positive(PER_GB_MONTH)) p.storage_rate = gb.value[PER_GB_MONTH];
        else if (type != "gp3") notes.push_back(type + " storage estimated");
        // gp3 includes 3,000 IOPS and 125 MiB/s (12,000 and 500 from 400 GB, except SQL Server).
        bool large = storage_gb >= 400 && engine.rfind("sqlserver", 0) != 0;
        double billed_iops = iops ? *iops - (type == "gp3" ? (large ? 12000 : 3000) : 0) : 0;
        if (billed_iops > 0) {
            Rates r = c.rate("iops/" + type);
            if (r.positive(PER_GB_MONTH)) {
                p.extra_monthly += billed_iops * r.value[PER_GB_MONTH];
                priced += ", " + grouped(billed_iops) + " IOPS @ $" + f(r.value[PER_GB_MONTH], 4) + "/IOPS-mo";
            } else {
                notes.push_back(grouped(billed_iops) + " IOPS not priced");
            }
        }
        if (gb.positive(PER_GB_MONTH)) notes.push_back(priced);
        if (auto mbps = c.first_number({"storage_throughput", "StorageThroughput"}); mbps && type == "gp3") {
            double billed = *mbps - (large ? 500 : 125);
            Rates r = billed > 0 ? c.rate("throughput/gp3") : Rates{};
            if (r.positive(PER_GB_MONTH)) p.extra_monthly += billed * r.value[PER_GB_MONTH];
            else if (billed > 0) notes.push_back(f(billed, 0) + " MiB/s not priced");
        }
    }
    p.extra_monthly *= p.storage_factor;
    for (const auto &n : notes) p.note += " (" + n + ")";
    return p;
}

void database_instance(Ctx &c) {
    std::string cls = c.key_of({"instance_class", "tier", "sku_name", "sku"}, "base");
    double storage_gb;
    if (auto gb = c.first_number({"allocated_storage", "max_size_gb"})) {
        storage_gb = *gb;
    } else {
        double from_mb = c.number("storage_mb", 0) / 1024;
        storage_gb = from_mb != 0 ? from_mb : 20;
    }
    RdsPricing p;
    if (c.type == "aws_db_instance") p = rds_pricing(c, cls, storage_gb);
    else p.rates = c.look_up(cls);
    double rate = p.rates.get(PER_HOUR, 0.034) * p.instance_factor;
    double instance_monthly = rate * DEFAULT_MONTHLY_HOURS;
    double storage_monthly = storage_gb * p.storage_rate * p.storage_factor + p.extra_monthly;
    c.cost = instance_monthly + storage_monthly;
    c.basis = cls + " @ $" + f(rate, 4) + "/hr + " + f(storage_gb, 0) + "GB" + p.note;
    c.details.set("compute_monthly", Value(pytext::round2(instance_monthly)));
    c.details.set("storage_monthly", Value(pytext::round2(storage_monthly)));
}

void database_cluster(Ctx &c) {
    double rate = c.look_up_base().get(PER_HOUR, 0.2);
    c.hourly(rate);
    c.basis = "Database Cluster/Server @ $" + f(rate, 4) + "/hr";
}

void function(Ctx &c) {
    double requests = c.hint("requests_per_month", 1000000);
    double execution_ms = c.hint("execution_ms", 200);
    double memory_mb = 512;
    if (auto mb = c.first_number({"memory_size", "memory_mb"})) {
        memory_mb = *mb;
    } else if (const Map *tags = c.tags()) {
        if (const Value *v = tags->find("tally_memory_size"); v && v->truthy())
            if (auto d = to_double(*v)) memory_mb = *d;
    }
    Rates r = c.look_up_base();
    double request_price = r.get(PER_MILLION_REQUESTS, 0.2);
    double gb_second_price = r.get(PER_GB_SECOND, 0.0000166667);
    double request_cost = requests / 1000000 * request_price;
    double gb_seconds = (execution_ms / 1000) * requests * (memory_mb / 1024);
    double duration_cost = gb_seconds * gb_second_price;
    c.cost = request_cost + duration_cost;
    c.basis = grouped(requests) + " reqs, " + f(execution_ms, 0) + "ms, " + f(memory_mb, 0) + "MB (@ $" +
              f(request_price, 2) + "/M, $" + f(gb_second_price * 1000000, 2) + "/M GB-s)";
    c.details.set("requests_monthly", Value(requests));
    c.details.set("execution_ms", Value(execution_ms));
    c.details.set("memory_mb", Value(memory_mb));
    c.details.set("request_cost", Value(pytext::round2(request_cost)));
    c.details.set("duration_cost", Value(pytext::round2(duration_cost)));
}

void object_storage(Ctx &c) {
    double gb = c.hint("storage_gb", 100);
    std::string cls = c.key_of({"storage_class", "account_replication_type"}, "base");
    double rate = c.look_up(cls).get(PER_GB_MONTH, 0.023);
    c.cost = gb * rate;
    c.basis = f(gb, 0) + "GB " + cls + " @ $" + f(rate, 4) + "/GB";
}

void block_disk(Ctx &c) {
    std::string volume_type = c.key_of({"type", "disk_type", "storage_account_type"}, "base");
    double gb = c.number_of({"size", "disk_size_gb"}, 50);
    double rate = c.look_up(volume_type).get(PER_GB_MONTH, 0.08);
    c.cost = gb * rate;
    c.basis = f(gb, 0) + "GB " + volume_type + " disk @ $" + f(rate, 4) + "/GB-mo";
}

// The size and node count of a cluster's own default node pool, when it declares one: AKS
// `default_node_pool` (`node_count`, else `min_count`), GKE `node_config.machine_type` with
// `initial_node_count` unless `remove_default_node_pool` is set.
struct DefaultPool {
    std::string vm_type, size;
    double nodes = 0;
};

std::optional<DefaultPool> default_pool(const Ctx &c) {
    if (c.type == "azurerm_kubernetes_cluster") {
        // Pulumi keeps the block's keys in camel case.
        std::optional<std::string> size = first_text(in_block(c, "default_node_pool", "vm_size"));
        if (!size) size = first_text(in_block(c, "default_node_pool", "vmSize"));
        if (!size) return std::nullopt;
        double nodes =
            block_number(c, "default_node_pool", {"node_count", "min_count", "nodeCount", "minCount"}).value_or(1);
        return DefaultPool{"azurerm_linux_virtual_machine", *size, nodes};
    }
    if (c.type == "google_container_cluster") {
        const Value *removed = c.prop("remove_default_node_pool");
        if (removed && (removed->is_str() ? pytext::lower(removed->as_str()) == "true" : removed->truthy()))
            return std::nullopt;
        std::optional<std::string> size = first_text(in_block(c, "node_config", "machine_type"));
        std::optional<double> nodes = block_number(c, "", {"initial_node_count"});
        if (!size && !nodes) return std::nullopt;
        // initial_node_count is per zone, as for node pools.
        double zones = count_of_list(c, {"node_locations"}, 0);
        if (zones == 0) {
            std::string loc = c.key_of({"location"}, "");
            zones = !loc.empty() && loc.back() >= '0' && loc.back() <= '9' ? 3 : 1;
        }
        return DefaultPool{"google_compute_instance", size.value_or("e2-medium"), nodes.value_or(1) * zones};
    }
    return std::nullopt;
}

void kubernetes_control_plane(Ctx &c) {
    double rate = c.look_up_base().get(PER_HOUR, 0.1);
    c.hourly(rate);
    c.basis = "Kubernetes Control Plane @ $" + f(rate, 4) + "/hr";
    if (auto pool = default_pool(c)) {
        double plane = c.cost;
        std::string basis = c.basis;
        price_instances(c, pool->vm_type, pool->size, pool->nodes, "");
        c.cost += plane;
        c.basis = basis + " (+ default pool " + c.basis + ")";
    }
}

// The node type of a cache as text: numbers (a memory size) read as their decimal text.
std::string cache_node_type(const Ctx &c) {
    for (auto name : {"node_type", "cache_node_type", "memory_size_gb", "sku_name"}) {
        const Value *v = c.prop(name);
        if (!v || !v->truthy()) continue;
        if (v->is_str() || v->is_number()) return plain(*v);
    }
    return "base";
}

// Nodes of an ElastiCache cluster (num_cache_nodes), of a replication group (num_cache_clusters,
// else num_node_groups x (replicas_per_node_group + 1)) or of a MemoryDB cluster (num_shards x
// (num_replicas_per_shard + 1), the service's defaults 1 and 1); one for the other caches.
double cache_nodes(const Ctx &c) {
    auto n = [&c](std::initializer_list<std::string_view> keys) { return block_number(c, "", keys); };
    if (c.type == "aws_elasticache_cluster") return n({"num_cache_nodes"}).value_or(1);
    if (c.type == "aws_elasticache_replication_group") {
        if (auto k = n({"num_cache_clusters", "number_cache_clusters"})) return *k;
        if (auto groups = n({"num_node_groups", "NumNodeGroups"}))
            return *groups * (n({"replicas_per_node_group", "ReplicasPerNodeGroup"}).value_or(0) + 1);
        return 1;
    }
    if (c.type == "aws_memorydb_cluster")
        return n({"num_shards", "NumShards"}).value_or(1) * (n({"num_replicas_per_shard", "NumReplicasPerShard"}).value_or(1) + 1);
    return 1;
}

void cache(Ctx &c) {
    if (c.type == "google_redis_instance") {
        std::string tier = c.text("tier", "BASIC");
        double memory_gb = c.number("memory_size_gb", 1);
        double rate = c.look_up(tier).get(PER_GB_MONTH, 0.049);
        c.cost = memory_gb * rate;
        c.basis = plain(memory_gb) + "GB Redis (" + tier + ") @ $" + f(rate, 4) + "/GB-mo";
        return;
    }
    std::string node_type = cache_node_type(c);
    double rate = c.look_up(node_type).get(PER_HOUR, 0.034);
    double nodes = cache_nodes(c);
    c.hourly(rate, nodes);
    c.basis = node_type + " @ $" + f(rate, 4) + "/hr";
    if (nodes != 1) c.basis += " (" + f(nodes, 0) + " nodes)";
}

void load_balancer(Ctx &c) {
    std::string sku = c.key_of({"sku", "sku_name"}, "base");
    double rate = c.look_up(sku).get(PER_HOUR, 0.008);
    c.hourly(rate);
    c.basis = "Load Balancer (" + std::string(c.type) + ") @ $" + f(rate, 4) + "/hr";
}

void cdn(Ctx &c) {
    double gb = c.hint("transfer_gb", 100);
    double rate = c.look_up_base().get(PER_GB_TRANSFER, 0.0085);
    c.cost = gb * rate;
    c.basis = f(gb, 0) + "GB CDN transfer @ $" + f(rate, 4) + "/GB";
}

void api_gateway(Ctx &c) {
    std::string sku = c.key_of({"sku_name", "tier"}, "base");
    Rates r = c.look_up(sku);
    if (r.positive_hourly()) {
        double rate = r.get(PER_HOUR, 0.741);
        c.hourly(rate);
        c.basis = "API Management (" + sku + ") @ $" + f(rate, 4) + "/hr";
    } else {
        double price = r.get(PER_MILLION_REQUESTS, 3.5);
        double millions = c.number("tally_million_requests", 1.0);
        c.cost = millions * price;
        c.basis = f(millions, 0) + "M API calls @ $" + f(price, 2) + "/M";
    }
}

void messaging(Ctx &c) {
    std::string sku = c.key_of({"sku", "sku_name", "queue_type"}, "base");
    Rates r = c.look_up(sku);
    if (r.positive_hourly()) {
        double rate = r.get(PER_HOUR, 0.015);
        c.hourly(rate);
        c.basis = "Messaging (" + sku + ") @ $" + f(rate, 4) + "/hr";
    } else {
        double price = r.get(PER_MILLION_REQUESTS, 0.4);
        double millions = c.number("tally_million_requests", 5.0);
        c.cost = millions * price;
        c.basis = f(millions, 0) + "M messages @ $" + f(price, 2) + "/M";
    }
}

void dns_zone(Ctx &c) {
    std::string zone_type = pytext::lower(c.text("type", "base"));
    if (zone_type.empty()) zone_type = "base";
    double rate = c.look_up(zone_type).get(PER_HOUR, 0.000685);
    c.hourly(rate);
    c.basis = "DNS zone (" + zone_type + ") @ $" + f(rate, 6) + "/hr";
}

void secret(Ctx &c) {
    std::string tier = c.text("tier", "base");
    if (tier.empty()) tier = "base";
    double rate = c.look_up(tier).get(PER_HOUR, 0.000548);
    c.hourly(rate);
    c.basis = std::string(c.type) + " (" + tier + ") @ $" + f(rate, 6) + "/hr";
}

void container_registry(Ctx &c) {
    std::string sku = c.key_of({"sku"}, "base");
    // Every Azure registry has a tier: one without a price (an unresolved `sku`) is priced at
    // the cheapest, Basic, and the basis says so.
    if (c.type == "azurerm_container_registry") {
        Rates r = sku == "base" ? Rates{} : c.rate(sku);
        std::string note;
        if (!r.positive_hourly()) {
            note = sku == "base" ? " (SKU not read: cheapest tier)" : " (no price for " + sku + ": cheapest tier)";
            sku = "Basic";
            r = c.rate(sku);
        }
        double rate = r.get(PER_HOUR, 0.006944);
        c.hourly(rate);
        c.basis = "Container Registry (" + sku + ") @ $" + f(rate, 4) + "/hr" + note;
        return;
    }
    Rates r = c.look_up(sku);
    if (r.positive_hourly()) {
        double rate = r.get(PER_HOUR, 0.667);
        c.hourly(rate);
        c.basis = "Container Registry (" + sku + ") @ $" + f(rate, 4) + "/hr";
    } else {
        double gb = c.number("tally_storage_gb", 5);
        double rate = r.get(PER_GB_MONTH, 0.1);
        c.cost = gb * rate;
        c.basis = "Container Registry " + f(gb, 0) + "GB @ $" + f(rate, 4) + "/GB-mo";
    }
}

void data_platform(Ctx &c) {
    std::string sku = c.key_of({"sku_name", "sku"}, "base");
    double rate = c.look_up(sku).get(PER_HOUR, 0.25);
    c.hourly(rate);
    c.basis = std::string(c.type) + " (" + sku + ") @ $" + f(rate, 4) + "/hr";
}

void firewall(Ctx &c) {
    double rate = c.look_up_base().get(PER_HOUR, 1.25);
    c.hourly(rate);
    c.basis = std::string(c.type) + " @ $" + f(rate, 4) + "/hr";
}

}  // namespace

void price_instances(Ctx &c, std::string_view vm_type, const std::string &size, double count,
                     std::string_view note) {
    Ctx vm{c.provider, vm_type, c.props, c.region, c.source, 0.0, "No price mapped", {}};
    price_vm(vm, size);
    c.absorb(vm);
    c.cost = vm.cost * count;
    c.basis = f(count, 0) + "x " + vm.basis + std::string(note);
}

void add_shared_families(FamilyTable &t) {
    add_family(t,
               {"aws_instance", "google_compute_instance", "azurerm_virtual_machine", "azurerm_linux_virtual_machine",
                "azurerm_windows_virtual_machine"},
               virtual_machine);
    add_family(t,
               {"aws_db_instance", "google_sql_database_instance", "azurerm_mssql_database", "azurerm_postgresql_server",
                "azurerm_postgresql_flexible_server", "azurerm_mysql_server"},
               database_instance);
    add_family(t, {"azurerm_mssql_server", "azurerm_cosmosdb_account"}, database_cluster);
    add_family(t,
               {"aws_lambda_function", "google_cloudfunctions_function", "google_cloudfunctions2_function",
                "azurerm_function_app", "azurerm_linux_function_app", "azurerm_windows_function_app"},
               function);
    add_family(t, {"aws_s3_bucket", "google_storage_bucket", "azurerm_storage_account"}, object_storage);
    add_family(t, {"aws_ebs_volume", "google_compute_disk", "azurerm_managed_disk"}, block_disk);
    add_family(t, {"aws_eks_cluster", "google_container_cluster", "azurerm_kubernetes_cluster"},
               kubernetes_control_plane);
    add_family(t,
               {"aws_elasticache_cluster", "aws_elasticache_replication_group", "google_redis_instance",
                "google_memcache_instance", "azurerm_redis_cache", "aws_memorydb_cluster"},
               cache);
    add_family(t,
               {"aws_lb", "aws_alb", "aws_elb", "aws_lb_target_group", "azurerm_application_gateway",
                "azurerm_load_balancer", "google_compute_forwarding_rule"},
               load_balancer);
    add_family(t, {"aws_cloudfront_distribution", "azurerm_cdn_profile"}, cdn);
    add_family(t,
               {"aws_api_gateway_rest_api", "aws_api_gateway_v2_api", "aws_apigatewayv2_api",
                "azurerm_api_management"},
               api_gateway);
    add_family(t,
               {"aws_sqs_queue", "aws_sns_topic", "aws_kinesis_stream", "aws_kinesis_firehose_delivery_stream",
                "google_pubsub_topic", "google_pubsub_subscription", "azurerm_service_bus_namespace",
                "azurerm_servicebus_namespace"},
               messaging);
    add_family(t, {"aws_route53_zone", "google_dns_managed_zone", "azurerm_dns_zone"}, dns_zone);
    add_family(t, {"aws_secretsmanager_secret", "aws_ssm_parameter"}, secret);
    add_family(t, {"aws_ecr_repository", "google_artifact_registry_repository", "azurerm_container_registry"},
               container_registry);
    add_family(t,
               {"azurerm_hdinsight_hadoop_cluster",
                "google_composer_environment", "google_dataflow_job", "google_dataproc_cluster"},
               data_platform);
    add_family(t, {"azurerm_firewall", "aws_wafv2_web_acl"}, firewall);
    // Types priced like the specified members above, through rows of their own.
    add_family(t, {"google_compute_global_forwarding_rule"}, load_balancer);
    add_family(t, {"azurerm_private_dns_zone"}, dns_zone);
    add_family(t, {"azurerm_lb"}, load_balancer);
}

}  // namespace tw::reckon
