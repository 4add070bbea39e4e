// Sizes read across records: instance groups whose size lives on a launch or instance template
// of the same scan.
#include "core/stackreader/template_sizes.h"

#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/pytext.h"
#include "core/reckoner/estimator.h"

namespace tw::stack {

namespace {

struct TemplateKind {
    const char *type;      // the template's resource type
    const char *size_key;  // where the template keeps its size
    const char *copy_to;   // the property a referrer receives
};

constexpr TemplateKind kTemplates[] = {
    {"aws_launch_template", "instance_type", kTemplateInstanceType},
    {"aws_launch_configuration", "instance_type", kLaunchConfigurationInstanceType},
    {"google_compute_instance_template", "machine_type", kTemplateMachineType},
    {"google_compute_region_instance_template", "machine_type", kTemplateMachineType},
    {"google_compute_node_template", "node_type", kTemplateNodeType},
};

struct Referrer {
    const char *type;
    const char *copy_to;
    std::initializer_list<const char *> own_size;  // a referrer with one of these keeps its own
};

const Referrer kReferrers[] = {
    {"aws_autoscaling_group", kTemplateInstanceType, {"instance_type", "instance_types", "InstanceType", "InstanceTypes"}},
    {"aws_autoscaling_group", kLaunchConfigurationInstanceType, {"instance_type", "instance_types", "InstanceType", "InstanceTypes"}},
    {"aws_eks_node_group", kTemplateInstanceType, {"instance_types", "instance_type", "InstanceTypes"}},
    {"google_compute_instance_group_manager", kTemplateMachineType, {"machine_type"}},
    {"google_compute_region_instance_group_manager", kTemplateMachineType, {"machine_type"}},
    {"google_compute_node_group", kTemplateNodeType, {"node_type"}},
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
            if (at > 0 && pytext::is_ident_char(text[at - 1])) continue;  // the tail of a longer type name
            size_t end = at + prefix.size();
            while (end < text.size() && pytext::is_ident_char(text[end])) ++end;
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

// A nested block as a map: `key` itself (a map, or a list whose first element is a map), else
// the Terraform reader's entry for it.
const Map *block_in(const Map &props, std::initializer_list<std::string_view> keys) {
    auto first = [](const Value *b) -> const Map * {
        if (!b) return nullptr;
        if (b->is_map()) return &b->as_map();
        if (b->is_list() && !b->as_list().empty() && b->as_list().front().is_map()) return &b->as_list().front().as_map();
        return nullptr;
    };
    const Value *all = props.find(reckon::kBlocksKey);
    for (std::string_view k : keys) {
        if (const Map *m = first(props.find(k))) return m;
        if (all && all->is_map())
            if (const Map *m = first(all->as_map().find(k))) return m;
    }
    return nullptr;
}

// The logical ID a CloudFormation reference names: "!Ref X" or {"Ref": "X"}.
const std::string *ref_target(const Value *v, std::string &buf) {
    if (!v) return nullptr;
    if (v->is_map()) return text_at(v->as_map(), "Ref");
    if (!v->is_str() || v->as_str().rfind("!Ref ", 0) != 0) return nullptr;
    buf = v->as_str().substr(5);
    while (!buf.empty() && buf.back() == ' ') buf.pop_back();
    while (!buf.empty() && buf.front() == ' ') buf.erase(0, 1);
    return buf.empty() ? nullptr : &buf;
}

// Names given as text. Launch templates: `launch_template_name`, or `name` in a
// `launch_template` block (CloudFormation: its `LaunchTemplateName`, or `LaunchTemplateId`
// as a reference). Terraform files flatten the block, so its `name` is read at the top
// level too, where a group's own name may stand: a launch template of the scan named like the
// group is taken as the group's. Launch configurations: `launch_configuration` or
// `LaunchConfigurationName`, by name or by a template's reference.
void names_in(const Map &props, const char *copy_to, std::vector<std::string> &out) {
    if (std::string_view(copy_to) == kLaunchConfigurationInstanceType) {
        std::string buf;
        for (const char *k : {"launch_configuration", "LaunchConfigurationName"}) {
            if (const std::string *id = ref_target(props.find(k), buf)) out.push_back("ref:" + *id);
            else if (const std::string *n = text_at(props, k)) out.push_back("name:" + *n);
        }
        return;
    }
    if (const std::string *n = text_at(props, "launch_template_name")) out.push_back("name:" + *n);
    if (const std::string *n = text_at(props, "name")) out.push_back("name:" + *n);
    if (const Map *m = block_in(props, {"launch_template", "LaunchTemplate", "launchTemplate"})) {
        for (const char *k : {"name", "LaunchTemplateName"})
            if (const std::string *n = text_at(*m, k)) out.push_back("name:" + *n);
        std::string buf;
        if (const std::string *id = ref_target(m->find("LaunchTemplateId"), buf)) out.push_back("ref:" + *id);
    }
}

// The first instance type among a mixed instances policy's overrides.
const std::string *mixed_override_type(const Map &props) {
    const Map *policy = block_in(props, {"mixed_instances_policy", "MixedInstancesPolicy", "mixedInstancesPolicy"});
    const Map *lt = policy ? block_in(*policy, {"launch_template", "LaunchTemplate", "launchTemplate"}) : nullptr;
    if (!lt) return nullptr;
    for (const char *k : {"override", "Overrides", "overrides"}) {
        const Value *o = lt->find(k);
        if (!o) continue;
        auto type_of = [](const Value &e) -> const std::string * {
            if (!e.is_map()) return nullptr;
            for (const char *t : {"instance_type", "InstanceType", "instanceType"})
                if (const std::string *s = text_at(e.as_map(), t)) return s;
            return nullptr;
        };
        if (o->is_map()) return type_of(*o);
        if (o->is_list())
            for (const Value &e : o->as_list())
                if (const std::string *s = type_of(e)) return s;
    }
    return nullptr;
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
            // A CloudFormation launch template keeps its size in its data.
            if (const Value *d = props->as_map().find("LaunchTemplateData"); !size && d && d->is_map())
                size = text_at(d->as_map(), "InstanceType");
            const std::string *name = text_at(rec, "name");
            if (!size || !name || !plain_size(*size)) continue;
            add_size(index, std::string(k.copy_to) + "\n" + k.type + "." + base_name(*name), *size);
            if (*type == "aws_launch_template" || *type == "aws_launch_configuration")
                for (const char *nk : {"name", "LaunchConfigurationName", "LaunchTemplateName"})
                    if (const std::string *own = text_at(props->as_map(), nk))
                        add_size(index, std::string(k.copy_to) + "\nname:" + *own, *size);
            if (*type == "aws_launch_template" || *type == "aws_launch_configuration")
                add_size(index, std::string(k.copy_to) + "\nref:" + *name, *size);
        }
        for (const auto &r : kReferrers)
            if (*type == r.type) {
                referrers.push_back(i);
                break;
            }
    }

