// A parser into a small syntax tree and an evaluator over it. Every step is bounded: nesting
// by kMaxDepth, the tree by kMaxNodes, the evaluation by kMaxSteps and every value it makes
// by limits::kMaxValueBytes.
#include "core/stackreader/tfexpr.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "core/limits.h"
#include "core/pytext.h"

namespace tw::stack::tfexpr {

namespace {

enum class K { Lit, Tmpl, Root, Attr, Index, Call, Cond, Bin, Not, Neg, ListLit, MapLit };

struct Node {
    K k;
    Value lit;          // Lit: the value; Tmpl: unused
    std::string name;   // Root, Attr, Call: the name; Bin: the operator
    std::vector<int> kids;
    bool expand = false;  // Call: the last argument is followed by "..."
};

struct Fail {};

class Parser {
public:
    explicit Parser(std::string_view s) : s_(s) {}
    std::vector<Node> nodes;

    // Whether an expression (after white space) can begin with `c`.
    static bool begins_expression(char c) {
        return ident_start(c) || (c >= '0' && c <= '9') || c == '"' || c == '(' || c == '[' || c == '{' || c == '!' ||
               c == '-' || c == ' ' || c == '\t' || c == '\n' || c == '\r';
    }
    int parse() {
        int root = expr(0);
        skip();
        if (i_ != s_.size()) throw Fail{};
        return root;
    }
    // The whole text as the inside of a quoted template (the reader keeps strings unquoted).
    int parse_template_body() {
        i_ = 0;
        nodes.clear();
        return string(0, true);
    }

private:
    std::string_view s_;
    size_t i_ = 0;

    int add(Node n) {
        if (nodes.size() >= kMaxNodes) throw Fail{};
        nodes.push_back(std::move(n));
        return int(nodes.size() - 1);
    }
    void skip() {
        while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\t' || s_[i_] == '\n' || s_[i_] == '\r')) ++i_;
    }
    bool at(std::string_view t) {
        skip();
        return s_.substr(i_, t.size()) == t;
    }
    bool eat(std::string_view t) {
        if (!at(t)) return false;
        i_ += t.size();
        return true;
    }
    void expect(std::string_view t) {
        if (!eat(t)) throw Fail{};
    }
    static bool ident_start(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; }
    static bool ident_char(char c) { return ident_start(c) || (c >= '0' && c <= '9') || c == '-'; }
    std::string ident() {
        skip();
        if (i_ >= s_.size() || !ident_start(s_[i_])) throw Fail{};
        size_t start = i_;
        while (i_ < s_.size() && ident_char(s_[i_])) ++i_;
        return std::string(s_.substr(start, i_ - start));
    }
    static void check(int depth) {
        if (depth > kMaxDepth) throw Fail{};
    }

