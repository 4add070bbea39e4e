// The Terraform line reader's model of a file, scoped resolution and instances.
#include "core/stackreader/tfmodel.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <type_traits>

#include "core/pytext.h"
#include "core/reckoner/estimator.h"
#include "core/regex.h"

namespace tw::stack {

namespace {
const Regex &resource_head() {
    static const Regex r(kResourcePattern);
    return r;
}
const Regex &module_head() {
    static const Regex r(R"re(^module\s+"([^"]+)"\s*\{)re");
    return r;
}
const Regex &provider_head() {
    static const Regex r(R"re(^provider\s+"([^"]+)"\s*\{)re");
    return r;
}
const Regex &assignment() {
    static const Regex r(kAssignmentPattern);
    return r;
}

long count_char(std::string_view s, char c) {
    long n = 0;
    const char *p = s.data(), *end = p + s.size();
    while ((p = static_cast<const char *>(std::memchr(p, c, size_t(end - p))))) {
        ++n;
        ++p;
    }
    return n;
}
long brace_balance(std::string_view s) { return count_char(s, '{') - count_char(s, '}'); }
long bracket_balance(std::string_view s) {
    long n = 0;
    for (char c : s) n += (c == '{' || c == '[' || c == '(') - (c == '}' || c == ']' || c == ')');
    return n;
}

}  // namespace

bool split_assignment(std::string_view line, std::string_view &key, std::string_view &value, Regex::Match &m) {
    bool plain = true;
    for (char c : line) plain &= (c >= 0x20 && c < 0x7f) || c == '\t';
    if (!plain) {
        if (!assignment().match(line, m)) return false;
        key = m.group(line, 1);
        value = m.group(line, 2);
        return true;
    }
    auto blank = [](char c) { return c == ' ' || c == '\t'; };
    auto key_char = [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
    };
    size_t i = 0, n = line.size();
    while (i < n && blank(line[i])) ++i;
    size_t k = i;
    while (i < n && (key_char(line[i]))) ++i;
    if (i == k) return false;
    key = line.substr(k, i - k);
    while (i < n && blank(line[i])) ++i;
    if (i == n || line[i] != '=') return false;
    size_t after = ++i;
    while (i < n && blank(line[i])) ++i;
    if (i < n) value = line.substr(i);
    else if (after < n) value = line.substr(n - 1);  // only blanks: the pattern keeps the last one
    else return false;
    return true;
}

namespace {
enum class Block { None, Resource, Module, Provider };
}  // namespace

TfFileModel read_tf_model(std::string_view text) { return read_tf_model(text, nullptr); }

TfFileModel read_tf_model(std::string_view text, const ResourceSink &on_resource) {
    TfFileModel model;
    Block block = Block::None;
    long brace_count = 0;
    TfResource res;
    TfModuleCall call;
    TfProvider prov;
    // A top-level value that spans lines: where it goes and its bracket balance.
    std::string *capture = nullptr;
    long capture_balance = 0;
    Regex::Match m;

    auto finish = [&]() {
        if (block == Block::Resource) {
            if (on_resource) on_resource(std::move(res));
            else model.resources.push_back(std::move(res));
        }
        else if (block == Block::Module) model.modules.push_back(std::move(call));
        else if (block == Block::Provider) model.providers.push_back(std::move(prov));
        block = Block::None;
        capture = nullptr;
    };
    auto open = [&](Block kind, std::string_view stripped) {
        block = kind;
        capture = nullptr;
        brace_count = brace_balance(stripped);
        if (brace_count == 0) finish();
    };

    for (std::string_view line : pytext::split_newlines(text)) {
        std::string_view stripped = pytext::strip(line);
        if (stripped.starts_with("#") || stripped.starts_with("//")) continue;
        // A resource head is taken anywhere outside a resource block.
        bool has_brace = block != Block::Resource && stripped.find('{') != std::string_view::npos;
        if (has_brace && stripped.find("resource") != std::string_view::npos && resource_head().search(stripped, m)) {
            if (block != Block::None) block = Block::None;  // an unclosed module or provider block ends here
            res = TfResource();
            res.type = std::string(m.group(stripped, 1));
            res.name = std::string(m.group(stripped, 2));
            res.attrs.reserve(8);
            open(Block::Resource, stripped);
            continue;
        }
        if (block == Block::None) {
            if (!has_brace) continue;
            if (stripped.starts_with("module") && module_head().match(stripped, m)) {
                call = TfModuleCall();
                call.name = std::string(m.group(stripped, 1));
                open(Block::Module, stripped);
            } else if (stripped.starts_with("provider") && provider_head().match(stripped, m)) {
                prov = TfProvider();
                prov.name = std::string(m.group(stripped, 1));
                open(Block::Provider, stripped);
            }
            continue;
        }
        long depth_before = brace_count;
        brace_count += brace_balance(stripped);
        bool in_capture = capture != nullptr;
        if (capture) {
            std::string_view part = comment_cut(stripped);
            *capture += '\n';
            *capture += part;
            capture_balance += bracket_balance(part);
            if (capture_balance <= 0) capture = nullptr;
        }
        if (brace_count <= 0) {
            finish();
            continue;
        }
        std::string_view key_text, value_text;
        if (stripped.find('=') == std::string_view::npos || !split_assignment(stripped, key_text, value_text, m))
            continue;
        std::string key(key_text);
        std::string_view cut = comment_cut(value_text);
        std::string raw(unquote(cut));
        bool top = depth_before == 1 && !in_capture;
        std::string *target = nullptr;  // where a top-level value is kept
        if (block == Block::Resource) {
            if (top && (key[0] == 'c' || key[0] == 'f' || key[0] == 'p')) {
                std::optional<std::string> *slot = key == "count"      ? &res.count
                                                   : key == "for_each" ? &res.for_each
                                                   : key == "provider" ? &res.provider
                                                                       : nullptr;
                if (slot) target = &slot->emplace(raw);
            }
            res.attrs.push_back({std::move(key), Value(std::move(raw))});
        } else if (block == Block::Module) {
            if (!top) continue;
            std::optional<std::string> *slot = key == "source"      ? &call.source
                                               : key == "count"     ? &call.count
                                               : key == "for_each"  ? &call.for_each
                                               : key == "providers" ? &call.providers
                                                                    : nullptr;
            if (slot) target = &slot->emplace(raw);
            else if (key != "version" && key != "depends_on") {
                call.args.push_back({key, Value(raw)});
                target = &call.args.back().raw.as_str();
            }
        } else if (block == Block::Provider && top) {
            if (key == "alias") prov.alias = raw;
            else if (key == "region") prov.region = raw;
            else if (key == "zone") prov.zone = raw;
        }
        if (target) {
            long bal = bracket_balance(cut);
            if (bal > 0) {
                // The value opens a list, map or call: keep it whole.
                *target = std::string(cut);
                capture = target;
                capture_balance = bal;
            }
        }
    }
    return model;
}

std::optional<int64_t> whole_count(const Value &v) {
    if (v.is_int()) {
        if (v.as_int() >= 0) return v.as_int();
    } else if (v.is_float()) {
        double d = v.as_float();
        if (d >= 0 && d < 9e15 && std::floor(d) == d) return int64_t(d);
    }
    return std::nullopt;
}

namespace {
// A small reader of HCL/JSON literal collections. Scalars keep the reader's value kinds:
// quoted strings are text, bare numbers go through number conversion, other bare words
// (true, null, references) stay text.
class Literal {
public:
    explicit Literal(std::string_view s) : s_(s) {}
    std::optional<Value> parse() {
        auto v = value(0);
        skip();
        if (!v || i_ != s_.size()) return std::nullopt;
        return v;
    }

private:
    static constexpr int kMaxDepth = 64;
    void skip() {
        while (i_ < s_.size()) {
            char c = s_[i_];
            if (c == ' ' || c == '\t' || c == '\n' || c == '\r') ++i_;
            else if (c == '#' || (c == '/' && i_ + 1 < s_.size() && s_[i_ + 1] == '/')) {
                while (i_ < s_.size() && s_[i_] != '\n') ++i_;
            } else break;
        }
    }
    bool eat(char c) {
        skip();
        if (i_ < s_.size() && s_[i_] == c) {
            ++i_;
            return true;
        }
        return false;
    }
    std::optional<std::string> quoted() {
        std::string out;
        ++i_;  // opening quote
        while (i_ < s_.size()) {
            char c = s_[i_++];
            if (c == '"') return out;
            if (c == '\\' && i_ < s_.size()) {
                char e = s_[i_++];
                out += e == 'n' ? '\n' : e == 't' ? '\t' : e;
            } else out += c;
        }
        return std::nullopt;
    }
    std::string bare() {
        size_t start = i_;
        while (i_ < s_.size()) {
            char c = s_[i_];
            if (c == ',' || c == ']' || c == '}' || c == '=' || c == ':' || c == '\n' || c == ' ' || c == '\t' ||
                c == '\r' || c == '#')
                break;
            ++i_;
        }
        return std::string(s_.substr(start, i_ - start));
    }
    std::optional<Value> value(int depth) {
        if (depth > kMaxDepth) return std::nullopt;
        skip();
        if (i_ >= s_.size()) return std::nullopt;
        char c = s_[i_];
        if (c == '"') {
            auto q = quoted();
            if (!q) return std::nullopt;
            return Value(std::move(*q));
        }
        if (c == '[') {
            ++i_;
            List items;
            while (!eat(']')) {
                auto v = value(depth + 1);
                if (!v) return std::nullopt;
                items.push_back(std::move(*v));
                if (!eat(',')) {
                    if (!eat(']')) return std::nullopt;
                    break;
                }
            }
            return Value(std::move(items));
        }
        if (c == '{') {
            ++i_;
            Map items;
            while (!eat('}')) {
                skip();
                if (i_ >= s_.size()) return std::nullopt;
                std::string key;
                if (s_[i_] == '"') {
                    auto q = quoted();
                    if (!q) return std::nullopt;
                    key = std::move(*q);
                } else key = bare();
                if (key.empty() || !(eat('=') || eat(':'))) return std::nullopt;
                auto v = value(depth + 1);
                if (!v) return std::nullopt;
                items.set(std::move(key), std::move(*v));
                eat(',');
            }
            return Value(std::move(items));
        }
        std::string word = bare();
        if (word.empty()) return std::nullopt;
        return number_or_text(word);
    }

    std::string_view s_;
    size_t i_ = 0;
};
}  // namespace

std::optional<Value> parse_literal(std::string_view text) {
    std::string_view t = pytext::strip(text);
    for (std::string_view fn : {"toset(", "tolist(", "tomap("}) {
        if (t.starts_with(fn) && t.ends_with(")")) {
            t = pytext::strip(t.substr(fn.size(), t.size() - fn.size() - 1));
            break;
        }
    }
    if (!t.starts_with("[") && !t.starts_with("{")) return std::nullopt;
    return Literal(t).parse();
}

std::optional<std::vector<std::pair<std::string, Value>>> for_each_items(const Value &collection) {
    std::optional<Value> parsed;
    const Value *c = &collection;
    if (collection.is_str()) {
        parsed = parse_literal(collection.as_str());
        if (!parsed) return std::nullopt;
        c = &*parsed;
    }
    std::vector<std::pair<std::string, Value>> items;
    if (c->is_map()) {
        for (const auto &kv : c->as_map()) items.emplace_back(kv.first, kv.second);
    } else if (c->is_list()) {
        // A set of texts: each element is its own key.
        for (const Value &v : c->as_list()) {
            if (v.is_list() || v.is_map()) return std::nullopt;
            items.emplace_back(pytext::str_of(v), Value(pytext::str_of(v)));
        }
    } else return std::nullopt;
    std::stable_sort(items.begin(), items.end(), [](const auto &a, const auto &b) { return a.first < b.first; });
    items.erase(std::unique(items.begin(), items.end(), [](const auto &a, const auto &b) { return a.first == b.first; }),
                items.end());
    return items;
}

namespace {
// A resolved provider setting that names a place (not a reference left as text).
bool usable_place(const Value &v) {
    if (!v.is_str() || v.as_str().empty()) return false;
    const std::string &s = v.as_str();
    return s.find("var.") == std::string::npos && s.find("local.") == std::string::npos &&
           s.find("${") == std::string::npos && s.find('(') == std::string::npos;
}
}  // namespace

void add_provider_regions(const std::vector<TfProvider> &providers, const Scope &scope, ProviderRegions &out) {
    for (const auto &p : providers) {
        std::string key = p.alias ? p.name + "." + std::string(unquote(*p.alias)) : p.name;
        const std::optional<std::string> &raw = p.region ? p.region : p.zone;
        if (!raw) continue;
        Value v = resolve_scoped(Value(*raw), scope);
        if (usable_place(v)) out[key] = {p.region ? "region" : "zone", std::move(v)};
    }
}

std::optional<Instances> expand_instances(const Value *count, const Value *for_each, const std::string &label,
                                          const Sink *sink) {
    Instances instances;
    if (count) {
        auto n = whole_count(*count);
        if (!n) return std::nullopt;
        int64_t k = *n;
        if (k > kMaxInstances) {
            if (sink)
                (*sink)(label + ": count " + std::to_string(k) + " is more than " + std::to_string(kMaxInstances) +
                        "; priced as " + std::to_string(kMaxInstances));
            k = kMaxInstances;
        }
        for (int64_t i = 0; i < k; ++i) {
            Map b;
            b.set("count.index", Value(i));
            instances.emplace_back("[" + std::to_string(i) + "]", std::move(b));
        }
        return instances;
    }
    if (!for_each) return std::nullopt;
    auto items = for_each_items(*for_each);
    if (!items) return std::nullopt;
    if (int64_t(items->size()) > kMaxInstances) items->resize(size_t(kMaxInstances));
    for (auto &kv : *items) {
        Map b;
        b.set("each.key", Value(kv.first));
        b.set("each.value", std::move(kv.second));
        instances.emplace_back("[\"" + kv.first + "\"]", std::move(b));
    }
    return instances;
}

namespace {
template <class Res>
void instantiate(Res &&res, const Scope &scope, const ProviderRegions *regions, bool for_each,
                 const std::string &prefix, const Resolver *resolver, std::vector<Value> &out, const Sink *sink) {
    constexpr bool consume = !std::is_lvalue_reference_v<Res>;
    auto resolve = [&](const Value &raw, const Scope &s) {
        return resolver ? (*resolver)(raw) : resolve_scoped(raw, s);
    };
    Instances instances;
    bool expanded = false;
    if (res.count || (for_each && res.for_each)) {
        std::optional<Instances> made;
        std::string label = "Resource '" + prefix + res.type + "." + res.name + "'";
        if (res.count) {
            Value n = resolve(Value(*res.count), scope);
            made = expand_instances(&n, nullptr, label, sink);
        } else {
            Value coll = resolve(Value(*res.for_each), scope);
            made = expand_instances(nullptr, &coll, label, sink);
        }
        if (made) {
            expanded = true;
            instances = std::move(*made);
            if (instances.empty()) return;
        }
    }

    // The provider configuration of the resource: its provider argument, else the default one.
    const std::pair<std::string, Value> *place = nullptr;
    if (regions && !regions->empty()) {
        std::string key = res.provider ? std::string(pytext::strip(*res.provider)) : provider_of(res.type);
        auto it = regions->find(key);
        if (it != regions->end()) place = &it->second;
    }

    // An instance made by for_each does not carry the whole collection: its key is in its name.
    bool by_for_each = expanded && !res.count;
    auto make = [&](const Scope &s, std::string name, bool last) {
        Map props;
        props.reserve(res.attrs.size() + 1);
        // An argument that resolves to null is absent, as Terraform treats it.
        if (consume && last) {
            for (auto &a : res.attrs)
                if (!by_for_each || a.key != "for_each")
                    if (Value v = resolve(a.raw, s); !v.is_null()) props.set(std::move(a.key), std::move(v));
        } else {
            for (const auto &a : res.attrs)
                if (!by_for_each || a.key != "for_each")
                    if (Value v = resolve(a.raw, s); !v.is_null()) props.set(a.key, std::move(v));
        }
        if (place) {
            bool has_region = false;
            for (const char *k : reckon::kRegionKeys)
                if (props.contains(k)) has_region = true;
            if (!has_region) props.set(place->first, place->second);
        }
        out.push_back(make_record(Value(provider_of(res.type)), Value(res.type), Value(std::move(name)), std::move(props)));
    };
    std::string base = prefix.empty() ? res.name : prefix + res.type + "." + res.name;
    if (!expanded) {
        make(scope, std::move(base), true);
        return;
    }
    for (size_t i = 0; i < instances.size(); ++i) {
        Scope s = scope;
        s.bindings = &instances[i].second;
        make(s, base + instances[i].first, i + 1 == instances.size());
    }
}
}  // namespace

void instantiate_resource(const TfResource &res, const Scope &scope, const ProviderRegions *regions,
                          bool for_each, const std::string &prefix, const Resolver *resolver,
                          std::vector<Value> &out, const Sink *sink) {
    instantiate(res, scope, regions, for_each, prefix, resolver, out, sink);
}

void instantiate_resource(TfResource &&res, const Scope &scope, const ProviderRegions *regions,
                          bool for_each, const std::string &prefix, const Resolver *resolver,
                          std::vector<Value> &out, const Sink *sink) {
    instantiate(std::move(res), scope, regions, for_each, prefix, resolver, out, sink);
}

}  // namespace tw::stack
