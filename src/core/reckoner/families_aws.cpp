// Rule families of AWS-only resource types.
#include <algorithm>
#include <iterator>

#include "core/pytext.h"
#include "core/reckoner/family_props.h"
#include "core/reckoner/frame.h"

namespace tw::reckon {

namespace {

// The text under `key` of a map, else `def`.
std::string text_in(const Map &m, std::string_view key, std::string_view def) {
    const Value *v = m.find(key);
    return v && v->is_str() ? v->as_str() : std::string(def);
}

void dynamodb_table(Ctx &c) {
    std::string billing = pytext::lower(c.text("billing_mode", "on_demand"));
    // PAY_PER_REQUEST is the Terraform and CloudFormation word for on-demand capacity.
    bool on_demand = billing.find("demand") != std::string::npos || billing == "pay_per_request";
    std::string mode = on_demand ? "on_demand" : "provisioned";
    Rates r = c.look_up(mode);
    double request_price = r.get(PER_MILLION_REQUESTS, 1.25);
    double storage_price = r.get(PER_GB_MONTH, 0.25);
    double millions = c.number("tally_million_requests", 5.0);
    double storage_gb = c.number("tally_storage_gb", 20.0);
    c.cost = millions * request_price + storage_gb * storage_price;
    c.basis = "DynamoDB " + mode + " (" + f(millions, 0) + "M reqs + " + f(storage_gb, 0) + "GB)";
}

void kafka_cluster(Ctx &c) {
    std::string instance_type = "kafka.m5.large";
    if (const Value *info = c.prop("broker_node_group_info"); info && info->is_map())
        instance_type = text_in(info->as_map(), "instance_type", instance_type);
    double rate = c.look_up(instance_type).get(PER_HOUR, 0.212);
    int64_t brokers = c.integer("number_of_broker_nodes", 3);
    c.hourly(rate, double(brokers));
    c.basis = std::to_string(brokers) + "x " + instance_type + " @ $" + f(rate, 4) + "/hr each";
}

void warehouse_cluster(Ctx &c) {
    std::string node_type = c.text("node_type", "dc2.large");
    double nodes = double(c.integer("number_of_nodes", 1));
    double rate = c.look_up(node_type).get(PER_HOUR, 0.25);
    c.hourly(rate, nodes);
    c.basis = plain(nodes) + "x " + node_type + " @ $" + f(rate, 4) + "/hr";
}

void nat_gateway(Ctx &c) {
    double rate = c.look_up_base().get(PER_HOUR, 0.045);
    c.hourly(rate);
    c.basis = "NAT Gateway @ $" + f(rate, 4) + "/hr";
}

void hadoop_cluster(Ctx &c) {
    std::string master = c.text("master_instance_type", "m5.xlarge");
    double rate = c.look_up(master).get(PER_HOUR, 0.048);
    int64_t core = c.integer("core_instance_count", 2);
    // The master and every core node at the master's rate.
    c.hourly(rate, 1.0 + double(core));
    c.basis = "EMR " + master + " master + " + std::to_string(core) + " core @ $" + f(rate, 4) + "/hr";
}

// Dedicated master or warm nodes of a search domain, when enabled: "<n>x <type> <role> @ $<rate>/hr".
std::string search_nodes(Ctx &c, std::string_view enabled, std::string_view type_key, std::string_view count_key,
                         double default_count, const char *role) {
    const Value *on = in_block(c, "cluster_config", enabled);
    if (!on || !(on->is_str() ? pytext::lower(on->as_str()) == "true" : on->truthy())) return "";
    const Value *t = in_block(c, "cluster_config", type_key);
    std::string type = t && t->is_str() ? t->as_str() : "base";
    double count = block_number(c, "cluster_config", {count_key}).value_or(default_count);
    double rate = c.look_up(type).get(PER_HOUR, 0.073);
    c.cost += rate * DEFAULT_MONTHLY_HOURS * count;
    return f(count, 0) + "x " + type + " " + role + " @ $" + f(rate, 4) + "/hr";
}

// Data nodes of a domain: `cluster_config`'s instance type and count, else the same keys at
// the top level (a template's flattened form).
void search_domain(Ctx &c) {
    std::string instance_type = "base";
    if (const Value *v = in_block(c, "cluster_config", "instance_type"); v && v->is_str())
        instance_type = v->as_str();
    double rate = c.look_up(instance_type).get(PER_HOUR, 0.073);
    double count = block_number(c, "cluster_config", {"instance_count"}).value_or(1);
    c.hourly(rate, count);
    c.basis = f(count, 0) + "x " + instance_type + " @ $" + f(rate, 4) + "/hr";
    // Dedicated masters (three unless counted) and UltraWarm nodes bill beside the data nodes.
    std::string masters = search_nodes(c, "dedicated_master_enabled", "dedicated_master_type", "dedicated_master_count",
                                       3, "masters");
    std::string warm = search_nodes(c, "warm_enabled", "warm_type", "warm_count", 2, "warm");
    if (!masters.empty()) c.basis += " (+ " + masters + ")";
    if (!warm.empty()) c.basis += " (+ " + warm + ")";
}

// An Aurora cluster: provisioned capacity bills through its aws_rds_cluster_instance resources;
// Serverless v2 bills ACU-hours (hint average_acus, default min_capacity, else 0.5); storage and
// I/O bill per GB-month and per million requests from rows "storage" and "io" (hints storage_gb,
// default 10, and million_requests, default 1), I/O-Optimized storage from "storage/aurora-iopt1".
// A Multi-AZ DB cluster (db_cluster_instance_class) runs three instances of its class, estimated
// from the RDS price of that class.
void database_cluster(Ctx &c) {
    std::string mode = pytext::lower(c.key_of({"engine_mode", "EngineMode"}, "provisioned"));
    std::optional<double> min_acus =
        block_number(c, "serverlessv2_scaling_configuration", {"min_capacity", "MinCapacity"});
    if (!min_acus && mode == "serverless") min_acus = block_number(c, "scaling_configuration", {"min_capacity"});
    std::string note;
    if (min_acus || mode == "serverless") {
        double acus = c.hint("average_acus", min_acus.value_or(0.5));
        if (!countable(acus)) acus = min_acus.value_or(0.5);
        double rate = c.look_up_base().get(PER_HOUR, 0.12);
        c.hourly(rate, acus);
        c.basis = "Aurora Serverless " + plain(acus) + " ACU @ $" + f(rate, 4) + "/ACU-hr";
        if (mode == "serverless") c.basis += " (v1 at the v2 ACU price)";
    } else if (std::string cls = c.key_of({"db_cluster_instance_class", "DBClusterInstanceClass"}, ""); !cls.empty()) {
        Rates rds = c.source.rate(c.provider, "aws_db_instance", cls, c.region);
        double rate = rds.positive_hourly() ? rds.value[PER_HOUR] : 0.034;
        c.default_rate = c.default_rate || !rds.positive_hourly();
        c.hourly(rate, 3);
        c.basis = "Multi-AZ DB cluster 3x " + cls + " @ $" + f(rate, 4) + "/hr (estimated from RDS)";
        return;
    } else {
        c.basis = "Aurora cluster (instances billed through aws_rds_cluster_instance)";
    }
    // I/O-Optimized (storage_type aurora-iopt1) bills storage at its own price and no I/O.
    bool io_optimized = pytext::lower(c.key_of({"storage_type", "StorageType"}, "")) == "aurora-iopt1";
    Rates storage = c.rate(io_optimized ? "storage/aurora-iopt1" : "storage");
    Rates io = io_optimized ? Rates{} : c.rate("io");
    if (storage.positive(PER_GB_MONTH) || io.positive(PER_MILLION_REQUESTS)) {
        double gb = c.hint("storage_gb", 10), millions = c.hint("million_requests", 1);
        if (!countable(gb)) gb = 10;
        if (!countable(millions)) millions = 1;
        double storage_price = storage.positive(PER_GB_MONTH) ? storage.value[PER_GB_MONTH] : 0;
        double io_price = io.positive(PER_MILLION_REQUESTS) ? io.value[PER_MILLION_REQUESTS] : 0;
        c.cost += gb * storage_price + millions * io_price;
        c.basis += " + " + f(gb, 0) + "GB storage @ $" + f(storage_price, 3) + "/GB-mo";
        if (io_optimized) c.basis += " (I/O-Optimized: no I/O charge)";
        else c.basis += " + " + f(millions, 1) + "M I/O @ $" + f(io_price, 2) + "/M";
    } else {
        c.basis += " (storage and I/O not priced)";
    }
}

constexpr double kGlueHoursPerMonth = 10;

void glue_job(Ctx &c) {
    double rate = c.look_up_base().get(PER_HOUR, 0.44);
    c.cost = rate * kGlueHoursPerMonth;
    c.basis = "Glue DPU @ $" + f(rate, 4) + "/hr (est. 10hr/mo)";
}

void model_endpoint(Ctx &c) {
    std::string instance_type = "base";
    if (const Value *variants = c.prop("production_variants");
        variants && variants->is_list() && !variants->as_list().empty() && variants->as_list().front().is_map())
        instance_type = text_in(variants->as_list().front().as_map(), "instance_type", "base");
    double rate = c.look_up(instance_type).get(PER_HOUR, 0.128);
    c.hourly(rate);
    c.basis = "SageMaker " + instance_type + " @ $" + f(rate, 4) + "/hr";
}

void container_service(Ctx &c) {
    c.cost = 0.0;
    c.basis = std::string(c.type) + " (compute cost reflected in EC2/Fargate nodes)";
}


// Interface and Gateway Load Balancer endpoints bill per AZ (one per subnet) and per GB
// processed; gateway endpoints (S3, DynamoDB), Terraform's default type, are free.
void vpc_endpoint(Ctx &c) {
    std::string kind = c.key_of({"vpc_endpoint_type", "VpcEndpointType"}, "Gateway");
    if (pytext::lower(kind) == "gateway") {
        double rate = c.rate("gateway").get(PER_HOUR, 0.0);
        c.hourly(rate);
        c.basis = rate > 0 ? "Gateway endpoint @ $" + f(rate, 4) + "/hr" : "VPC endpoint (Gateway): no charge";
        return;
    }
    double azs = count_of_list(c, {"subnet_ids", "SubnetIds", "subnet_configuration"}, 1);
    Rates r = c.look_up(pytext::lower(kind));
    double rate = r.get(PER_HOUR, 0.01);
    double per_gb = r.get(PER_GB_TRANSFER, 0.01);
    double gb = c.hint("transfer_gb", 0);
    c.cost = rate * DEFAULT_MONTHLY_HOURS * azs + gb * per_gb;
    c.basis = f(azs, 0) + "x " + kind + " endpoint AZ @ $" + f(rate, 4) + "/hr + " + f(gb, 0) + "GB @ $" +
              f(per_gb, 4) + "/GB";
}

// Billed per attachment; the gateway itself has no charge of its own.
void transit_gateway(Ctx &c) { c.basis = std::string(c.type) + " (billed per attachment)"; }

// Ingestion per GB (hint gb_ingested, default 5) and storage per GB-month (hint storage_gb,
// default one month of ingestion).
void log_group(Ctx &c) {
    double ingested = c.hint("gb_ingested", 5);
    double stored = c.hint("storage_gb", ingested);
    Rates r = c.look_up_base();
    double ingest_price = r.get(PER_GB_TRANSFER, 0.5);
    double storage_price = r.get(PER_GB_MONTH, 0.03);
    c.cost = ingested * ingest_price + stored * storage_price;
    c.basis = "Logs " + f(ingested, 0) + "GB ingested @ $" + f(ingest_price, 4) + "/GB + " + f(stored, 0) +
              "GB stored @ $" + f(storage_price, 4) + "/GB-mo";
}

std::string log_destination(const Ctx &c) {
    return pytext::lower(c.key_of({"log_destination_type", "LogDestinationType"}, "cloud-watch-logs"));
}

std::string efs_class(const Ctx &c) {
    return c.first_of({"availability_zone_name", "AvailabilityZoneName"}) ? "one_zone" : "standard";
}

// GENERAL_PURPOSE (the default) or SHORT_LIVED_CERTIFICATE.
std::string private_ca_mode(const Ctx &c) {
    return pytext::lower(c.key_of({"usage_mode", "UsageMode"}, "general_purpose"));
}

std::string alarm_resolution(const Ctx &c) {
    if (auto p = c.first_number({"period", "Period"}); p && *p < 60) return "high_resolution";
    return "standard";
}

// An EKS capability (`type` ARGOCD, ACK or KRO) bills per capability-hour, plus per hour of each
// unit it manages: Argo CD Applications, ACK resources, kro RGD instances (hint managed_units,
// default 0). Item keys "<kind>" and "<kind>/unit".
void eks_capability(Ctx &c) {
    static constexpr struct {
        const char *kind, *label, *units;
        double hourly, per_unit;
    } kinds[] = {{"argocd", "Argo CD", "Applications", 0.03, 0.0015},
                 {"ack", "ACK", "resources", 0.005, 0.00005},
                 {"kro", "kro", "RGD instances", 0.005, 0.00005}};
    std::string wanted = pytext::lower(c.key_of({"type", "Type"}, "argocd"));
    const auto *k = std::find_if(std::begin(kinds), std::end(kinds), [&](const auto &e) { return wanted == e.kind; });
    bool known = k != std::end(kinds);
    if (!known) k = &kinds[0];
    double rate = c.rate(k->kind).get(PER_HOUR, k->hourly);
    double per_unit = c.rate(std::string(k->kind) + "/unit").get(PER_HOUR, k->per_unit);
    double units = c.hint("managed_units", 0);
    if (!countable(units)) units = 0;
    c.hourly(rate + units * per_unit);
    c.basis = std::string("EKS capability ") + k->label + " @ $" + f(rate, 4) + "/hr + " + f(units, units == std::floor(units) ? 0 : 2) + " " +
              k->units + " @ $" + f(per_unit, 6) + "/hr each" + (known ? "" : " (type not read: priced as Argo CD)");
}

// Nodes of a managed node group or an Auto Scaling group, priced through the EC2 prices.
void node_group(Ctx &c) {
    std::string note;
    // Sizes the scan found on other blocks or records (the template pass).
    std::optional<std::string> size = first_text(c.first_of({"mixed_instance_type"}));
    if (size) note = " (first mixed instances override)";
    if (!size) size = first_text(c.first_of({"instance_types", "InstanceTypes"}));
    if (!size) size = first_text(c.first_of({"instance_type", "InstanceType"}));
    if (!size) {
        size = first_text(c.first_of({"launch_configuration_instance_type"}));
        if (size) note = " (launch configuration size)";
    }
    if (!size) {
        // The launch template's size, when the scan holds the template the group names.
        size = first_text(c.first_of({"template_instance_type"}));
        if (size) note = " (launch template size)";
    }
    if (!size) {
        size = c.type == "aws_eks_node_group" ? "t3.medium" : "t3.micro";
        note = " (default size)";
    }
    double count = c.type == "aws_eks_node_group"
                       ? block_number(c, "scaling_config", {"desired_size", "DesiredSize", "min_size", "MinSize"}).value_or(1)
                       : block_number(c, "", {"desired_capacity", "DesiredCapacity", "min_size", "MinSize"}).value_or(1);
    price_instances(c, "aws_instance", *size, count, note);
}

// Aurora instances bill per instance-hour by class; storage and I/O bill on the cluster.
// Rows are keyed by class, with "aurora-postgresql/<class>" where the PostgreSQL edition is
// priced apart. A class without a row is estimated from the RDS price of the same class (RDS
// for MySQL, single-AZ), else from the default rate, and the basis says so.
constexpr double kAuroraDefault = 0.034;  // the database instance family's default rate

void aurora_instance(Ctx &c) {
    std::string cls = c.key_of({"instance_class", "DBInstanceClass"}, "db.r6g.large");
    bool postgres = pytext::lower(c.key_of({"engine", "Engine"}, "aurora-mysql")).find("postgres") != std::string::npos;
    std::string edition = postgres ? "Aurora PostgreSQL" : "Aurora MySQL";
    if (cls == "db.serverless") {
        c.basis = cls + " " + edition + " (capacity billed per ACU on the cluster)";
        return;
    }
    Rates r;
    if (postgres) r = c.rate("aurora-postgresql/" + cls);
    if (r.empty()) r = c.rate(cls);
    if (!r.empty()) {
        double rate = r.get(PER_HOUR, kAuroraDefault);
        c.hourly(rate);
        c.basis = cls + " " + edition + " @ $" + f(rate, 4) + "/hr";
        return;
    }
    c.default_rate = true;
    Rates rds = c.source.rate(c.provider, "aws_db_instance", cls, c.region);
    if (rds.positive_hourly()) {
        c.hourly(rds.value[PER_HOUR]);
        c.basis = cls + " " + edition + " (estimated from RDS) @ $" + f(rds.value[PER_HOUR], 4) + "/hr";
        return;
    }
    c.hourly(kAuroraDefault);
    c.basis = cls + " " + edition + " (estimated) @ $" + f(kAuroraDefault, 4) + "/hr";
}

}  // namespace

void add_aws_families(FamilyTable &t) {
    add_family(t, {"aws_dynamodb_table"}, dynamodb_table);
    add_family(t, {"aws_msk_cluster"}, kafka_cluster);
    add_family(t, {"aws_redshift_cluster"}, warehouse_cluster);
    add_family(t, {"aws_nat_gateway"}, nat_gateway);
    add_family(t, {"aws_emr_cluster"}, hadoop_cluster);
    add_family(t, {"aws_elasticsearch_domain", "aws_opensearch_domain"}, search_domain);
    add_family(t, {"aws_rds_cluster"}, database_cluster);
    add_family(t, {"aws_glue_job", "aws_glue_crawler"}, glue_job);
    add_family(t, {"aws_sagemaker_endpoint"}, model_endpoint);
    add_family(t, {"aws_ecs_cluster", "aws_ecs_service", "aws_ecs_task_definition"}, container_service);

    // Paid network types that the free keywords would catch.
    add_hourly_unit(t, "aws_eip", {"Public IPv4 address", nullptr, nullptr, 0.005});
    add_family(t, {"aws_vpc_endpoint"}, vpc_endpoint);
    add_family(t, {"aws_ec2_transit_gateway"}, transit_gateway);
    add_hourly_unit(t, "aws_ec2_transit_gateway_vpc_attachment", {"Transit Gateway attachment", nullptr, nullptr, 0.05, 0.02});
    add_hourly_unit(t, "aws_ec2_transit_gateway_peering_attachment", {"Transit Gateway peering attachment", nullptr, nullptr, 0.05});
    add_hourly_unit(t, "aws_vpn_connection", {"Site-to-Site VPN connection", nullptr, nullptr, 0.05});
    add_hourly_unit(t, "aws_route53_resolver_endpoint",
                    {"Resolver endpoint IP", nullptr, [](const Ctx &c) { return count_of_list(c, {"ip_address", "IpAddresses"}, 2); }, 0.125});
    add_hourly_unit(t, "aws_ec2_client_vpn_network_association", {"Client VPN subnet association", nullptr, nullptr, 0.10});
    add_hourly_unit(t, "aws_globalaccelerator_accelerator", {"Global Accelerator", nullptr, nullptr, 0.025});
    add_hourly_unit(t, "aws_transfer_server",
                    {"Transfer Family protocol", nullptr, [](const Ctx &c) { return count_of_list(c, {"protocols", "Protocols"}, 1); }, 0.30});
    // Monitoring, keys and storage.
    add_monthly_fee(t, "aws_kms_key", {"KMS key", nullptr, nullptr, 1.0});
    add_monthly_fee(t, "aws_cloudwatch_dashboard", {"CloudWatch dashboard", nullptr, nullptr, 3.0});
    add_monthly_fee(t, "aws_cloudwatch_metric_alarm", {"CloudWatch alarm", alarm_resolution, nullptr, 0.10});
    add_monthly_fee(t, "aws_cloudwatch_composite_alarm", {"CloudWatch composite alarm", nullptr, nullptr, 0.50});
    add_monthly_fee(t, "aws_route53_health_check", {"Route 53 health check", nullptr, nullptr, 0.50});
    add_family(t, {"aws_cloudwatch_log_group"}, log_group);
    add_monthly_fee(t, "aws_acmpca_certificate_authority", {"Private CA", private_ca_mode, nullptr, 400.0});
    add_metered_usage(t, "aws_flow_log", {"Flow logs", log_destination, PER_GB_TRANSFER, 0.5, "gb_ingested", 5, "GB"});
    add_metered_usage(t, "aws_efs_file_system", {"EFS", efs_class, PER_GB_MONTH, 0.30, "storage_gb", 10, "GB-mo"});
    add_family(t, {"aws_eks_node_group", "aws_autoscaling_group"}, node_group);
    add_family(t, {"aws_rds_cluster_instance"}, aurora_instance);
    add_family(t, {"aws_eks_capability"}, eks_capability);
    add_metered_usage(t, "aws_appsync_graphql_api",
                      {"AppSync operations", nullptr, PER_MILLION_REQUESTS, 4.0, "million_requests", 1, "M"});
    add_metered_usage(t, "aws_sfn_state_machine",
                      {"Step Functions", [](const Ctx &c) { return lower_text(c, {"type"}, "standard"); },
                       PER_MILLION_REQUESTS, 25.0, "million_requests", 1, "M"});
}

}  // namespace tw::reckon