    int expr(int depth) {
        check(depth);
        int c = binary(depth, 0);
        if (!eat("?")) return c;
        int a = expr(depth + 1);
        expect(":");
        int b = expr(depth + 1);
        return add({K::Cond, {}, {}, {c, a, b}});
    }
    // Levels: 0 "||", 1 "&&", 2 comparisons, 3 "+ -", 4 "* / %".
    int binary(int depth, int level) {
        check(depth);
        if (level == 5) return unary(depth + 1);
        int left = binary(depth + 1, level + 1);
        for (;;) {
            std::string op;
            if (level == 0 && eat("||")) op = "||";
            else if (level == 1 && eat("&&")) op = "&&";
            else if (level == 2) {
                for (std::string_view o : {"==", "!=", "<=", ">=", "<", ">"})
                    if (eat(o)) {
                        op = o;
                        break;
                    }
            } else if (level == 3 || level == 4) {
                skip();
                char c = i_ < s_.size() ? s_[i_] : '\0';
                if ((level == 3 && (c == '+' || c == '-')) || (level == 4 && (c == '*' || c == '/' || c == '%'))) {
                    op = std::string(1, c);
                    ++i_;
                }
            }
            if (op.empty()) return left;
            int right = binary(depth + 1, level + 1);
            left = add({K::Bin, {}, op, {left, right}});
            if (level == 2) return left;  // comparisons do not chain
        }
    }
    int unary(int depth) {
        check(depth);
        if (at("!") && !at("!=")) {
            ++i_;
            return add({K::Not, {}, {}, {unary(depth + 1)}});
        }
        if (eat("-")) return add({K::Neg, {}, {}, {unary(depth + 1)}});
        return postfix(depth + 1);
    }
    int postfix(int depth) {
        int n = primary(depth);
        for (;;) {
            skip();
            if (i_ + 1 < s_.size() && s_[i_] == '.' && s_[i_ + 1] != '.') {
                ++i_;
                skip();
                std::string name;
                if (i_ < s_.size() && s_[i_] >= '0' && s_[i_] <= '9') {
                    size_t start = i_;
                    while (i_ < s_.size() && s_[i_] >= '0' && s_[i_] <= '9') ++i_;
                    int idx = add({K::Lit, number_or_text(s_.substr(start, i_ - start)), {}, {}});
                    n = add({K::Index, {}, {}, {n, idx}});
                    continue;
                }
                if (at("*")) throw Fail{};
                name = ident();
                n = add({K::Attr, {}, std::move(name), {n}});
            } else if (at("[")) {
                ++i_;
                if (at("*")) throw Fail{};
                int key = expr(depth + 1);
                expect("]");
                n = add({K::Index, {}, {}, {n, key}});
            } else return n;
        }
    }
    int primary(int depth) {
        check(depth);
        skip();
        if (i_ >= s_.size()) throw Fail{};
        char c = s_[i_];
        if (c >= '0' && c <= '9') return number();
        if (c == '"') {
            ++i_;
            return string(depth, false);
        }
        if (c == '(') {
            ++i_;
            int e = expr(depth + 1);
            expect(")");
            return e;
        }
        if (c == '[') {
            ++i_;
            Node list{K::ListLit, {}, {}, {}};
            if (at("for ")) throw Fail{};
            while (!eat("]")) {
                list.kids.push_back(expr(depth + 1));
                if (!eat(",")) {
                    expect("]");
                    break;
                }
            }
            return add(std::move(list));
        }
        if (c == '{') {
            ++i_;
            Node map{K::MapLit, {}, {}, {}};
            if (at("for ")) throw Fail{};
            while (!eat("}")) {
                skip();
                int key;
                if (i_ < s_.size() && s_[i_] == '"') {
                    ++i_;
                    key = string(depth + 1, false);
                }
                else if (i_ < s_.size() && s_[i_] == '(') key = primary(depth + 1);
                else key = add({K::Lit, Value(ident()), {}, {}});
                if (!eat("=") && !eat(":")) throw Fail{};
                map.kids.push_back(key);
                map.kids.push_back(expr(depth + 1));
                eat(",");
            }
            return add(std::move(map));
        }
        std::string name = ident();
        if (name == "true" || name == "false") return add({K::Lit, Value(name == "true"), {}, {}});
        if (name == "null") return add({K::Lit, Value(), {}, {}});
        if (eat("(")) {
            Node call{K::Call, {}, std::move(name), {}};
            while (!eat(")")) {
                call.kids.push_back(expr(depth + 1));
                if (eat("...")) {
                    call.expand = true;
                    eat(",");
                    expect(")");
                    break;
                }
                if (!eat(",")) {
                    expect(")");
                    break;
                }
            }
            return add(std::move(call));
        }
        return add({K::Root, {}, std::move(name), {}});
    }
    int number() {
        size_t start = i_;
        while (i_ < s_.size() && s_[i_] >= '0' && s_[i_] <= '9') ++i_;
        if (i_ + 1 < s_.size() && s_[i_] == '.' && s_[i_ + 1] >= '0' && s_[i_ + 1] <= '9') {
            ++i_;
            while (i_ < s_.size() && s_[i_] >= '0' && s_[i_] <= '9') ++i_;
        }
        if (i_ < s_.size() && ident_start(s_[i_])) throw Fail{};  // "10.0.0.0/16", "3x" and the like
        return add({K::Lit, number_or_text(s_.substr(start, i_ - start)), {}, {}});
    }
    // A quoted template after its opening quote: literal parts and ${ } interpolations. A
    // bare one ends with the text instead of a quote.
    int string(int depth, bool bare) {
        check(depth);
        Node t{K::Tmpl, {}, {}, {}};
        std::string lit;
        auto flush = [&](bool last) {
            if (!lit.empty() || (last && t.kids.empty())) t.kids.push_back(add({K::Lit, Value(std::move(lit)), {}, {}}));
            lit.clear();
        };
        while (i_ < s_.size()) {
            char c = s_[i_++];
            if (c == '"' && !bare) {
                flush(true);
                return add(std::move(t));
            }
            if (c == '\\') {
                if (i_ >= s_.size()) throw Fail{};
                char e = s_[i_++];
                if (e == 'n') lit += '\n';
                else if (e == 't') lit += '\t';
                else if (e == 'r') lit += '\r';
                else if (e == '"' || e == '\\') lit += e;
                else throw Fail{};
            } else if ((c == '$' || c == '%') && i_ + 1 < s_.size() && s_[i_] == c && s_[i_ + 1] == '{') {
                lit += c;  // "$${" and "%%{" are literal
                lit += '{';
                i_ += 2;
            } else if (c == '%' && i_ < s_.size() && s_[i_] == '{') {
                throw Fail{};  // template directives
            } else if (c == '$' && i_ < s_.size() && s_[i_] == '{') {
                ++i_;
                flush(false);
                t.kids.push_back(expr(depth + 1));
                eat("~");
                expect("}");
            } else lit += c;
        }
        if (!bare) throw Fail{};
        flush(true);
        return add(std::move(t));
    }
};

enum class S { Known, Unknown, Error };
struct R {
    S s = S::Known;
    Value v;
};
R known(Value v) { return {S::Known, std::move(v)}; }
R unknown() { return {S::Unknown, {}}; }
R error() { return {S::Error, {}}; }

// An estimate of a value's size in bytes, saturating just past the limit.
size_t weight(const Value &v, int depth = 0) {
    constexpr size_t cap = limits::kMaxValueBytes + 1;
    if (depth > 2 * kMaxDepth) return cap;
    if (v.is_str()) return v.as_str().size() + 2;
    if (v.is_list()) {
        size_t w = 2;
        for (const Value &e : v.as_list()) {
            w += weight(e, depth + 1) + 1;
            if (w >= cap) return cap;
        }
        return w;
    }
    if (v.is_map()) {
        size_t w = 2;
        for (const auto &kv : v.as_map()) {
            w += kv.first.size() + weight(kv.second, depth + 1) + 2;
            if (w >= cap) return cap;
        }
        return w;
    }
    return 8;
}

bool is_number(const Value &v) { return v.is_int() || v.is_float(); }
double as_double(const Value &v) { return v.is_int() ? double(v.as_int()) : v.as_float(); }

// Text of a scalar as Terraform writes it; nothing for null, collections and big numbers.
std::optional<std::string> text_of(const Value &v) {
    if (v.is_str()) return v.as_str();
    if (v.is_bool()) return std::string(v.as_bool() ? "true" : "false");
    if (v.is_int()) return std::to_string(v.as_int());
    if (v.is_float()) {
        double d = v.as_float();
        if (!std::isfinite(d)) return std::nullopt;
        if (std::floor(d) == d && std::fabs(d) < 9e15) return std::to_string(int64_t(d));
        return pytext::repr_double(d);
    }
    return std::nullopt;
}

// Number of a scalar: numbers and numeric texts.
std::optional<Value> number_of(const Value &v) {
    if (is_number(v)) return v;
    if (v.is_str()) {
        Value n = number_or_text(pytext::strip(v.as_str()));
        if (is_number(n)) return n;
    }
    return std::nullopt;
}

class Eval {
public:
    Eval(const std::vector<Node> &nodes, const Scope &scope) : n_(nodes), scope_(scope) {}

