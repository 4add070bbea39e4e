#include "core/reckoner/family_props.h"

#include "core/pytext.h"
#include "core/reckoner/estimator.h"

namespace tw::reckon {

namespace {

const Map *first_map(const Value *b) {
    if (!b) return nullptr;
    if (b->is_map()) return &b->as_map();
    if (b->is_list() && !b->as_list().empty() && b->as_list().front().is_map()) return &b->as_list().front().as_map();
    return nullptr;
}

const Map *block_map(const Ctx &c, std::string_view block) { return block_of(c.props, block); }

// The items of one-line list text, split at top-level commas, each stripped of blanks and quotes.
std::optional<std::vector<std::string>> list_items(std::string_view text) {
    text = pytext::strip(text);
    if (text.size() < 2 || text.front() != '[' || text.back() != ']') return std::nullopt;
    std::vector<std::string> items;
    std::string item;
    int depth = 0;
    bool quoted = false;
    auto flush = [&] {
        std::string_view s = pytext::strip(item);
        if (s.size() >= 2 && s.front() == '"' && s.back() == '"') s = s.substr(1, s.size() - 2);
        if (!s.empty()) items.emplace_back(s);
        item.clear();
    };
    for (char ch : text.substr(1, text.size() - 2)) {
        if (ch == '"') quoted = !quoted;
        if (!quoted && (ch == '[' || ch == '{' || ch == '(')) ++depth;
        if (!quoted && (ch == ']' || ch == '}' || ch == ')')) --depth;
        if (!quoted && depth == 0 && ch == ',') {
            flush();
            continue;
        }
        item += ch;
    }
    flush();
    return items;
}

}  // namespace

const Value *block_value(const Map &props, std::string_view block) {
    if (const Value *b = props.find(block); b && (b->is_map() || b->is_list())) return b;
    if (const Value *all = props.find(kBlocksKey); all && all->is_map()) return all->as_map().find(block);
    return nullptr;
}

const Map *block_of(const Map &props, std::string_view block) { return first_map(block_value(props, block)); }

const Value *inside(const Ctx &c, std::string_view block, std::string_view key) {
    if (const Map *m = block_map(c, block))
        if (const Value *v = m->find(key); v && v->truthy()) return v;
    return nullptr;
}

const Value *in_block(const Ctx &c, std::string_view block, std::string_view key) {
    if (const Value *v = c.prop(key); v && v->truthy()) return v;
    return inside(c, block, key);
}

std::optional<double> block_number(const Ctx &c, std::string_view block,
                                   std::initializer_list<std::string_view> keys) {
    const Map *m = block.empty() ? nullptr : block_map(c, block);
    auto usable = [](const Value *v) -> std::optional<double> {
        if (!v) return std::nullopt;
        auto d = to_double(*v);
        return d && countable(*d) ? d : std::nullopt;
    };
    for (auto k : keys) {
        if (auto d = usable(c.prop(k))) return d;
        if (auto d = usable(m ? m->find(k) : nullptr)) return d;
    }
    return std::nullopt;
}

std::optional<int64_t> list_size(const Value *v) {
    if (!v) return std::nullopt;
    if (v->is_list()) return int64_t(v->as_list().size());
    if (v->is_str())
        if (auto items = list_items(v->as_str())) return int64_t(items->size());
    return std::nullopt;
}

std::optional<std::string> first_text(const Value *v) {
    if (!v) return std::nullopt;
    if (v->is_list()) {
        for (const Value &e : v->as_list())
            if (e.is_str() && !e.as_str().empty()) return e.as_str();
        return std::nullopt;
    }
    if (!v->is_str() || v->as_str().empty()) return std::nullopt;
    if (auto items = list_items(v->as_str())) {
        if (items->empty()) return std::nullopt;
        return items->front();
    }
    // A list or map continued on the next lines, whose first line is all that was read.
    if (v->as_str().front() == '[' || v->as_str().front() == '{') return std::nullopt;
    return v->as_str();
}

}  // namespace tw::reckon

namespace tw::reckon {

namespace {

template <class T>
std::unordered_map<std::string, T> &registry() {
    static std::unordered_map<std::string, T> entries;
    return entries;
}

template <class T>
const T &entry_of(const Ctx &c) {
    return registry<T>().at(std::string(c.type));
}

std::string key_of_entry(const Ctx &c, KeyOf key) { return key ? key(c) : std::string("base"); }

// "[<n>x ]<label>[ (<key>)]"
std::string opening(double n, const char *label, const std::string &key) {
    std::string s = n != 1 ? f(n, 0) + "x " : "";
    s += label;
    if (key != "base") s += " (" + key + ")";
    return s;
}

void hourly_unit(Ctx &c) {
    const HourlyUnit &u = entry_of<HourlyUnit>(c);
    std::string key = key_of_entry(c, u.key);
    double n = u.count ? u.count(c) : 1;
    Rates r = c.look_up(key);
    double rate = r.get(PER_HOUR, u.hourly);
    c.hourly(rate, n);
    c.basis = opening(n, u.label, key) + " @ $" + f(rate, 4) + "/hr" + (n != 1 ? " each" : "");
    if (u.per_gb >= 0) {
        double gb = c.hint(u.gb_hint, 0);
        double price = r.get(PER_GB_TRANSFER, u.per_gb);
        c.cost += gb * price;
        c.basis += " + " + f(gb, 0) + "GB @ $" + f(price, 4) + "/GB";
    }
}

void monthly_fee(Ctx &c) {
    const MonthlyFee &u = entry_of<MonthlyFee>(c);
    std::string key = key_of_entry(c, u.key);
    double n = u.count ? u.count(c) : 1;
    double rate = c.look_up(key).get(PER_HOUR, u.monthly / DEFAULT_MONTHLY_HOURS);
    c.hourly(rate, n);
    c.basis = opening(n, u.label, key) + " @ $" + f(rate * DEFAULT_MONTHLY_HOURS, 2) + "/mo" + (n != 1 ? " each" : "");
}

void metered_usage(Ctx &c) {
    const MeteredUsage &u = entry_of<MeteredUsage>(c);
    std::string key = key_of_entry(c, u.key);
    double usage = c.hint(u.hint, u.usage);
    double rate = c.look_up(key).get(u.field, u.rate);
    c.cost = usage * rate;
    std::string unit = u.unit;
    c.basis = opening(1, u.label, key) + " " + f(usage, unit == "M" ? 1 : 0) + (unit == "M" ? "M" : "GB") + " @ $" +
              f(rate, 4) + "/" + unit;
}

}  // namespace

void add_hourly_unit(FamilyTable &t, const char *type, HourlyUnit u) {
    registry<HourlyUnit>().insert_or_assign(type, u);
    t.emplace(type, hourly_unit);
}

void add_monthly_fee(FamilyTable &t, const char *type, MonthlyFee u) {
    registry<MonthlyFee>().insert_or_assign(type, u);
    t.emplace(type, monthly_fee);
}

void add_metered_usage(FamilyTable &t, const char *type, MeteredUsage u) {
    registry<MeteredUsage>().insert_or_assign(type, u);
    t.emplace(type, metered_usage);
}

std::string lower_text(const Ctx &c, std::initializer_list<std::string_view> names, std::string_view def) {
    return pytext::lower(c.key_of(names, def));
}

double count_of_list(const Ctx &c, std::initializer_list<std::string_view> names, double def) {
    for (auto n : names)
        if (auto k = list_size(c.prop(n)); k && *k > 0) return double(*k);
    return def;
}

}  // namespace tw::reckon
