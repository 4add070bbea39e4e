// Rule families of Google Cloud-only resource types.
#include <algorithm>

#include "core/pytext.h"
#include "core/reckoner/family_props.h"
#include "core/reckoner/frame.h"

namespace tw::reckon {

namespace {

std::string upper_ascii(std::string s) {
    for (char &ch : s)
        if (ch >= 'a' && ch <= 'z') ch = char(ch - 'a' + 'A');
    return s;
}

void cloud_run_service(Ctx &c) {
    double requests = c.hint("requests_per_month", 1000000);
    double price = c.look_up_base().get(PER_MILLION_REQUESTS, 0.4);
    c.cost = requests / 1000000 * price;
    c.basis = grouped(requests) + " reqs/mo (Cloud Run)";
}

void bigquery(Ctx &c) {
    double storage_gb = c.number("tally_storage_gb", 10);
    double rate = c.look_up_base().get(PER_GB_MONTH, 0.02);
    c.cost = storage_gb * rate;
    c.basis = "BigQuery " + f(storage_gb, 0) + "GB active storage";
}

void spanner_instance(Ctx &c) {
    std::string config = c.text("config", "regional");
    double nodes = c.number("num_nodes", 1);
    double rate = c.look_up(config).get(PER_HOUR, 0.9);
    c.hourly(rate, nodes);
    c.basis = plain(nodes) + "x Spanner " + config + " node @ $" + f(rate, 4) + "/hr";
}

// Priced only from a stored row: per gigabyte-month when it holds one, else per hour.
void store_priced_service(Ctx &c) {
    Rates r = c.look_up_base();
    if (r.positive(PER_GB_MONTH)) {
        double storage_gb = c.number("tally_storage_gb", 10);
        double rate = r.get(PER_GB_MONTH, 0.18);
        c.cost = storage_gb * rate;
        c.basis = std::string(c.type) + " " + f(storage_gb, 0) + "GB @ $" + f(rate, 4) + "/GB-mo";
    } else if (r.positive_hourly()) {
        double rate = r.get(PER_HOUR, 0.1);
        c.hourly(rate);
        c.basis = std::string(c.type) + " @ $" + f(rate, 4) + "/hr";
    }
}


// Cloud NAT: per VM using the gateway up to the hourly cap (hint instances, default 32, which
// reaches the cap), plus data processed (hint transfer_gb, default 0).
void router_nat(Ctx &c) {
    double vms = c.hint("instances", 32);
    double per_vm = c.rate("vm").get(PER_HOUR, 0.0014);
    Rates r = c.look_up_base();
    double cap = r.get(PER_HOUR, 0.044);
    double per_gb = r.get(PER_GB_TRANSFER, 0.045);
    double gb = c.hint("transfer_gb", 0);
    double rate = std::min(vms * per_vm, cap);
    c.cost = rate * DEFAULT_MONTHLY_HOURS + gb * per_gb;
    c.basis = "Cloud NAT " + f(vms, 0) + " VMs @ $" + f(rate, 4) + "/hr + " + f(gb, 0) + "GB @ $" + f(per_gb, 4) + "/GB";
}

// External addresses bill per hour; internal ones and ranges reserved for peering or Private
// Service Connect do not.
void address(Ctx &c) {
    std::string kind = upper_ascii(c.key_of({"address_type"}, "EXTERNAL"));
    std::string purpose = upper_ascii(c.key_of({"purpose"}, ""));
    if (kind == "INTERNAL" || purpose == "VPC_PEERING" || purpose == "PRIVATE_SERVICE_CONNECT") {
        c.basis = "Internal address: no charge";
        return;
    }
    double rate = c.look_up_base().get(PER_HOUR, 0.005);
    c.hourly(rate);
    c.basis = "External IP address @ $" + f(rate, 4) + "/hr";
}

// HA and Classic VPN bill per tunnel; their gateways have no charge of their own.
void vpn_gateway(Ctx &c) { c.basis = std::string(c.type) + " (billed per VPN tunnel)"; }

// Node pools and managed instance groups: nodes × machine type through the VM prices. A
// group's machine type lives on its instance template, read when the scan holds it.
void instance_group(Ctx &c) {
    std::string note;
    std::string size = first_text(in_block(c, "node_config", "machine_type")).value_or("");
    if (size.empty() && c.type != "google_container_node_pool") {
        // The instance template's size, when the scan holds the template the group names.
        size = first_text(c.first_of({"template_machine_type"})).value_or("");
        if (!size.empty()) note = " (instance template size)";
    }
    if (size.empty()) {
        size = "e2-medium";
        note = c.type == "google_container_node_pool" ? " (default size)" : " (template size not read)";
    }
    double count = 1;
    if (c.type == "google_container_node_pool") {
        count = block_number(c, "autoscaling", {"node_count", "initial_node_count", "min_node_count",
                                                "total_min_node_count"}).value_or(1);
        // node_count is per zone: one per listed node location, else the three zones of a
        // regional pool (a location without a zone suffix).
        double zones = count_of_list(c, {"node_locations"}, 0);
        if (zones == 0) {
            std::string loc = c.key_of({"location"}, "");
            zones = !loc.empty() && loc.back() >= '0' && loc.back() <= '9' ? 3 : 1;
        }
        count *= zones;
    } else if (c.type != "google_compute_instance_from_template") {
        count = block_number(c, "", {"target_size"}).value_or(1);
    }
    price_instances(c, "google_compute_instance", size, count, note);
}

// A sole-tenant node group: its nodes at the node type's price, which is the node's vCPUs and
// memory at its machine family's prices plus the 10% sole-tenancy premium. A node type
// "<family>-node-<vcpus>-<gb>" prices as 1.1 x the family's machine type with as many vCPUs
// and that memory ratio (standard up to 4.5 GB a vCPU, else highmem). The type is the group's
// template's, when the scan holds it; the count is `initial_size` (else `size`, else the
// autoscaling policy's `min_nodes`, else 1).
void node_group(Ctx &c) {
    std::string node_type = first_text(c.first_of({"node_type", "template_node_type"})).value_or("");
    std::string note;
    if (node_type.empty()) {
        node_type = "n1-node-96-624";
        note = " (node template not read: " + node_type + ")";
    }
    std::string machine;
    size_t at = node_type.find("-node-");
    if (at != std::string::npos) {
        std::string rest = node_type.substr(at + 6);
        size_t dash = rest.find('-');
        auto vcpus = dash == std::string::npos ? std::nullopt : to_double(Value(rest.substr(0, dash)));
        auto gb = dash == std::string::npos ? std::nullopt : to_double(Value(rest.substr(dash + 1)));
        if (vcpus && gb && *vcpus >= 1 && countable(*gb))
            machine = node_type.substr(0, at) + (*gb / *vcpus <= 4.5 ? "-standard-" : "-highmem-") +
                      f(*vcpus, 0);
    }
    if (machine.empty()) {
        machine = "n1-highmem-96";
        note += " (node type " + node_type + " not read: " + machine + ")";
    }
    double nodes = block_number(c, "autoscaling_policy", {"initial_size", "size", "min_nodes"}).value_or(1);
    price_instances(c, "google_compute_instance", machine, nodes, note);
    c.cost *= 1.1;
    c.basis += " + 10% sole-tenancy premium (" + node_type + ")";
}

// A LoadBalancer service of a cluster: one load balancer of the cluster's cloud, named by the
// service's annotations (aws-load-balancer, azure-load-balancer), else a Google Cloud
// forwarding rule, the price GKE bills for it.
bool mentions(const Value &v, std::string_view text, int depth = 0) {
    if (depth > 32) return false;
    if (v.is_str()) return v.as_str().find(text) != std::string::npos;
    if (v.is_list()) {
        for (const Value &e : v.as_list())
            if (mentions(e, text, depth + 1)) return true;
    } else if (v.is_map()) {
        for (const auto &[k, e] : v.as_map())
            if (k.find(text) != std::string::npos || mentions(e, text, depth + 1)) return true;
    }
    return false;
}

std::string kms_protection(const Ctx &c) { return upper_ascii(c.key_of({"protection_level"}, "SOFTWARE")); }

}  // namespace

void cluster_load_balancer(Ctx &c) {
    Value all{c.props};
    struct Cloud {
        const char *annotation, *provider, *type, *key, *label;
        double rate;
    };
    static const Cloud clouds[] = {
        {"aws-load-balancer", "aws", "aws_lb", "base", "AWS load balancer", 0.0225},
        {"azure-load-balancer", "azure", "azurerm_lb", "Standard", "Azure Standard Load Balancer", 0.025},
    };
    Cloud cloud{nullptr, "google", "google_compute_forwarding_rule", "base", "Google Cloud forwarding rule", 0.025};
    for (const Cloud &k : clouds)
        if (mentions(all, k.annotation)) cloud = k;
    Rates r = c.source.rate(cloud.provider, cloud.type, cloud.key, c.region);
    r.defaulted = &c.default_rate;
    double rate = r.get(PER_HOUR, cloud.rate);
    c.hourly(rate);
    c.basis = std::string("Service of type LoadBalancer: ") + cloud.label + " @ $" + f(rate, 4) + "/hr";
    if (!cloud.annotation) c.basis += " (no cloud annotation: GKE's forwarding rule)";
}

void add_gcp_families(FamilyTable &t) {
    add_family(t, {"google_cloud_run_service", "google_cloud_run_v2_service"}, cloud_run_service);
    add_family(t, {"google_bigquery_dataset", "google_bigquery_table"}, bigquery);
    add_family(t, {"google_spanner_instance"}, spanner_instance);
    add_family(t, {"google_firestore_database", "google_filestore_instance", "google_compute_snapshot"},
               store_priced_service);

    add_family(t, {"google_compute_router_nat"}, router_nat);
    add_family(t, {"google_compute_address", "google_compute_global_address"}, address);
    add_family(t, {"google_compute_vpn_gateway", "google_compute_ha_vpn_gateway"}, vpn_gateway);
    add_hourly_unit(t, "google_compute_vpn_tunnel", {"Cloud VPN tunnel", nullptr, nullptr, 0.05});
    add_family(t,
               {"google_container_node_pool", "google_compute_instance_group_manager",
                "google_compute_region_instance_group_manager", "google_compute_instance_from_template"},
               instance_group);
    add_family(t, {"google_compute_node_group"}, node_group);
    // Network Connectivity Center: per spoke-hour; no published price was read, so the
    // built-in rate applies and the resource counts as default-rate.
    add_hourly_unit(t, "google_network_connectivity_spoke", {"NCC spoke", nullptr, nullptr, 0.05});
    // Packet Mirroring bills the mirrored traffic per GB processed, nothing per policy. No Google
    // price was read: the built-in rate is a figure quoted by a third party, flagged as default.
    add_metered_usage(t, "google_compute_packet_mirroring",
                      {"Packet Mirroring", nullptr, PER_GB_TRANSFER, 0.05, "transfer_gb", 0, "GB"});
    add_monthly_fee(t, "google_secret_manager_secret",
                    {"Secret version location", nullptr,
                     [](const Ctx &c) { return count_of_list(c, {"replicas"}, 1); }, 0.06});
    add_monthly_fee(t, "google_kms_crypto_key", {"Cloud KMS key version", kms_protection, nullptr, 0.06});
    add_monthly_fee(t, "google_compute_security_policy",
                    {"Cloud Armor policy", nullptr, nullptr, 5.0});
    add_hourly_unit(t, "google_bigtable_instance",
                    {"Bigtable node", nullptr,
                     [](const Ctx &c) { return block_number(c, "cluster", {"num_nodes"}).value_or(1); }, 0.65});
}

}  // namespace tw::reckon