    R eval(int at, int depth) {
        if (++steps_ > kMaxSteps || depth > 2 * kMaxDepth) return unknown();
        const Node &n = n_[size_t(at)];
        switch (n.k) {
        case K::Lit: return known(n.lit);
        case K::Tmpl: return tmpl(n, depth);
        case K::Root: return unknown();  // a bare name: a reference this reader cannot follow
        case K::Attr: return attr(n, depth);
        case K::Index: {
            R base = eval(n.kids[0], depth + 1);
            if (base.s != S::Known) return base;
            R key = eval(n.kids[1], depth + 1);
            if (key.s != S::Known) return key;
            return index(base.v, key.v);
        }
        case K::Call: return call(n, depth);
        case K::Cond: {
            R c = eval(n.kids[0], depth + 1);
            if (c.s != S::Known) return c;
            auto b = truth(c.v);
            if (!b) return error();
            return eval(n.kids[*b ? 1 : 2], depth + 1);
        }
        case K::Bin: return binary(n, depth);
        case K::Not: {
            R c = eval(n.kids[0], depth + 1);
            if (c.s != S::Known) return c;
            auto b = truth(c.v);
            return b ? known(Value(!*b)) : error();
        }
        case K::Neg: {
            R c = eval(n.kids[0], depth + 1);
            if (c.s != S::Known) return c;
            auto num = number_of(c.v);
            if (!num) return error();
            if (num->is_int() && num->as_int() != INT64_MIN) return known(Value(-num->as_int()));
            return known(Value(-as_double(*num)));
        }
        case K::ListLit: {
            List out;
            for (int k : n.kids) {
                R e = eval(k, depth + 1);
                if (e.s != S::Known) return e;
                out.push_back(std::move(e.v));
            }
            return bounded(Value(std::move(out)));
        }
        case K::MapLit: {
            Map out;
            for (size_t i = 0; i + 1 < n.kids.size(); i += 2) {
                R key = eval(n.kids[i], depth + 1);
                if (key.s != S::Known) return key;
                auto k = text_of(key.v);
                if (!k) return error();
                R v = eval(n.kids[i + 1], depth + 1);
                if (v.s != S::Known) return v;
                out.set(std::move(*k), std::move(v.v));
            }
            return bounded(Value(std::move(out)));
        }
        }
        return unknown();
    }

private:
    const std::vector<Node> &n_;
    const Scope &scope_;
    size_t steps_ = 0;

