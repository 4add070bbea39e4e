// Rule families of pipelines, development endpoints, snapshots and connectors that real
// repositories declare beside the core services.
#include "core/pytext.h"
#include "core/reckoner/family_props.h"
#include "core/reckoner/frame.h"

namespace tw::reckon {

namespace {

// Counts and sizes read from properties or hints; one that is not countable gives the default.
double usable(double v, double def) { return countable(v) ? v : def; }

// CodePipeline V1 bills a monthly fee per active pipeline; V2 bills per action-execution
// minute (hint action_minutes, default 1,000), stored as its hourly equivalent.
void code_pipeline(Ctx &c) {
    std::string kind = pytext::lower(c.key_of({"pipeline_type"}, "V1"));
    if (kind == "v2") {
        double minutes = usable(c.hint("action_minutes", 1000), 1000);
        double per_minute = c.look_up("V2").get(PER_HOUR, 0.12) / 60;
        c.cost = minutes * per_minute;
        c.basis = "CodePipeline V2 " + grouped(minutes) + " action minutes @ $" + f(per_minute, 4) + "/min";
        return;
    }
    double rate = c.look_up("V1").get(PER_HOUR, 1.0 / DEFAULT_MONTHLY_HOURS);
    c.hourly(rate);
    c.basis = "CodePipeline V1 pipeline @ $" + f(rate * DEFAULT_MONTHLY_HOURS, 2) + "/mo";
}

// DPUs of a Glue development endpoint: number_of_workers workers (a G.2X worker is two DPUs,
// the others one), else number_of_nodes, else the service's default of 5.
double dev_endpoint_dpus(const Ctx &c) {
    if (auto workers = c.first_number({"number_of_workers"}); workers && usable(*workers, 0) > 0)
        return *workers * (c.key_of({"worker_type"}, "") == "G.2X" ? 2 : 1);
    double nodes = usable(c.number_of({"number_of_nodes"}, 5), 5);
    return nodes > 0 ? nodes : 5;
}

// Snapshot storage per GB-month of the standard or archive tier; the stored size is the hint
// storage_gb, else the snapshot's volume_size when known, else 10 GB.
void snapshot(Ctx &c) {
    std::string tier = pytext::lower(c.key_of({"storage_tier"}, "standard"));
    if (tier != "archive") tier = "standard";
    double gb = usable(c.hint("storage_gb", usable(c.number_of({"volume_size"}, 10), 10)), 10);
    double rate = c.look_up(tier).get(PER_GB_MONTH, tier == "archive" ? 0.0125 : 0.05);
    c.cost = gb * rate;
    c.basis = "EBS snapshot (" + tier + ") " + f(gb, 0) + "GB @ $" + f(rate, 4) + "/GB-mo";
}

// A Serverless VPC Access connector runs and bills as min_instances VMs (at least 2) of its
// machine type (default e2-micro).
void vpc_access_connector(Ctx &c) {
    std::string size = c.key_of({"machine_type"}, "e2-micro");
    double count = usable(c.number_of({"min_instances"}, 2), 2);
    if (count < 2) count = 2;
    price_instances(c, "google_compute_instance", size, count, " (connector instances)");
}

}  // namespace

void add_more_families(FamilyTable &t) {
    add_family(t, {"aws_codepipeline"}, code_pipeline);
    add_hourly_unit(t, "aws_glue_dev_endpoint", {"Glue development endpoint DPU", nullptr, dev_endpoint_dpus, 0.44});
    add_family(t, {"aws_ebs_snapshot", "aws_ebs_snapshot_copy", "aws_ami_copy"}, snapshot);
    add_family(t, {"google_vpc_access_connector"}, vpc_access_connector);
}

}  // namespace tw::reckon
