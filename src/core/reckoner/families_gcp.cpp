// Rule families of Google Cloud-only resource types.
#include "core/reckoner/frame.h"

namespace tw::reckon {

namespace {

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

}  // namespace

void add_gcp_families(FamilyTable &t) {
    add_family(t, {"google_cloud_run_service", "google_cloud_run_v2_service"}, cloud_run_service);
    add_family(t, {"google_bigquery_dataset", "google_bigquery_table"}, bigquery);
    add_family(t, {"google_spanner_instance"}, spanner_instance);
    add_family(t, {"google_firestore_database", "google_filestore_instance", "google_compute_snapshot"},
               store_priced_service);
}

}  // namespace tw::reckon