    bool spend(size_t n) {
        steps_ += n;
        return steps_ <= kMaxSteps;
    }
    static R bounded(Value v) {
        if (weight(v) > limits::kMaxValueBytes) return unknown();
        return known(std::move(v));
    }

    // What a stored value means in an expression: the reader keeps literals as text.
    static Value meaning(const Value &v) {
        if (!v.is_str()) return v;
        std::string_view s = pytext::strip(v.as_str());
        if (s == "null") return Value();
        if (s == "true" || s == "false") return Value(s == "true");
        if (s.starts_with("[") || s.starts_with("{") || s.starts_with("toset(") || s.starts_with("tolist(") ||
            s.starts_with("tomap("))
            if (auto lit = parse_literal(s)) return std::move(*lit);
        return v;
    }
    static std::optional<bool> truth(const Value &v) {
        Value m = meaning(v);
        if (m.is_bool()) return m.as_bool();
        return std::nullopt;
    }

    R attr(const Node &n, int depth) {
        const Node &base = n_[size_t(n.kids[0])];
        if (base.k == K::Root) {
            const Value *v = nullptr;
            if (base.name == "var") v = scope_.var(n.name);
            else if (base.name == "local") v = scope_.local(n.name);
            else if ((base.name == "each" || base.name == "count") && scope_.bindings)
                v = scope_.binding(base.name + "." + n.name);
            else return unknown();
            if (!v) return unknown();
            return known(meaning(*v));
        }
        R b = eval(n.kids[0], depth + 1);
        if (b.s != S::Known) return b;
        return index(b.v, Value(n.name));
    }