    for (size_t i : referrers) {
        Map &rec = records[i].as_map();
        const std::string type = *text_at(rec, "type");
        // The properties may be shared with other records; a referrer that gains a size gets
        // its own copy.
        const Map *props = &rec.find("properties")->as_map();
        Map updated;
        bool changed = false;
        auto set = [&](const char *key, const std::string &size) {
            if (!changed) {
                updated = *props;
                props = &updated;
                changed = true;
            }
            updated.set(key, Value(size));
        };
        if (type == "aws_autoscaling_group" && !props->contains(kMixedInstanceType))
            if (const std::string *t = mixed_override_type(*props); t && plain_size(*t)) set(kMixedInstanceType, *t);
        for (const auto &r : kReferrers) {
            if (type != r.type || index.empty()) continue;
            bool sized = false;
            for (const char *k : r.own_size)
                if (const Value *v = props->find(k); v && v->truthy()) sized = true;
            if (sized || props->contains(r.copy_to)) continue;
            std::vector<std::string> refs;
            for (const auto &[k, v] : *props) collect(v, r.copy_to, refs, 0);
            if (std::string_view(r.copy_to) != kTemplateMachineType && std::string_view(r.copy_to) != kTemplateNodeType)
                names_in(*props, r.copy_to, refs);
            for (const auto &ref : refs) {
                auto it = index.find(std::string(r.copy_to) + "\n" + ref);
                if (it == index.end() || it->second.empty()) continue;
                set(r.copy_to, it->second);
                break;
            }
        }
        if (changed) rec.set("properties", Value(std::move(updated)));
    }
}

}  // namespace tw::stack
