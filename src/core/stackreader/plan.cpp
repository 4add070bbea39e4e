// Terraform plan JSON: planned resources of the root module and every child module, with
// the resource changes as fallback when the planned values hold none.
#include "core/stackreader/formats.h"

namespace tw::stack {

using json::Node;

namespace {

[[noreturn]] void no_attr(const Node &n, const char *attr) {
    throw AttrError(std::string("'") + n.type_name() + "' object has no attribute '" + attr + "'");
}

// A map entry that must be a map when present; absent gives nothing.
std::optional<Node> map_at(const Node &owner, std::string_view key) {
    auto n = owner.find(key);
    if (n && !n->is_map()) no_attr(*n, "get");
    return n;
}

// A list entry of a module or plan that must be a list when present.
std::optional<Node> list_at(const Node &owner, std::string_view key) {
    auto n = owner.find(key);
    if (n && !n->is_list())
        throw ShapeError("'" + std::string(key) + "' must be a list, not " + n->type_name());
    return n;
}

std::string plan_provider(const Node &entry) {
    std::string_view pn;
    if (auto p = entry.find("provider_name")) {
        if (!p->is_str()) no_attr(*p, "split");
        pn = p->str();
    }
    size_t slash = pn.rfind('/');
    std::string_view last = slash == std::string_view::npos ? pn : pn.substr(slash + 1);
    if (!last.empty()) return std::string(last);
    auto t = entry.find("type");
    if (t && t->is_str() && !t->str().empty()) return provider_of(t->str());
    return "unknown";
}

// A data source read by the plan: not something the configuration creates.
bool is_data(const Node &entry) {
    auto mode = entry.find("mode");
    return mode && mode->is_str() && mode->str() == "data";
}

PlanRecord make_plan_record(const Node &entry) {
    if (!entry.is_map()) no_attr(entry, "get");
    PlanRecord r;
    r.provider = plan_provider(entry);
    r.type = entry.find("type");
    r.name = entry.find("name");
    return r;
}

}  // namespace

std::vector<PlanRecord> read_plan(Node data) {
    if (!data.is_map())
        throw ShapeError(std::string("parse_plan_json_data() argument 'data' must be dict, not ") + data.type_name());
    std::vector<Node> entries;
    if (auto planned = map_at(data, "planned_values")) {
        if (auto root = map_at(*planned, "root_module")) {
            // Depth first, a module's own resources before those of its children.
            std::vector<Node> todo{*root};
            std::vector<Node> kids;
            while (!todo.empty()) {
                Node module = todo.back();
                todo.pop_back();
                if (!module.is_map()) no_attr(module, "get");
                if (auto res = list_at(module, "resources"))
                    res->each([&](Node e) {
                        if (!e.is_map() || !is_data(e)) entries.push_back(e);
                    });
                if (auto children = list_at(module, "child_modules")) {
                    kids.clear();
                    children->each([&](Node k) { kids.push_back(k); });
                    todo.insert(todo.end(), kids.rbegin(), kids.rend());
                }
            }
        }
    }
    std::vector<PlanRecord> out;
    if (!entries.empty()) {
        out.reserve(entries.size());
        for (const Node &e : entries) {
            PlanRecord r = make_plan_record(e);
            auto values = e.find("values");
            if (values && values->truthy()) r.properties = values;
            else r.properties = e.find("properties");
            out.push_back(std::move(r));
        }
        return out;
    }
    auto changes = list_at(data, "resource_changes");
    if (!changes) return out;
    changes->each([&](Node e) {
        if (!e.is_map()) no_attr(e, "get");
        if (is_data(e)) return;
        auto change = e.find("change");
        if (!change) return;
        if (!change->is_map()) no_attr(*change, "get");
        auto after = change->find("after");
        if (!after || after->is_null()) return;
        PlanRecord r = make_plan_record(e);
        if (after->truthy()) r.properties = after;
        out.push_back(std::move(r));
    });
    return out;
}

std::vector<Value> plan_values(const std::vector<PlanRecord> &records) {
    std::vector<Value> out;
    out.reserve(records.size());
    for (const auto &r : records) {
        Value props = r.properties ? json::to_value(*r.properties) : make_map();
        Map *pm = props.is_map() ? &props.as_map() : nullptr;
        Value rec = make_record(Value(r.provider), r.type ? json::to_value(*r.type) : Value(),
                                r.name ? json::to_value(*r.name) : Value(), pm ? std::move(*pm) : Map{});
        // Properties of another shape are passed through as they are.
        if (!pm) rec.as_map().set("properties", std::move(props));
        out.push_back(std::move(rec));
    }
    return out;
}

std::vector<Value> parse_plan_json(const std::string &path, const Sink &out) {
    json::Document doc;
    std::string error;
    try {
        if (!json::load_file(path, doc, error)) throw ShapeError(error);
        Node root = doc.root();
        return plan_values(read_plan(root));
    } catch (const ShapeError &e) {
        out(std::string(kPlanError) + path + ": " + e.what());
        return {};
    }
}

}  // namespace tw::stack