    static R index(const Value &base, const Value &key) {
        Value b = meaning(base);
        if (b.is_list()) {
            auto k = number_of(key);
            if (!k || !k->is_int()) return error();
            int64_t i = k->as_int();
            if (i < 0 || size_t(i) >= b.as_list().size()) return error();
            return known(meaning(b.as_list()[size_t(i)]));
        }
        if (b.is_map()) {
            auto k = text_of(key);
            if (!k) return error();
            const Value *v = b.as_map().find(*k);
            if (!v) return error();
            return known(meaning(*v));
        }
        return error();
    }

    R tmpl(const Node &n, int depth) {
        std::string out;
        for (int k : n.kids) {
            R part = eval(k, depth + 1);
            if (part.s != S::Known) return part;
            auto t = text_of(part.v);
            if (!t) return error();
            out += *t;
            if (out.size() > limits::kMaxValueBytes) return unknown();
        }
        return known(Value(std::move(out)));
    }

    // Terraform equality over the reader's values; a number and a text are compared as text,
    // since the reader keeps numbers written in quotes as numbers.
    static std::optional<bool> equal(const Value &a0, const Value &b0, int depth) {
        if (depth > 2 * kMaxDepth) return std::nullopt;
        Value a = meaning(a0), b = meaning(b0);
        if (a.is_null() || b.is_null()) return a.is_null() && b.is_null();
        if (is_number(a) && is_number(b)) return as_double(a) == as_double(b);
        if (a.is_bool() || b.is_bool()) return a.is_bool() && b.is_bool() && a.as_bool() == b.as_bool();
        if ((a.is_str() || is_number(a)) && (b.is_str() || is_number(b))) return text_of(a) == text_of(b);
        if (a.is_list() && b.is_list()) {
            if (a.as_list().size() != b.as_list().size()) return false;
            for (size_t i = 0; i < a.as_list().size(); ++i) {
                auto e = equal(a.as_list()[i], b.as_list()[i], depth + 1);
                if (!e || !*e) return e;
            }
            return true;
        }
        if (a.is_map() && b.is_map()) {
            if (a.as_map().size() != b.as_map().size()) return false;
            for (const auto &kv : a.as_map()) {
                const Value *o = b.as_map().find(kv.first);
                if (!o) return false;
                auto e = equal(kv.second, *o, depth + 1);
                if (!e || !*e) return e;
            }
            return true;
        }
        return false;
    }

    R binary(const Node &n, int depth) {
        const std::string &op = n.name;
        R a = eval(n.kids[0], depth + 1);
        if (a.s != S::Known) return a;
        if (op == "&&" || op == "||") {
            auto x = truth(a.v);
            if (!x) return error();
            R b = eval(n.kids[1], depth + 1);
            if (b.s != S::Known) return b;
            auto y = truth(b.v);
            if (!y) return error();
            return known(Value(op == "&&" ? (*x && *y) : (*x || *y)));
        }
        R b = eval(n.kids[1], depth + 1);
        if (b.s != S::Known) return b;
        if (op == "==" || op == "!=") {
            auto e = equal(a.v, b.v, 0);
            if (!e) return unknown();
            return known(Value(op == "==" ? *e : !*e));
        }
        auto x = number_of(meaning(a.v)), y = number_of(meaning(b.v));
        if (!x || !y) return error();
        if (op.size() == 1 && std::string_view("+-*/%").find(op[0]) != std::string_view::npos)
            return arithmetic(op[0], *x, *y);
        double p = as_double(*x), q = as_double(*y);
        bool r = op == "<" ? p < q : op == ">" ? p > q : op == "<=" ? p <= q : p >= q;
        return known(Value(r));
    }

