// Rule families of AWS-only resource types.
#include "core/pytext.h"
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

void search_domain(Ctx &c) {
    static const Map kNoConfig;
    const Value *cfg = c.prop("cluster_config");
    const Map &config = cfg && cfg->is_map() ? cfg->as_map() : kNoConfig;
    std::string instance_type = "base";
    if (const Value *v = config.find("instance_type"); v && v->is_str() && !v->as_str().empty())
        instance_type = v->as_str();
    double rate = c.look_up(instance_type).get(PER_HOUR, 0.073);
    int64_t count = 1;
    if (const Value *v = config.find("instance_count"))
        if (auto i = to_integer(*v)) count = *i;
    c.hourly(rate, double(count));
    c.basis = std::to_string(count) + "x " + instance_type + " @ $" + f(rate, 4) + "/hr";
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

}  // namespace

void add_aws_families(FamilyTable &t) {
    add_family(t, {"aws_dynamodb_table"}, dynamodb_table);
    add_family(t, {"aws_msk_cluster"}, kafka_cluster);
    add_family(t, {"aws_redshift_cluster"}, warehouse_cluster);
    add_family(t, {"aws_nat_gateway"}, nat_gateway);
    add_family(t, {"aws_emr_cluster"}, hadoop_cluster);
    add_family(t, {"aws_elasticsearch_domain", "aws_opensearch_domain"}, search_domain);
    add_family(t, {"aws_glue_job", "aws_glue_crawler"}, glue_job);
    add_family(t, {"aws_sagemaker_endpoint"}, model_endpoint);
    add_family(t, {"aws_ecs_cluster", "aws_ecs_service", "aws_ecs_task_definition"}, container_service);
}

}  // namespace tw::reckon
