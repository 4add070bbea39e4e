#include "core/reckoner/frame.h"

#include <cmath>

#include "core/pytext.h"

namespace tw::reckon {

const char *const kFieldNames[6] = {"price_per_hour",     "price_per_million_requests", "price_per_gb_second",
                                    "price_per_gb_month", "price_per_gb_transfer",      "price_per_request"};

std::optional<double> to_double(const Value &v) {
    switch (v.kind()) {
        case Value::Kind::Int: return double(v.as_int());
        case Value::Kind::Float: return v.as_float();
        case Value::Kind::Bool: return v.as_bool() ? 1.0 : 0.0;
        case Value::Kind::BigInt: return pytext::parse_float(v.as_bigint().digits);
        case Value::Kind::Str: return pytext::parse_float(v.as_str());
        default: return std::nullopt;
    }
}

std::optional<int64_t> to_integer(const Value &v) {
    switch (v.kind()) {
        case Value::Kind::Int: return v.as_int();
        case Value::Kind::Bool: return v.as_bool() ? 1 : 0;
        case Value::Kind::Float: {
            double d = std::trunc(v.as_float());
            if (!std::isfinite(d) || d < -9.2e18 || d > 9.2e18) return std::nullopt;
            return int64_t(d);
        }
        case Value::Kind::Str: {
            auto i = pytext::parse_int(v.as_str());
            if (!i || !i->is_int()) return std::nullopt;
            return i->as_int();
        }
        default: return std::nullopt;
    }
}

Rates Ctx::look_up(std::string_view item_key) const {
    Rates r = rate(item_key);
    if (r.empty()) r = rate("base");
    return r;
}

const Value *Ctx::first_of(std::initializer_list<std::string_view> names) const {
    for (auto n : names)
        if (const Value *v = props.find(n); v && v->truthy()) return v;
    return nullptr;
}

std::string Ctx::key_of(std::initializer_list<std::string_view> names, std::string_view def) const {
    for (auto n : names)
        if (const Value *v = props.find(n); v && v->truthy() && v->is_str()) return v->as_str();
    return std::string(def);
}

double Ctx::number_of(std::initializer_list<std::string_view> names, double def) const {
    for (auto n : names)
        if (const Value *v = props.find(n); v && v->truthy())
            if (auto d = to_double(*v)) return *d;
    return def;
}

std::optional<double> Ctx::first_number(std::initializer_list<std::string_view> names) const {
    for (auto n : names)
        if (const Value *v = props.find(n); v && v->truthy())
            if (auto d = to_double(*v)) return d;
    return std::nullopt;
}

std::string Ctx::text(std::string_view name, std::string_view def) const {
    const Value *v = props.find(name);
    return v && v->is_str() ? v->as_str() : std::string(def);
}

const Map *Ctx::tags() const {
    const Value *t = props.find("tags");
    return t && t->is_map() ? &t->as_map() : nullptr;
}

double Ctx::hint(std::string_view x, double def, bool tags_too) const {
    std::string key = "tally_" + std::string(x);
    if (const Value *v = props.find(key); v && v->truthy())
        if (auto d = to_double(*v)) return *d;
    if (tags_too)
        if (const Map *t = tags())
            if (const Value *v = t->find(key); v && v->truthy())
                if (auto d = to_double(*v)) return *d;
    return def;
}

double Ctx::number(std::string_view name, double def) const {
    if (const Value *v = props.find(name))
        if (auto d = to_double(*v)) return *d;
    return def;
}

int64_t Ctx::integer(std::string_view name, int64_t def) const {
    if (const Value *v = props.find(name))
        if (auto i = to_integer(*v)) return *i;
    return def;
}

void add_family(FamilyTable &table, std::initializer_list<const char *> types, Family family) {
    for (const char *t : types) table.emplace(t, family);
}

std::string f(double v, int digits) { return pytext::format_fixed(v, digits); }
std::string grouped(double v) { return pytext::format_grouped0(v); }
std::string plain(const Value &v) { return pytext::str_of(v); }
std::string plain(double v) { return pytext::repr_double(v); }

}  // namespace tw::reckon
