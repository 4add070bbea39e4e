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

// Nested blocks deeper than this are read for their attributes only.
constexpr size_t kMaxBlockDepth = 32;

// Calls f(position, character) for each character of `s` outside quoted strings (the
// interpolations inside a string are code again); f returns false to stop.
template <class F>
void each_code_char(std::string_view s, F &&f) {
    bool in_str = false;
    std::vector<int> interps;  // brace depth of each open ${ ... }
    for (size_t i = 0; i < s.size(); ++i) {
        char c = s[i];
        if (in_str) {
            if (c == '\\') ++i;
            else if (c == '"') in_str = false;
            else if (c == '$' && i + 1 < s.size() && s[i + 1] == '{') {
                interps.push_back(0);
                in_str = false;
                ++i;
            }
            continue;
        }
        if (c == '"') {
            in_str = true;
            continue;
        }
        if (!interps.empty()) {
            if (c == '{') ++interps.back();
            else if (c == '}' && interps.back()-- == 0) {
                interps.pop_back();
                in_str = true;
            }
            continue;
        }
        if (!f(i, c)) return;
    }
}

// The code of one line: `#`, `//` and `/* */` comments outside strings removed. An unclosed
// `/*` carries over to the next lines.
class LineCode {
public:
    std::string_view operator()(std::string_view line) {
        if (!in_comment_) {
            size_t first = line.find_first_not_of(" \t");
            if (first == std::string_view::npos) return {};
            char c = line[first];
            if (c == '#' || (c == '/' && first + 1 < line.size() && line[first + 1] == '/')) return {};  // a comment line
            if (line.find('#', first) == std::string_view::npos && line.find('/', first) == std::string_view::npos)
                return line;
        }
        buf_.clear();
        size_t i = 0;
        if (in_comment_) {
            size_t end = line.find("*/");
            if (end == std::string_view::npos) return {};
            in_comment_ = false;
            i = end + 2;
        }
        for (;;) {
            std::string_view rest = line.substr(i);
            size_t cut = std::string_view::npos;
            bool block = false;
            each_code_char(rest, [&](size_t p, char c) {
                if (c == '#' || (c == '/' && p + 1 < rest.size() && (rest[p + 1] == '/' || rest[p + 1] == '*'))) {
                    cut = p;
                    block = c == '/' && rest[p + 1] == '*';
                    return false;
                }
                return true;
            });
            buf_ += rest.substr(0, cut);
            if (cut == std::string_view::npos || !block) break;
            size_t end = rest.find("*/", cut + 2);
            if (end == std::string_view::npos) {
                in_comment_ = true;
                break;
            }
            buf_ += ' ';
            i += end + 2;
        }
        return buf_;
    }

private:
    bool in_comment_ = false;
    std::string buf_;
};

// Walks the next line of a value with its bracket balance `bal` ({, [ and ( open, }, ] and )
// close): the position just after the character that closes the value, else npos.
size_t balance_end(std::string_view s, long &bal) {
    size_t end = std::string_view::npos;
    each_code_char(s, [&](size_t p, char c) {
        if (c == '{' || c == '[' || c == '(') ++bal;
        else if ((c == '}' || c == ']' || c == ')') && --bal <= 0) {
            end = p + 1;
            return false;
        }
        return true;
    });
    return end;
}

// Walks a value written after "=": the position of a "}" that closes the enclosing block
// (`size = 100 }`), else npos with `bal` the balance the line leaves open.
size_t value_extent(std::string_view v, long &bal) {
    size_t end = std::string_view::npos;
    each_code_char(v, [&](size_t p, char c) {
        if (c == '{' || c == '[' || c == '(') ++bal;
        else if (c == '}' || c == ']' || c == ')') {
            if (bal > 0) --bal;
            else if (c == '}') {
                end = p;
                return false;
            }
        }
        return true;
    });
    return end;
}

// The tag of a heredoc that `text` opens at its end (`<<EOF`, `<<-EOF`), else empty.
std::string_view heredoc_tag(std::string_view text) {
    text = pytext::strip(text);
    size_t p = text.rfind("<<");
    if (p == std::string_view::npos) return {};
    std::string_view tag = text.substr(p + 2);
    if (tag.starts_with("-")) tag.remove_prefix(1);
    if (tag.empty() || (tag[0] >= '0' && tag[0] <= '9') || tag[0] == '-') return {};
    for (char c : tag)
        if (!pytext::is_ident_char(c)) return {};
    // Not inside a string.
    bool code = false;
    each_code_char(text, [&](size_t i, char) {
        if (i == p) code = true;
        return i < p;
    });
    return code ? tag : std::string_view();
}

