// Pulumi stack exports: deployment resources with type tokens, inputs and outputs.
#include "core/pytext.h"
#include "core/stackreader/formats.h"

namespace tw::stack {

using json::Node;

namespace {

[[noreturn]] void no_attr(const Node &n, const char *attr) {
    throw AttrError(std::string("'") + n.type_name() + "' object has no attribute '" + attr + "'");
}

std::vector<std::string_view> split(std::string_view s, std::string_view sep) {
    std::vector<std::string_view> parts;
    size_t start = 0;
    for (;;) {
        size_t p = s.find(sep, start);
        if (p == std::string_view::npos) break;
        parts.push_back(s.substr(start, p - start));
        start = p + sep.size();
    }
    parts.push_back(s.substr(start));
    return parts;
}

std::string pulumi_type(std::string_view token) {
    if (const char *t = mapped_type(pulumi_type_map(), token)) return t;
    auto parts = split(token, ":");
    if (parts.size() > 2) {
        std::string prefix = pytext::lower(parts[0]);
        if (prefix == "gcp") prefix = "google";
        else if (prefix == "azure") prefix = "azurerm";
        std::string snake;
        std::string_view member = parts[2];
        for (size_t i = 0; i < member.size(); ++i) {
            if (i > 0 && member[i] >= 'A' && member[i] <= 'Z') snake += '_';
            snake += member[i];
        }
        return prefix + "_" + pytext::lower(snake);
    }
    std::string t(token);
    for (char &c : t)
        if (c == ':' || c == '/') c = '_';
    return pytext::lower(t);
}

std::string_view translate_key(std::string_view k) {
    if (k == "instanceType" || k == "machineType" || k == "vmSize" || k == "size") return "instance_type";
    if (k == "instanceClass") return "instance_class";
    if (k == "allocatedStorage") return "allocated_storage";
    if (k == "memorySize") return "memory_size";
    return k;
}

// A copy of v whose maps also carry their keys' Terraform-style names.
Value translated(const Value &v, std::string_view type, int depth) {
    if (!v.is_map() || depth == 0) return v;
    Value out = make_map();
    for (const auto &[k, e] : v.as_map()) {
        out.as_map().set(k, e);
        std::string_view extra = extra_key("pulumi", type, k);
        if (extra.empty() && translate_key(k) != k) extra = translate_key(k);
        if (!extra.empty()) out.as_map().set(std::string(extra), translated(e, type, depth - 1));
    }
    return out;
}

constexpr int kNestedKeyDepth = 4;

}  // namespace

std::vector<Value> read_pulumi(Node data) {
    if (!data.is_map())
        throw ShapeError(std::string("parse_pulumi_json_data() argument 'data' must be dict, not ") + data.type_name());
    std::vector<Value> out;
    auto deployment = data.find("deployment");
    if (!deployment) return out;
    if (!deployment->is_map()) no_attr(*deployment, "get");
    auto resources = deployment->find("resources");
    if (!resources) return out;
    if (!resources->is_list())
        throw ShapeError(std::string("'resources' must be a list, not ") + resources->type_name());
    resources->each([&](Node entry) {
        if (!entry.is_map()) no_attr(entry, "get");
        std::string_view token;
        if (auto t = entry.find("type")) {
            if (!t->is_str()) no_attr(*t, "startswith");
            token = t->str();
        }
        if (token.starts_with("pulumi:") || token.find("providers:") != std::string_view::npos) return;
        std::string type = pulumi_type(token);
        std::string provider = provider_of(type);
        if (provider == "google") provider = "gcp";
        else if (provider == "azurerm") provider = "azure";
        auto n = entry.find("name");
        Value name = n ? json::to_value(*n) : Value("unnamed");
        Map merged;
        for (const char *part : {"inputs", "outputs"}) {
            auto m = entry.find(part);
            if (!m || !m->is_map()) continue;
            for (const auto &[k, v] : m->items()) merged.set(std::string(k), json::to_value(v));
        }
        Map props;
        for (auto &[k, v] : merged) {
            if (k == "tags" && v.is_map()) {
                props.set("tags", v);
                for (const auto &[tk, tv] : v.as_map())
                    if (tk.starts_with("tally_")) props.set(tk, tv);
            } else {
                std::string_view record_key = translate_key(k);
                std::string_view extra = extra_key("pulumi", type, k);
                if (extra.empty() || extra == record_key) {
                    props.set(std::string(record_key), std::move(v));
                    continue;
                }
                Value copy = translated(v, type, kNestedKeyDepth);
                props.set(std::string(record_key), std::move(v));
                props.set(std::string(extra), std::move(copy));
            }
        }
        out.push_back(make_record(Value(provider), Value(type), std::move(name), std::move(props)));
    });
    return out;
}

std::vector<Value> parse_pulumi_json(const std::string &path, const Sink &out) {
    json::Document doc;
    std::string error;
    try {
        if (!json::load_file(path, doc, error)) throw ShapeError(error);
        Node root = doc.root();
        return read_pulumi(root);
    } catch (const ShapeError &e) {
        out(std::string(kPulumiError) + path + ": " + e.what());
        return {};
    }
}

}  // namespace tw::stack
