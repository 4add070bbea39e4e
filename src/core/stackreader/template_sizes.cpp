// Sizes read across records: instance groups whose size lives on a launch or instance template
// of the same scan.
#include "core/stackreader/template_sizes.h"

#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace tw::stack {

namespace {

struct TemplateKind {
    const char *type;      // the template's resource type
    const char *size_key;  // where the template keeps its size
    const char *copy_to;   // the property a referrer receives
};

constexpr TemplateKind kTemplates[] = {
    {"aws_launch_template", "instance_type", kTemplateInstanceType},
    {"google_compute_instance_template", "machine_type", kTemplateMachineType},
    {"google_compute_region_instance_template", "machine_type", kTemplateMachineType},
};

struct Referrer {
    const char *type;
    const char *copy_to;
    std::initializer_list<const char *> own_size;  // a referrer with one of these keeps its own
};

const Referrer kReferrers[] = {
    {"aws_autoscaling_group", kTemplateInstanceType, {"instance_type", "instance_types", "InstanceType", "InstanceTypes"}},
    {"aws_eks_node_group", kTemplateInstanceType, {"instance_types", "instance_type", "InstanceTypes"}},
    {"google_compute_instance_group_manager", kTemplateMachineType, {"machine_type"}},
    {"google_compute_region_instance_group_manager", kTemplateMachineType, {"machine_type"}},
};

constexpr size_t kMaxDepth = 32;

const std::string *text_at(const Map &m, std::string_view key) {
    const Value *v = m.find(key);
    return v && v->is_str() && !v->as_str().empty() ? &v->as_str() : nullptr;
}

// A size as written, not an expression the reader could not resolve.
bool plain_size(const std::string &s) {
    if (s.size() > 200) return false;
    for (char ch : s)
        if (ch == ' ' || ch == '$' || ch == '{' || ch == '(' || ch == '[' || ch == '"') return false;
    return s.rfind("var.", 0) != 0 && s.rfind("local.", 0) != 0 && s.rfind("module.", 0) != 0;
}

// The record's name without a count index ("lt[0]" is "lt").
std::string base_name(const std::string &name) {
    size_t p = name.find('[');
    return p == std::string::npos ? name : name.substr(0, p);
}

bool ident_char(char ch) {
    return (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9') || ch == '_' || ch == '-';
}

// Sizes by "<copy_to>\n<reference>", a reference being "<type>.<name>" or, for launch templates,
// "name:<template name>". An empty size marks a reference that names templates of different
// sizes (the same address in several directories), which is not resolved.
using SizeIndex = std::unordered_map<std::string, std::string>;

void add_size(SizeIndex &index, std::string key, const std::string &size) {
    auto [it, fresh] = index.emplace(std::move(key), size);
    if (!fresh && it->second != size) it->second.clear();
}

// Every "<type>.<name>" a text names, for the template types that `copy_to` takes from.
void references_in(std::string_view text, const char *copy_to, std::vector<std::string> &out) {
    for (const auto &k : kTemplates) {
        if (std::string_view(k.copy_to) != copy_to) continue;
        std::string prefix = std::string(k.type) + ".";
        for (size_t at = text.find(prefix); at != std::string_view::npos; at = text.find(prefix, at + 1)) {
            if (at > 0 && ident_char(text[at - 1])) continue;  // the tail of a longer type name
            size_t end = at + prefix.size();
            while (end < text.size() && ident_char(text[end])) ++end;
            if (end > at + prefix.size()) out.emplace_back(text.substr(at, end - at));
        }
    }
}

void collect(const Value &v, const char *copy_to, std::vector<std::string> &out, size_t depth) {
    if (depth > kMaxDepth) return;
    if (v.is_str()) references_in(v.as_str(), copy_to, out);
    else if (v.is_list())
        for (const Value &e : v.as_list()) collect(e, copy_to, out, depth + 1);
    else if (v.is_map())
        for (const auto &[k, e] : v.as_map()) collect(e, copy_to, out, depth + 1);
}

// Launch template names given as text: `launch_template_name`, or `name` in a
// `launch_template` block (a map, or a list of maps). Terraform files flatten the block, so
// its `name` is read at the top level too, where a group's own name may stand: a launch
// template of the scan named like the group is taken as the group's.
void names_in(const Map &props, std::vector<std::string> &out) {
    if (const std::string *n = text_at(props, "launch_template_name")) out.push_back("name:" + *n);
    if (const std::string *n = text_at(props, "name")) out.push_back("name:" + *n);
    const Value *block = props.find("launch_template");
    if (!block) return;
    const Map *m = block->is_map() ? &block->as_map()
                   : block->is_list() && !block->as_list().empty() && block->as_list().front().is_map()
                       ? &block->as_list().front().as_map()
                       : nullptr;
    if (m)
        if (const std::string *n = text_at(*m, "name")) out.push_back("name:" + *n);
}

}  // namespace

void adopt_template_sizes(std::vector<Value> &records) {
    SizeIndex index;
    std::vector<size_t> referrers;
    for (size_t i = 0; i < records.size(); ++i) {
        if (!records[i].is_map()) continue;
        const Map &rec = records[i].as_map();
        const std::string *type = text_at(rec, "type");
        const Value *props = rec.find("properties");
        if (!type || !props || !props->is_map()) continue;
        for (const auto &k : kTemplates) {
            if (*type != k.type) continue;
            const std::string *size = text_at(props->as_map(), k.size_key);
            const std::string *name = text_at(rec, "name");
            if (!size || !name || !plain_size(*size)) continue;
            add_size(index, std::string(k.copy_to) + "\n" + k.type + "." + base_name(*name), *size);
            if (const std::string *own = text_at(props->as_map(), "name"); own && *type == "aws_launch_template")
                add_size(index, std::string(k.copy_to) + "\nname:" + *own, *size);
        }
        for (const auto &r : kReferrers)
            if (*type == r.type) referrers.push_back(i);
    }
    if (index.empty()) return;

    for (size_t i : referrers) {
        Map &rec = records[i].as_map();
        const std::string type = *text_at(rec, "type");
        const Map &props = rec.find("properties")->as_map();
        for (const auto &r : kReferrers) {
            if (type != r.type) continue;
            bool sized = false;
            for (const char *k : r.own_size)
                if (const Value *v = props.find(k); v && v->truthy()) sized = true;
            if (sized || props.contains(r.copy_to)) break;
            std::vector<std::string> refs;
            for (const auto &[k, v] : props) collect(v, r.copy_to, refs, 0);
            if (std::string_view(r.copy_to) == kTemplateInstanceType) names_in(props, refs);
            for (const auto &ref : refs) {
                auto it = index.find(std::string(r.copy_to) + "\n" + ref);
                if (it == index.end() || it->second.empty()) continue;
                // The properties may be shared with other records; the referrer gets its own copy.
                Map updated = props;
                updated.set(r.copy_to, Value(it->second));
                rec.set("properties", Value(std::move(updated)));
                break;
            }
            break;
        }
    }
}

}  // namespace tw::stack