// A nested block's header ending in "{" (`root_block_device {`, `dynamic "tag" {`): its type
// and first label; false when `s` up to its first "{" is not one.
bool block_header(std::string_view s, std::string_view &name, std::string_view &label, size_t &open) {
    size_t i = 0, n = s.size();
    while (i < n && pytext::is_ident_char(s[i])) ++i;
    if (i == 0) return false;
    name = s.substr(0, i);
    label = {};
    for (;;) {
        while (i < n && (s[i] == ' ' || s[i] == '\t')) ++i;
        if (i == n) return false;
        if (s[i] == '{') {
            open = i;
            return true;
        }
        size_t start = i;
        if (s[i] == '"') {
            size_t close = s.find('"', i + 1);
            if (close == std::string_view::npos) return false;
            if (label.empty()) label = s.substr(i + 1, close - i - 1);
            i = close + 1;
        } else {
            while (i < n && pytext::is_ident_char(s[i])) ++i;
            if (i == start) return false;
            if (label.empty()) label = s.substr(start, i - start);
        }
    }
}

}  // namespace

TfFileModel read_tf_model(std::string_view text) { return read_tf_model(text, nullptr); }

TfFileModel read_tf_model(std::string_view text, const ResourceSink &on_resource) {
    TfFileModel model;
    Block block = Block::None;
    long depth = 0;  // nesting of blocks, 1 inside a top-level block
    TfResource res;
    TfModuleCall call;
    TfProvider prov;
    std::vector<TfAttr> top_attrs;  // of a module or provider block
    std::vector<TfBlock *> path;    // the resource's open nested blocks
    std::vector<bool> dynamic;      // per open nested block: a `dynamic` block awaiting `content`
    // A value that spans lines: which attribute, its bracket balance, its heredoc tag.
    std::vector<TfAttr> *capture_in = nullptr;
    size_t capture_at = 0;
    long capture_balance = 0;
    std::string heredoc;
    LineCode code_of;
    Regex::Match m;

    auto finish = [&]() {
        if (block == Block::Resource) {
            for (const auto &a : res.attrs) {
                if (a.nested) continue;
                if (a.key == "count") res.count = a.raw.as_str();
                else if (a.key == "for_each") res.for_each = a.raw.as_str();
                else if (a.key == "provider") res.provider = a.raw.as_str();
            }
            if (on_resource) on_resource(std::move(res));
            else model.resources.push_back(std::move(res));
        } else if (block == Block::Module) {
            for (auto &a : top_attrs) {
                if (a.nested) continue;
                std::optional<std::string> *slot = a.key == "source"      ? &call.source
                                                   : a.key == "count"     ? &call.count
                                                   : a.key == "for_each"  ? &call.for_each
                                                   : a.key == "providers" ? &call.providers
                                                                          : nullptr;
                if (slot) *slot = std::move(a.raw.as_str());
                else if (a.key != "version" && a.key != "depends_on") call.args.push_back(std::move(a));
            }
            model.modules.push_back(std::move(call));
        } else if (block == Block::Provider) {
            for (auto &a : top_attrs) {
                if (a.nested) continue;
                if (a.key == "alias") prov.alias = a.raw.as_str();
                else if (a.key == "region") prov.region = a.raw.as_str();
                else if (a.key == "zone") prov.zone = a.raw.as_str();
            }
            model.providers.push_back(std::move(prov));
        }
        block = Block::None;
        depth = 0;
        top_attrs.clear();
        path.clear();
        dynamic.clear();
        capture_in = nullptr;
    };

    // The attributes and blocks of a block's body, from `s` on.
    auto body = [&](std::string_view s) {
        for (;;) {
            s = pytext::strip(s);
            if (s.empty() || block == Block::None) return;
            if (s[0] == '}') {
                if (--depth <= 0) {
                    finish();
                    return;
                }
                if (!path.empty()) {
                    path.pop_back();
                    dynamic.pop_back();
                }
                s.remove_prefix(1);
                continue;
            }
            // The statement that starts `s`: an assignment when "=" comes before any brace. Every
            // look stays within the statement, so a long line is read in one pass.
            std::string_view key, value, rest;
            size_t eq = s.find_first_of("={}");
            long bal = 0;
            std::string_view stmt;
            if (eq != std::string_view::npos && s[eq] == '=') {
                size_t end = value_extent(s.substr(eq + 1), bal);
                stmt = end == std::string_view::npos ? s : s.substr(0, eq + 1 + end);
                rest = s.substr(stmt.size());
            }
            if (!stmt.empty() && split_assignment(stmt, key, value, m) && !value.starts_with("=")) {
                bool top = depth == 1;
                std::vector<TfAttr> &attrs = block == Block::Resource ? res.attrs : top_attrs;
                std::string_view tag = bal > 0 || !rest.empty() ? std::string_view() : heredoc_tag(value);
                value = pytext::strip(value);
                bool whole = bal > 0 || !tag.empty();  // continues on the next lines
                attrs.push_back({std::string(key), Value(std::string(whole ? value : unquote(value))), !top});
                if (block == Block::Resource && !path.empty() && path.back())
                    path.back()->attrs.push_back(attrs.size() - 1);
                if (whole) {
                    capture_in = &attrs;
                    capture_at = attrs.size() - 1;
                    capture_balance = bal;
                    heredoc = std::string(tag);
                    return;
                }
                s = rest;
                continue;
            }
            std::string_view name, label;
            size_t open;
            if (block_header(s, name, label, open)) {
                ++depth;
                if (block == Block::Resource) {
                    TfBlock *cur = path.empty() ? nullptr : path.back();
                    if (cur && dynamic.back() && name == "content") {
                        // The content of a dynamic block is that block's body.
                        path.push_back(cur);
                        dynamic.push_back(false);
                    } else if ((cur || path.empty()) && path.size() < kMaxBlockDepth) {
                        bool dyn = name == "dynamic" && !label.empty();
                        std::vector<TfBlock> &siblings = cur ? cur->blocks : res.blocks;
                        siblings.push_back({std::string(dyn ? label : name), {}, {}});
                        path.push_back(&siblings.back());
                        dynamic.push_back(dyn);
                    } else {
                        path.push_back(nullptr);
                        dynamic.push_back(false);
                    }
                }
                s.remove_prefix(open + 1);
                continue;
            }
            // Anything else only moves the block depth.
            each_code_char(s, [&](size_t, char c) {
                if (c == '{') {
                    ++depth;
                    if (block == Block::Resource) {
                        path.push_back(nullptr);  // a level that holds nothing of its own
                        dynamic.push_back(false);
                    }
                } else if (c == '}') {
                    if (--depth <= 0) return false;
                    if (!path.empty()) {
                        path.pop_back();
                        dynamic.pop_back();
                    }
                }
                return true;
            });
            if (depth <= 0) finish();
            return;
        }
    };

    for (std::string_view line : pytext::split_newlines(text)) {
        if (!heredoc.empty()) {
            // A heredoc's lines are text: no comments, braces or assignments.
            bool last = pytext::strip(line) == heredoc;
            if (capture_in) {
                std::string &raw = (*capture_in)[capture_at].raw.as_str();
                raw += '\n';
                raw += last ? pytext::strip(line) : line;
            }
            if (last) {
                heredoc.clear();
                capture_in = nullptr;
            }
            continue;
        }
        std::string_view stripped = pytext::strip(code_of(line));
        if (stripped.empty()) continue;
        if (capture_in) {
            // The next line of a value written over several lines.
            size_t end = balance_end(stripped, capture_balance);
            std::string_view part = end == std::string_view::npos ? stripped : stripped.substr(0, end);
            std::string &raw = (*capture_in)[capture_at].raw.as_str();
            raw += '\n';
            raw += part;
            // The `key = value` lines of a map value are also read on their own.
            std::string_view key, value;
            if (block == Block::Resource && part.find('=') != std::string_view::npos &&
                split_assignment(part, key, value, m)) {
                value = pytext::strip(value);
                if (value.ends_with(",")) value = pytext::strip(value.substr(0, value.size() - 1));
                res.attrs.push_back({std::string(key), Value(std::string(unquote(value))), true});
            }
            if (end == std::string_view::npos) continue;
            capture_in = nullptr;
            body(stripped.substr(end));
            continue;
        }
        if (block != Block::Resource && stripped.find('{') != std::string_view::npos &&
            stripped.find("resource") != std::string_view::npos && resource_head().search(stripped, m)) {
            // A resource head is taken anywhere outside a resource block; an unclosed module
            // or provider block ends here.
            if (block != Block::None) {
                block = Block::None;
                top_attrs.clear();
            }
            res = TfResource();
            res.type = std::string(m.group(stripped, 1));
            res.name = std::string(m.group(stripped, 2));
            res.attrs.reserve(8);
            block = Block::Resource;
            depth = 1;
            body(stripped.substr(m.end()));
            continue;
        }
        if (block == Block::None) {
            if (stripped.find("<<") != std::string_view::npos) {
                heredoc = std::string(heredoc_tag(stripped));
                if (!heredoc.empty()) continue;
            }
            if (stripped.find('{') == std::string_view::npos) continue;
            if (stripped.starts_with("module") && module_head().match(stripped, m)) {
                call = TfModuleCall();
                call.name = std::string(m.group(stripped, 1));
                block = Block::Module;
            } else if (stripped.starts_with("provider") && provider_head().match(stripped, m)) {
                prov = TfProvider();
                prov.name = std::string(m.group(stripped, 1));
                block = Block::Provider;
            } else continue;
            depth = 1;
            body(stripped.substr(m.end()));
            continue;
        }
        body(stripped);
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
    if (!v.is_str() || v.as_str().empty() || v.as_str() == "null") return false;
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
// A value that is null: the attribute is absent, as in Terraform.
bool is_null(const Value &v) { return v.is_null() || (v.is_str() && v.as_str() == "null"); }

void set_present(Map &props, std::string key, Value v) {
    if (!is_null(v)) props.set(std::move(key), std::move(v));
}

// Nested blocks as a plan holds them: type to a list of maps of attributes and blocks.
Value blocks_value(const std::vector<TfBlock> &blocks, const std::vector<TfAttr> &attrs,
                   const std::vector<Value> &values) {
    Map out;
    for (const auto &b : blocks) {
        Map m;
        for (size_t i : b.attrs)
            if (!is_null(values[i])) m.set(attrs[i].key, values[i]);
        if (!b.blocks.empty()) {
            Value inner = blocks_value(b.blocks, attrs, values);
            for (auto &[k, v] : inner.as_map()) m.set(k, std::move(v));
        }
        Value *list = out.find(b.name);
        if (!list) {
            out.set(b.name, Value(List()));
            list = out.find(b.name);
        }
        list->as_list().push_back(Value(std::move(m)));
    }
    return Value(std::move(out));
}

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

    // Keys set at the resource's own level, when some are also set in nested blocks.
    bool nested = !res.blocks.empty();
    std::vector<std::string_view> own;
    for (const auto &a : res.attrs) {
        if (a.nested) nested = true;
        else own.push_back(a.key);
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
        // The for_each collection of an expanded resource is not kept on each instance.
        auto dropped = [&](const TfAttr &a) { return by_for_each && a.key == "for_each"; };
        if (!nested) {
            if (consume && last) {
                for (auto &a : res.attrs)
                    if (!dropped(a)) set_present(props, std::move(a.key), resolve(a.raw, s));
            } else {
                for (const auto &a : res.attrs)
                    if (!dropped(a)) set_present(props, a.key, resolve(a.raw, s));
            }
        } else {
            // A key of the resource's own level is never replaced by a nested one. Values are
            // resolved once; the blocks' copy takes them too.
            std::vector<Value> values;
            if (!res.blocks.empty()) {
                values.reserve(res.attrs.size());
                for (const auto &a : res.attrs) values.push_back(resolve(a.raw, s));
            }
            for (size_t i = 0; i < res.attrs.size(); ++i) {
                const TfAttr &a = res.attrs[i];
                if (dropped(a) || (a.nested && std::find(own.begin(), own.end(), a.key) != own.end())) continue;
                set_present(props, a.key, values.empty() ? resolve(a.raw, s) : values[i]);
            }
            if (!res.blocks.empty()) props.set(reckon::kBlocksKey, blocks_value(res.blocks, res.attrs, values));
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