    // Whole numbers stay whole (6, not 6.0) unless they would overflow; division by zero and
    // results that are not finite are errors, as Terraform reports them.
    R arithmetic(char op, const Value &x, const Value &y) {
        if (x.is_int() && y.is_int() && op != '/') {
            int64_t a = x.as_int(), b = y.as_int(), r = 0;
            bool over = op == '+' ? __builtin_add_overflow(a, b, &r)
                        : op == '-' ? __builtin_sub_overflow(a, b, &r)
                        : op == '*' ? __builtin_mul_overflow(a, b, &r)
                                    : false;
            if (op == '%') {
                if (b == 0) return error();
                if (b == -1) return known(Value(int64_t(0)));
                r = a % b;
            }
            if (!over) return known(Value(r));
        }
        double p = as_double(x), q = as_double(y), r = 0.0;
        switch (op) {
            case '+': r = p + q; break;
            case '-': r = p - q; break;
            case '*': r = p * q; break;
            case '/':
                if (q == 0.0) return error();
                r = p / q;
                break;
            default:
                if (q == 0.0) return error();
                r = std::fmod(p, q);
        }
        if (!std::isfinite(r)) return error();
        if (op == '/' && r == std::trunc(r) && std::fabs(r) < 9.0e15) return known(Value(int64_t(r)));
        return known(Value(r));
    }

    R call(const Node &n, int depth) {
        const std::string &f = n.name;
        if (f == "try") {
            for (int k : n.kids) {
                R r = eval(k, depth + 1);
                if (r.s != S::Error) return r;
            }
            return error();
        }
        static const char *const kKnown[] = {"coalesce", "lookup", "merge",    "concat", "length", "element",
                                             "format",   "join",   "lower",    "upper",  "min",    "max",
                                             "tostring", "tonumber", "contains", "keys",  "values", "toset",
                                             "tolist",   "tomap"};
        if (std::find(std::begin(kKnown), std::end(kKnown), f) == std::end(kKnown)) return unknown();
        std::vector<Value> args;
        for (size_t i = 0; i < n.kids.size(); ++i) {
            R r = eval(n.kids[i], depth + 1);
            if (r.s != S::Known) return r;
            Value v = meaning(r.v);
            if (n.expand && i + 1 == n.kids.size()) {
                if (!v.is_list()) return error();
                if (!spend(v.as_list().size())) return unknown();
                for (const Value &e : v.as_list()) args.push_back(meaning(e));
            } else args.push_back(std::move(v));
        }
        R r = apply(f, args);
        if (r.s == S::Known) return bounded(std::move(r.v));
        return r;
    }

