// Variables, locals and the shallow resolution of references and interpolations.
#include <optional>
#include <unordered_map>

#include "core/fsutil.h"
#include "core/limits.h"
#include "core/pytext.h"
#include "core/regex.h"
#include "core/stackreader/reader.h"
#include "core/stackreader/tfexpr.h"
#include "core/stackreader/tfmodel.h"

namespace tw::stack {

namespace {
const Regex &variable_head() {
    static const Regex r(R"re(variable\s+"([^"]+)"\s*\{)re");
    return r;
}
const Regex &default_line() {
    static const Regex r(R"re(default\s*=\s*(.+))re");
    return r;
}
const Regex &locals_head() {
    static const Regex r(R"re(locals\s*\{)re");
    return r;
}
const Regex &local_assignment() {
    static const Regex r(R"re(^([a-zA-Z0-9_\-]+)\s*=\s*(.+)$)re");
    return r;
}

// The body of a block whose "{" ends just before `start`: braces counted to the match.
std::string_view block_body(std::string_view text, size_t start) {
    long depth = 1;
    size_t i = start;
    for (; i < text.size(); ++i) {
        if (text[i] == '{') ++depth;
        else if (text[i] == '}' && --depth == 0) return text.substr(start, i - start);
    }
    // The text ended first: its last character (not byte) is left out.
    if (i == start) return {};
    size_t last = i - 1;
    while (last > start && (static_cast<unsigned char>(text[last]) & 0xC0) == 0x80) --last;
    return text.substr(start, last - start);
}

std::string render(const Value &v) { return pytext::str_of(v); }
}  // namespace

void collect_variables_and_locals(std::string_view text, Map &variables, Map &locals,
                                  std::vector<std::string> *declared) {
    Regex::Match m, d;
    for (const auto &head : variable_head().find_all(text)) {
        std::string name(head.group(text, 1));
        if (declared) declared->push_back(name);
        std::string_view body = block_body(text, head.end());
        if (!default_line().search(body, d)) continue;
        std::string_view value = unquote(comment_cut(d.group(body, 1)));
        variables.set(std::move(name), number_or_text(value));
    }
    for (const auto &head : locals_head().find_all(text)) {
        std::string_view body = block_body(text, head.end());
        for (std::string_view line : pytext::splitlines(body)) {
            std::string_view cut = comment_cut(line);
            if (!local_assignment().match(cut, m)) continue;
            std::string_view value = unquote(pytext::strip(m.group(cut, 2)));
            locals.set(std::string(m.group(cut, 1)), number_or_text(value));
        }
    }
}

void collect_collection_defaults(std::string_view text, Map &out) {
    Regex::Match d;
    for (const auto &head : variable_head().find_all(text)) {
        std::string_view body = block_body(text, head.end());
        if (!default_line().search(body, d)) continue;
        std::string_view first = comment_cut(d.group(body, 1));
        if (!first.starts_with("{") && !first.starts_with("[")) continue;
        // From the opening bracket to the one that closes it, line by line.
        std::string value;
        long balance = 0;
        size_t start = size_t(d.group(body, 1).data() - body.data());
        for (std::string_view line : pytext::splitlines(body.substr(start))) {
            std::string_view cut = comment_cut(line);
            if (!value.empty()) value += '\n';
            value += cut;
            for (char c : cut) balance += (c == '{' || c == '[') - (c == '}' || c == ']');
            if (balance <= 0) break;
        }
        if (balance <= 0) out.set(std::string(head.group(text, 1)), Value(std::move(value)));
    }
}

void resolve_locals(const Map &variables, Map &locals) {
    Scope scope;
    scope.vars = &variables;
    scope.locals = &locals;
    resolve_locals_scoped(locals, scope);
}

std::pair<Map, Map> parse_variables_and_locals_files(const std::vector<std::string> &tf_files,
                                                     std::unordered_map<std::string, std::string> *cache,
                                                     size_t cache_budget) {
    Map variables, locals;
    std::string text, error;
    size_t cached = 0;
    for (const auto &path : tf_files) {
        if (!fs::read_utf8(path, text, error)) continue;
        collect_variables_and_locals(pytext::strip_bom(text), variables, locals);
        if (cache && cached + text.size() <= cache_budget) {
            cached += text.size();
            (*cache)[path] = std::move(text);
        }
    }
    resolve_locals(variables, locals);
    return {std::move(variables), std::move(locals)};
}

std::pair<Map, Map> parse_variables_and_locals(const std::string &directory) {
    std::vector<std::string> files;
    if (fs::is_dir(directory)) {
        fs::walk_pruned(directory, [&](const std::string &path, bool is_dir) {
            if (is_dir) return fs::basename(path) != kTerraformDir;
            if (path.ends_with(".tf")) files.push_back(path);
            return true;
        });
    } else if (fs::exists(directory)) {
        if (fs::suffix(directory) == ".tf") files.push_back(directory);
    }
    return parse_variables_and_locals_files(files);
}

const Value *Scope::var(std::string_view name) const {
    const Value *v = vars ? vars->find(name) : nullptr;
    return v || !fallback_vars ? v : fallback_vars->find(name);
}

const Value *Scope::local(std::string_view name) const {
    const Value *v = locals ? locals->find(name) : nullptr;
    return v || !fallback_locals ? v : fallback_locals->find(name);
}

const Value *Scope::binding(std::string_view expr) const {
    if (!bindings) return nullptr;
    if (const Value *v = bindings->find(expr)) return v;
    // each.value.<attribute> of a map value
    if (expr.starts_with("each.value.")) {
        const Value *v = bindings->find("each.value");
        if (v && v->is_map()) return v->as_map().find(expr.substr(11));
    }
    return nullptr;
}

namespace {
const Value *lookup(std::string_view expr, const Scope &scope, bool &referenced) {
    referenced = true;
    if (expr.starts_with("var.")) return scope.var(expr.substr(4));
    if (expr.starts_with("local.")) return scope.local(expr.substr(6));
    if (scope.bindings && (expr.starts_with("each.") || expr.starts_with("count.")))
        return scope.binding(expr);
    referenced = false;
    return nullptr;
}
bool blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

bool ref_char(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-' ||
           c == '.';
}

// A text or number as an element of a list literal.
std::string element_text(const Value &v) {
    if (!v.is_str()) return pytext::str_of(v);
    std::string out = "\"";
    for (char c : v.as_str()) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out + '"';
}

// `[var.a, "b", local.c]`: whole elements that are plain references to a known text or
// number are replaced by their value, so the list reads as if written with literals.
// Elements that are anything else (an index, an operator, a call) stay as written.
std::optional<std::string> list_with_values(std::string_view text, const Scope &scope) {
    if (!text.starts_with('[')) return std::nullopt;
    std::string out;
    bool changed = false;
    size_t copied = 0, i = 1;
    char last = '[';  // the last character outside spaces and strings
    while (i < text.size()) {
        char c = text[i];
        if (c == '"') {
            // A quoted text, with its escapes and the braces of its interpolations.
            int braces = 0;
            for (++i; i < text.size(); ++i) {
                if (text[i] == '\\') ++i;
                else if (text[i] == '$' && i + 1 < text.size() && text[i + 1] == '{') ++braces, ++i;
                else if (braces && text[i] == '}') --braces;
                else if (!braces && text[i] == '"') break;
            }
            ++i;
            last = '"';
            continue;
        }
        if ((last == '[' || last == ',') && (c == 'v' || c == 'l' || c == 'e' || c == 'c')) {
            size_t end = i;
            while (end < text.size() && ref_char(text[end])) ++end;
            size_t after = end;
            while (after < text.size() && blank(text[after])) ++after;
            bool whole = after < text.size() && (text[after] == ',' || text[after] == ']');
            bool referenced = false;
            const Value *v = whole ? lookup(text.substr(i, end - i), scope, referenced) : nullptr;
            if (v && (v->is_str() || v->is_int() || v->is_float())) {
                out.append(text, copied, i - copied);
                out += element_text(*v);
                copied = end;
                changed = true;
                if (out.size() > limits::kMaxValueBytes) return std::nullopt;
            }
            last = 'x';
            i = end;
            continue;
        }
        if (!blank(c)) last = c;
        ++i;
    }
    if (!changed) return std::nullopt;
    out.append(text, copied, std::string_view::npos);
    return out;
}
}  // namespace

Value resolve_scoped(const Value &val, const Scope &scope) {
    if (!val.is_str()) return val;
    if (auto evaluated = tfexpr::evaluate(val.as_str(), scope)) return std::move(*evaluated);
    std::optional<std::string> listed;
    if (val.as_str().find('.') != std::string::npos) listed = list_with_values(pytext::strip(val.as_str()), scope);
    const std::string &input = listed ? *listed : val.as_str();
    std::string_view stripped = pytext::strip(input);
    std::string_view uq = unquote(stripped);
    if (uq.size() != stripped.size()) stripped = pytext::strip(uq);
    bool referenced = false;
    const Value *whole = lookup(stripped, scope, referenced);
    if (referenced) return whole ? *whole : val;
    std::string resolved;
    std::string_view out = input;  // nothing to interpolate: the text itself
    if (input.find("${") != std::string::npos) {
        size_t pos = 0;
        while (pos < input.size()) {
            size_t open = input.find("${", pos);
            if (open == std::string::npos) break;
            size_t close = input.find('}', open + 2);
            if (close == std::string::npos) break;
            if (close == open + 2) {
                // "${}" does not match; the search goes on from the next character.
                resolved.append(input, pos, open + 1 - pos);
                pos = open + 1;
                continue;
            }
            resolved.append(input, pos, open - pos);
            std::string_view expr = pytext::strip(std::string_view(input).substr(open + 2, close - open - 2));
            const Value *v = lookup(expr, scope, referenced);
            if (v) resolved += render(*v);
            else resolved.append(input, open, close + 1 - open);
            pos = close + 1;
            if (resolved.size() > limits::kMaxValueBytes && resolved.size() > input.size()) return val;
        }
        resolved.append(input, pos, std::string::npos);
        out = resolved;
    }
    std::string_view uq2 = unquote(out);
    if (uq2.size() != out.size()) out = pytext::strip(uq2);
    return number_or_text(out);
}

namespace {
bool name_char(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
}

// Calls `fn(is_local, name)` for every var.NAME and local.NAME written in `text`.
template <class Fn>
void each_reference(std::string_view text, Fn fn) {
    for (std::string_view prefix : {std::string_view("var."), std::string_view("local.")}) {
        for (size_t at = text.find(prefix); at != std::string_view::npos; at = text.find(prefix, at + 1)) {
            if (at > 0 && (name_char(text[at - 1]) || text[at - 1] == '.')) continue;
            size_t start = at + prefix.size(), end = start;
            while (end < text.size() && name_char(text[end])) ++end;
            if (end > start) fn(prefix[0] == 'l', text.substr(start, end - start));
        }
    }
}

// Which locals stay as written: those on a cycle of references (a local or variable whose
// value refers back to itself, directly or through others) and those that refer to one.
// Resolving them would copy the references into themselves again at every pass.
std::vector<bool> cyclic_locals(const Map &locals, const Scope &scope) {
    struct Node {
        const Value *value;
        std::vector<int> next;
        size_t edge = 0;
        int state = 0;  // 0 unvisited, 1 on the path, 2 done
        bool bad = false;
    };
    std::vector<Node> nodes;
    std::unordered_map<std::string, int> ids;
    auto id_of = [&](bool local, std::string_view name) {
        auto [it, fresh] = ids.try_emplace((local ? "l" : "v") + std::string(name), int(nodes.size()));
        if (fresh) nodes.push_back({local ? scope.local(name) : scope.var(name), {}});
        return it->second;
    };
    std::vector<int> roots, path;
    for (const auto &item : locals) roots.push_back(id_of(true, item.first));
    for (int root : roots) {
        if (nodes[size_t(root)].state) continue;
        path.push_back(root);
        while (!path.empty()) {
            int at = path.back();
            if (nodes[size_t(at)].state == 0) {
                nodes[size_t(at)].state = 1;
                std::vector<int> next;
                const Value *v = nodes[size_t(at)].value;
                if (v && v->is_str()) each_reference(v->as_str(), [&](bool local, std::string_view name) {
                    next.push_back(id_of(local, name));
                });
                nodes[size_t(at)].next = std::move(next);
            }
            Node &n = nodes[size_t(at)];
            if (n.edge < n.next.size()) {
                int to = n.next[n.edge++];
                Node &t = nodes[size_t(to)];
                if (t.state == 0) path.push_back(to);
                else if (t.state == 1) {
                    // A cycle: every node on the path from `to` up to here.
                    for (auto it = path.rbegin(); it != path.rend(); ++it) {
                        nodes[size_t(*it)].bad = true;
                        if (*it == to) break;
                    }
                } else if (t.bad) n.bad = true;
                continue;
            }
            n.state = 2;
            path.pop_back();
            if (n.bad && !path.empty()) nodes[size_t(path.back())].bad = true;
        }
    }
    std::vector<bool> out;
    out.reserve(roots.size());
    for (int root : roots) out.push_back(nodes[size_t(root)].bad);
    return out;
}
}  // namespace

void resolve_locals_scoped(Map &locals, const Scope &scope) {
    std::vector<bool> stay = cyclic_locals(locals, scope);
    // Each entry is replaced in place at its own turn, so reading it there sees the value it
    // had when the pass began, and later lookups see the replacements made before them.
    for (int pass = 0; pass < 3; ++pass) {
        bool changed = false;
        size_t i = 0;
        for (auto &item : locals) {
            if (stay[i++] || !item.second.is_str()) continue;
            Value r = resolve_scoped(item.second, scope);
            if (!(r == item.second)) {
                item.second = std::move(r);
                changed = true;
            }
        }
        if (!changed) break;
    }
}

Value resolve_value(const Value &val, const Map &variables, const Map &locals) {
    Scope scope;
    scope.vars = &variables;
    scope.locals = &locals;
    return resolve_scoped(val, scope);
}

}  // namespace tw::stack
