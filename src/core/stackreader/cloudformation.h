// Conversion of a CloudFormation template into Resource records: resource types mapped to
// Terraform-style names, parameter references with defaults substituted, a few property
// keys translated, Tags made a map. What cannot be read is skipped at the smallest unit: a
// tag, a resource's properties, a resource.
//
// The conversion reads the template through a node type N (json::Node, or a host object
// view) and builds records with a builder B, so that the result needs no second conversion.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/pytext.h"
#include "core/stackreader/formats.h"

namespace tw::stack::cf {

std::string type_name(std::string_view cf_type);

// How deep the readers look into maps under a translated key for keys to translate.
inline constexpr int kNestedKeyDepth = 4;

inline std::string_view translate_key(std::string_view k) {
    if (k == "InstanceType") return "instance_type";
    if (k == "InstanceClass") return "instance_class";
    if (k == "AllocatedStorage") return "allocated_storage";
    if (k == "MemorySize") return "memory_size";
    return k;
}

// N provides is_map(), is_list(), is_str(), str(), find(key), items() (first position, last
// value), each(f) and type_name(). B provides Obj, map(), set(map, key, value), from(node)
// and record(provider, type, name, properties).
template <class N, class B> std::vector<typename B::Obj> convert(const N &data, B &b) {
    using Obj = typename B::Obj;
    if (!data.is_map())
        throw ShapeError(std::string("parse_cloudformation_data() argument 'data' must be dict, not ") +
                         data.type_name());
    std::vector<Obj> out;
    auto resources = data.find("Resources");
    if (!resources || !resources->is_map()) return out;
    // Parameters that are not a map hold nothing to substitute.
    std::optional<N> params;
    if (auto p = data.find("Parameters"); p && p->is_map()) params = p;

    // The parameter's Default for a reference to a parameter that has one, else v.
    auto resolve = [&](const N &v) -> N {
        std::string_view name;
        if (v.is_str()) {
            std::string_view s = pytext::strip(v.str());
            if (!s.starts_with("!Ref ")) return v;
            name = pytext::strip(s.substr(5));
        } else if (v.is_map()) {
            auto ref = v.find("Ref");
            if (!ref || !ref->is_str()) return v;  // no parameter has a name that is not text
            name = ref->str();
        } else {
            return v;
        }
        if (!params) return v;
        auto param = params->find(name);
        if (!param || !param->is_map()) return v;
        auto def = param->find("Default");
        return def ? *def : v;
    };

    // A copy of v whose maps also carry their keys' Terraform-style names.
    auto translated = [&](auto &self, const N &v, std::string_view type, int depth) -> Obj {
        if (!v.is_map() || depth == 0) return b.from(v);
        Obj m = b.map();
        for (const auto &[k, e] : v.items()) {
            b.set(m, k, b.from(e));
            std::string_view extra = extra_key("cloudformation", type, k);
            if (extra.empty() && translate_key(k) != k) extra = translate_key(k);
            if (!extra.empty()) b.set(m, extra, self(self, e, type, depth - 1));
        }
        return m;
    };

    for (const auto &[logical_id, res] : resources->items()) {
        if (!res.is_map()) continue;
        std::string_view cf_type;
        if (auto t = res.find("Type")) {
            if (!t->is_str()) continue;  // e.g. a pre-processor's module map
            cf_type = t->str();
        }
        std::string type = type_name(cf_type);
        Obj props = b.map();
        auto raw = res.find("Properties");
        if (raw && raw->is_map()) {
            for (const auto &[key, value] : raw->items()) {
                N rv = resolve(value);
                if (key == "Tags" && rv.is_list()) {
                    std::vector<std::pair<std::string_view, N>> tags;
                    std::unordered_map<std::string_view, size_t> seen;
                    rv.each([&](const N &el) {
                        if (!el.is_map()) return;
                        auto k = el.find("Key");
                        auto v = el.find("Value");
                        if (!k || !v || !k->is_str()) return;
                        auto [it, fresh] = seen.emplace(k->str(), tags.size());
                        if (fresh) tags.emplace_back(k->str(), resolve(*v));
                        else tags[it->second].second = resolve(*v);
                    });
                    Obj tag_map = b.map();
                    for (const auto &[tk, tv] : tags) b.set(tag_map, tk, b.from(tv));
                    b.set(props, "tags", std::move(tag_map));
                    for (const auto &[tk, tv] : tags)
                        if (tk.starts_with("tally_")) b.set(props, tk, b.from(tv));
                } else {
                    std::string_view record_key = translate_key(key);
                    b.set(props, record_key, b.from(rv));
                    if (auto extra = extra_key("cloudformation", type, key); !extra.empty() && extra != record_key)
                        b.set(props, extra, translated(translated, rv, type, kNestedKeyDepth));
                }
            }
        }
        out.push_back(b.record(provider_of(type), type, logical_id, std::move(props)));
    }
    return out;
}

}  // namespace tw::stack::cf
