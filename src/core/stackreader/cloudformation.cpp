// CloudFormation templates: resource types mapped to Terraform-style names, parameter
// references with defaults substituted, a few property keys translated, Tags made a map.
// What cannot be read is skipped at the smallest unit: a tag, a resource's properties, a
// resource.
#include "core/fsutil.h"
#include "core/pytext.h"
#include "core/stackreader/formats.h"

namespace tw::stack {

using json::Node;

const TypePair kCfTypeMap[10] = {
    {"AWS::EC2::Instance", "aws_instance"},
    {"AWS::RDS::DBInstance", "aws_db_instance"},
    {"AWS::Lambda::Function", "aws_lambda_function"},
    {"AWS::S3::Bucket", "aws_s3_bucket"},
    {"AWS::DynamoDB::Table", "aws_dynamodb_table"},
    {"AWS::EKS::Cluster", "aws_eks_cluster"},
    {"AWS::ElasticLoadBalancingV2::LoadBalancer", "aws_alb"},
    {"AWS::Elasticache::CacheCluster", "aws_elasticache_cluster"},
    {"AWS::ElastiCache::CacheCluster", "aws_elasticache_cluster"},
    {"AWS::Redshift::Cluster", "aws_redshift_cluster"},
};

namespace {

std::string cf_type_name(std::string_view cf) {
    for (const auto &[k, v] : kCfTypeMap)
        if (cf == k) return v;
    std::vector<std::string_view> parts;
    size_t start = 0;
    for (;;) {
        size_t p = cf.find("::", start);
        if (p == std::string_view::npos) break;
        parts.push_back(cf.substr(start, p - start));
        start = p + 2;
    }
    parts.push_back(cf.substr(start));
    std::string out;
    if (parts.size() > 2) {
        for (size_t i = 0; i < 3; ++i) {
            if (i) out += '_';
            out += pytext::lower(parts[i]);
        }
        return out;
    }
    std::string low = pytext::lower(cf);
    for (size_t p; (p = low.find("::")) != std::string::npos;) low.replace(p, 2, "_");
    return low;
}

std::string_view translate_key(std::string_view k) {
    if (k == "InstanceType") return "instance_type";
    if (k == "InstanceClass") return "instance_class";
    if (k == "AllocatedStorage") return "allocated_storage";
    if (k == "MemorySize") return "memory_size";
    return k;
}

struct Resolver {
    std::optional<Node> params;  // a map, or nothing

    // The parameter's Default for a reference to a parameter that has one, else v.
    Node resolve(const Node &v) const {
        std::optional<Node> name_node;
        std::string_view name;
        if (v.is_str()) {
            std::string_view s = pytext::strip(v.str());
            if (!s.starts_with("!Ref ")) return v;
            name = pytext::strip(s.substr(5));
        } else if (v.is_map()) {
            name_node = v.find("Ref");
            if (!name_node) return v;
            if (!name_node->is_str()) return v;  // no parameter has a name that is not text
            name = name_node->str();
        } else {
            return v;
        }
        if (!params) return v;
        auto param = params->find(name);
        if (!param || !param->is_map()) return v;
        auto def = param->find("Default");
        return def ? *def : v;
    }
};

}  // namespace

std::vector<Value> read_cloudformation(Node data) {
    if (!data.is_map())
        throw ShapeError(std::string("parse_cloudformation_data() argument 'data' must be dict, not ") + data.type_name());
    std::vector<Value> out;
    auto resources = data.find("Resources");
    if (!resources || !resources->is_map()) return out;
    Resolver r;
    // Parameters that are not a map hold nothing to substitute.
    if (auto p = data.find("Parameters"); p && p->is_map()) r.params = p;
    for (const auto &[logical_id, res] : resources->items()) {
        if (!res.is_map()) continue;
        std::string_view cf;
        if (auto t = res.find("Type")) {
            if (!t->is_str()) continue;  // e.g. a pre-processor's module map
            cf = t->str();
        }
        std::string type = cf_type_name(cf);
        Map props;
        auto raw = res.find("Properties");
        if (raw && raw->is_map()) {
            for (const auto &[key, value] : raw->items()) {
                Node rv = r.resolve(value);
                if (key == "Tags" && rv.is_list()) {
                    Map tags;
                    rv.each([&](Node el) {
                        if (!el.is_map()) return;
                        auto k = el.find("Key");
                        auto v = el.find("Value");
                        if (!k || !v || !k->is_str()) return;
                        tags.set(std::string(k->str()), json::to_value(r.resolve(*v)));
                    });
                    Map lifted;
                    for (const auto &[tk, tv] : tags)
                        if (tk.starts_with("tally_")) lifted.set(tk, tv);
                    props.set("tags", Value(std::move(tags)));
                    for (auto &[tk, tv] : lifted) props.set(tk, std::move(tv));
                } else {
                    props.set(std::string(translate_key(key)), json::to_value(rv));
                }
            }
        }
        out.push_back(make_record(Value(provider_of(type)), Value(type), Value(logical_id), std::move(props)));
    }
    return out;
}

bool read_template_text(const std::string &path, std::string &text, std::string &error) {
    if (!fs::read_utf8(path, text, error)) return false;
    if (text.starts_with("\xEF\xBB\xBF")) text.erase(0, 3);
    return true;
}

bool template_is_json(std::string_view text) { return pytext::strip(text).starts_with("{"); }

std::vector<Value> parse_cloudformation(const std::string &path, const Sink &out) {
    std::string text, error;
    if (!read_template_text(path, text, error)) {
        out(std::string(kCfReadError) + path + ": " + error);
        return {};
    }
    if (template_is_json(text)) {
        json::Document doc;
        if (!json::load(text, doc, error)) {
            out(std::string(kCfJsonError) + path + ": " + error);
            return {};
        }
        return read_cloudformation(doc.root());
    }
    Value root = parse_yaml(text);
    return read_cloudformation(json::Node(&root));
}

}  // namespace tw::stack