    R apply(const std::string &f, std::vector<Value> &a) {
        size_t n = a.size();
        auto sorted_keys = [](const Map &m) {
            std::vector<const Map::Item *> items;
            for (const auto &kv : m) items.push_back(&kv);
            std::sort(items.begin(), items.end(), [](auto *x, auto *y) { return x->first < y->first; });
            return items;
        };
        if (f == "coalesce") {
            for (Value &v : a)
                if (!v.is_null() && !(v.is_str() && v.as_str().empty())) return known(std::move(v));
            return error();
        }
        if (f == "lookup") {
            if ((n != 2 && n != 3) || !a[0].is_map()) return error();
            auto k = text_of(a[1]);
            if (!k) return error();
            if (const Value *v = a[0].as_map().find(*k)) return known(meaning(*v));
            return n == 3 ? known(std::move(a[2])) : error();
        }
        if (f == "merge") {
            Map out;
            for (Value &v : a) {
                if (v.is_null()) continue;
                if (!v.is_map() || !spend(v.as_map().size())) return v.is_map() ? unknown() : error();
                for (const auto &kv : v.as_map()) out.set(kv.first, kv.second);
            }
            return known(Value(std::move(out)));
        }
        if (f == "concat") {
            List out;
            for (Value &v : a) {
                if (!v.is_list() || !spend(v.as_list().size())) return v.is_list() ? unknown() : error();
                for (const Value &e : v.as_list()) out.push_back(e);
            }
            return known(Value(std::move(out)));
        }
        if (f == "length") {
            if (n != 1) return error();
            if (a[0].is_list()) return known(Value(int64_t(a[0].as_list().size())));
            if (a[0].is_map()) return known(Value(int64_t(a[0].as_map().size())));
            if (a[0].is_str()) {
                int64_t chars = 0;
                for (unsigned char c : a[0].as_str()) chars += (c & 0xC0) != 0x80;
                return known(Value(chars));
            }
            return error();
        }
        if (f == "element") {
            if (n != 2 || !a[0].is_list() || a[0].as_list().empty()) return error();
            auto k = number_of(a[1]);
            if (!k || !k->is_int() || k->as_int() < 0) return error();
            const List &l = a[0].as_list();
            return known(meaning(l[size_t(k->as_int()) % l.size()]));
        }
        if (f == "format") return format(a);
        if (f == "join") {
            if (n < 2) return error();
            auto sep = text_of(a[0]);
            if (!sep) return error();
            std::string out;
            bool first = true;
            for (size_t i = 1; i < n; ++i) {
                if (!a[i].is_list() || !spend(a[i].as_list().size())) return a[i].is_list() ? unknown() : error();
                for (const Value &e : a[i].as_list()) {
                    auto t = text_of(meaning(e));
                    if (!t) return error();
                    if (!first) out += *sep;
                    out += *t;
                    first = false;
                    if (out.size() > limits::kMaxValueBytes) return unknown();
                }
            }
            return known(Value(std::move(out)));
        }
        if (f == "lower" || f == "upper") {
            if (n != 1) return error();
            auto t = text_of(a[0]);
            if (!t) return error();
            for (char &c : *t) {
                if (static_cast<unsigned char>(c) >= 0x80) return unknown();  // only ASCII case is mapped here
                if (f == "lower" && c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
                if (f == "upper" && c >= 'a' && c <= 'z') c = char(c - 'a' + 'A');
            }
            return known(Value(std::move(*t)));
        }
        if (f == "min" || f == "max") {
            if (n == 0) return error();
            std::optional<Value> best;
            for (const Value &v : a) {
                auto x = number_of(v);
                if (!x) return error();
                if (!best || (f == "min" ? as_double(*x) < as_double(*best) : as_double(*x) > as_double(*best)))
                    best = *x;
            }
            return known(std::move(*best));
        }
        if (f == "tostring") {
            if (n != 1) return error();
            if (a[0].is_null()) return known(Value());
            auto t = text_of(a[0]);
            return t ? known(Value(std::move(*t))) : error();
        }
        if (f == "tonumber") {
            if (n != 1) return error();
            if (a[0].is_null()) return known(Value());
            auto x = number_of(a[0]);
            return x ? known(std::move(*x)) : error();
        }
        if (f == "contains") {
            if (n != 2 || !a[0].is_list()) return error();
            if (!spend(a[0].as_list().size())) return unknown();
            for (const Value &e : a[0].as_list()) {
                auto eq = equal(e, a[1], 0);
                if (!eq) return unknown();
                if (*eq) return known(Value(true));
            }
            return known(Value(false));
        }
        if (f == "keys" || f == "values") {
            if (n != 1 || !a[0].is_map()) return error();
            if (!spend(a[0].as_map().size())) return unknown();
            List out;
            for (const auto *kv : sorted_keys(a[0].as_map()))
                out.push_back(f == "keys" ? Value(kv->first) : meaning(kv->second));
            return known(Value(std::move(out)));
        }
        if (f == "toset") {
            if (n != 1 || !a[0].is_list()) return error();
            if (!spend(a[0].as_list().size())) return unknown();
            // Sets of texts are ordered by their text; anything else keeps its order.
            List out;
            for (const Value &e : a[0].as_list()) {
                bool seen = false;
                for (const Value &o : out) {
                    if (!spend(1)) return unknown();
                    auto eq = equal(o, e, 0);
                    if (!eq) return unknown();
                    if (*eq) seen = true;
                }
                if (!seen) out.push_back(meaning(e));
            }
            bool texts = std::all_of(out.begin(), out.end(), [](const Value &v) { return v.is_str(); });
            if (texts)
                std::sort(out.begin(), out.end(), [](const Value &x, const Value &y) { return x.as_str() < y.as_str(); });
            return known(Value(std::move(out)));
        }
        if (f == "tolist") {
            if (n != 1 || !a[0].is_list()) return error();
            return known(std::move(a[0]));
        }
        if (f == "tomap") {
            if (n != 1 || !a[0].is_map()) return error();
            return known(std::move(a[0]));
        }
        return unknown();
    }

    // format() with the verbs %s, %d, %v and %%.
    static R format(std::vector<Value> &a) {
        if (a.empty()) return error();
        auto spec = text_of(a[0]);
        if (!spec) return error();
        std::string out;
        size_t next = 1;
        for (size_t i = 0; i < spec->size(); ++i) {
            char c = (*spec)[i];
            if (c != '%') {
                out += c;
                continue;
            }
            if (++i >= spec->size()) return error();
            char verb = (*spec)[i];
            if (verb == '%') {
                out += '%';
                continue;
            }
            if (verb != 's' && verb != 'd' && verb != 'v') return unknown();
            if (next >= a.size()) return error();
            const Value &v = a[next++];
            if (verb == 'd') {
                auto x = number_of(v);
                if (!x) return error();
                if (x->is_float() && std::floor(x->as_float()) != x->as_float()) return error();
            }
            auto t = text_of(v);
            if (!t) return error();
            out += *t;
            if (out.size() > limits::kMaxValueBytes) return unknown();
        }
        return known(Value(std::move(out)));
    }
};

// A reference written as a chain of names (var.x, local.y.z): what the plain pass resolves.
bool plain_reference(const std::vector<Node> &nodes, int at) {
    const Node *n = &nodes[size_t(at)];
    while (n->k == K::Attr) n = &nodes[size_t(n->kids[0])];
    return n->k == K::Root;
}

// A template whose parts are literals and plain references: the plain pass handles it.
bool plain_template(const std::vector<Node> &nodes, const Node &t) {
    for (int k : t.kids) {
        const Node &p = nodes[size_t(k)];
        if (p.k != K::Lit && !plain_reference(nodes, k)) return false;
    }
    return true;
}

bool worth_parsing(std::string_view s) {
    if (s.empty() || s.size() > limits::kMaxValueBytes) return false;
    // Collection literals and quoted texts without interpolation stay as the plain pass
    // leaves them.
    if (s.front() == '[' || s.front() == '{') return false;
    if (s.find("${") != std::string_view::npos) return true;
    if (s.front() == '"') return false;
    if (s == "null") return true;
    for (std::string_view p : {"var.", "local.", "each.", "count."})
        if (s.starts_with(p)) return true;
    return s.find_first_of("?()!=<>&|[+-*/%") != std::string_view::npos;
}

// The reader's form of a result: texts go through its number conversion and booleans are
// the texts it would have read.
Value reader_form(Value v) {
    if (v.is_bool()) return Value(v.as_bool() ? "true" : "false");
    if (v.is_str()) return number_or_text(v.as_str());
    return v;
}

}  // namespace

std::optional<Value> evaluate(std::string_view text, const Scope &scope) {
    std::string_view s = pytext::strip(text);
    if (!worth_parsing(s)) return std::nullopt;
    Parser p(s);
    std::optional<int> root;
    // A text that no expression can begin with (a "${...}" the reader left unquoted) is
    // tried as a template only: a failed parse costs a thrown exception.
    if (Parser::begins_expression(s.front())) {
        try {
            root = p.parse();
        } catch (const Fail &) {
        }
    }
    if (!root) {
        if (s.find("${") == std::string_view::npos) return std::nullopt;
        try {
            root = p.parse_template_body();
        } catch (const Fail &) {
            return std::nullopt;
        }
    }
    const Node &top = p.nodes[size_t(*root)];
    if (top.k == K::Lit) {
        if (top.lit.is_null()) return Value();
        return std::nullopt;
    }
    if (top.k == K::ListLit || top.k == K::MapLit) return std::nullopt;
    if (top.k == K::Tmpl && plain_template(p.nodes, top)) return std::nullopt;
    Eval e(p.nodes, scope);
    R r = e.eval(*root, 0);
    if (r.s != S::Known) return std::nullopt;
    // A plain reference is left to the plain pass unless it is null.
    if (plain_reference(p.nodes, *root) && !r.v.is_null()) return std::nullopt;
    return reader_form(std::move(r.v));
}

}  // namespace tw::stack::tfexpr
