// The hook's reports.
#include "core/report/report.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <map>

#include "core/fsutil.h"
#include "core/json.h"
#include "core/names.h"
#include "core/pytext.h"

namespace tw::report {

namespace {

// Whole cents, ordered like the amounts; NaN and amounts beyond any price above all others.
long long cents(double d) {
    if (std::isnan(d) || d >= 9e16) return LLONG_MAX;
    if (d <= -9e16) return LLONG_MIN;
    return std::llround(d * 100.0);
}

bool by_place(const Item &a, const Item &b) {
    if (a.file != b.file) return a.file < b.file;
    if (a.type != b.type) return a.type < b.type;
    return a.name < b.name;
}

const Item &shown(const Row &r) { return r.after ? *r.after : *r.before; }

// Columns padded to their widest cell; `right` marks the right-aligned ones. The last
// column is not padded. Cells are shown printable (names come from file names and input).
std::vector<std::string> table(std::vector<std::vector<std::string>> cells, const std::vector<bool> &right) {
    for (auto &row : cells)
        for (auto &cell : row) cell = names::printable(cell);
    std::vector<size_t> width(right.size(), 0);
    for (const auto &row : cells)
        for (size_t i = 0; i < row.size(); ++i) width[i] = std::max(width[i], pytext::count_cps(row[i]));
    std::vector<std::string> lines;
    lines.reserve(cells.size());
    for (const auto &row : cells) {
        std::string line = " ";
        for (size_t i = 0; i < row.size(); ++i) {
            size_t pad = width[i] - pytext::count_cps(row[i]);
            line += ' ';
            if (right[i]) line.append(pad, ' ');
            line += row[i];
            if (!right[i] && i + 1 < row.size()) line.append(pad, ' ');
            line += ' ';
        }
        while (!line.empty() && line.back() == ' ') line.pop_back();
        lines.push_back(std::move(line));
    }
    return lines;
}

void json_string(std::string &out, std::string_view s) { json::write_string(out, s, false); }

void json_number(std::string &out, double d) {
    if (!std::isfinite(d)) out += "null";
    else out += pytext::repr_double(pytext::round2(d) + 0.0);
}

void json_optional(std::string &out, std::optional<double> d) {
    if (d) json_number(out, *d);
    else out += "null";
}

// "key": value pairs of one object, written in order.
struct Object {
    std::string &out;
    bool first = true;
    std::string indent;
    Object(std::string &o, std::string ind) : out(o), indent(std::move(ind)) { out += "{"; }
    std::string &key(const char *k) {
        out += first ? "\n" : ",\n";
        first = false;
        out += indent + "  ";
        json_string(out, k);
        out += ": ";
        return out;
    }
    void str(const char *k, std::string_view v) { json_string(key(k), v); }
    void name(const char *k, std::string_view v) { names::write_json(key(k), v, false); }
    void num(const char *k, double v) { json_number(key(k), v); }
    void opt(const char *k, std::optional<double> v) { json_optional(key(k), v); }
    void boolean(const char *k, bool v) { key(k) += v ? "true" : "false"; }
    void close() { out += (first ? "}" : "\n" + indent + "}"); }
};

void item_fields(Object &o, const Item &it) {
    o.name("file", it.file);
    o.str("type", it.type);
    o.str("name", it.name);
    o.str("region", it.region);
}

void source_field(Object &o, const Item &it) {
    if (it.source.empty()) o.key("source") += "null";
    else o.str("source", it.source);
}

void verdict_fields(Object &o, const Verdict &v) {
    o.num("threshold", v.threshold);
    o.opt("max_total", v.max_total);
    o.boolean("exceeded", v.exceeded);
}

void defaults_field(Object &o, const std::vector<Item> &items) {
    std::map<std::string, std::map<std::string, size_t>> counts;
    for (const auto &it : items)
        if (it.source == "flat-default" || it.source == "default-rate" || it.source == "other-region" ||
            it.source == "outside-bill")
            ++counts[it.source][it.type];
    std::string &out = o.key("defaults");
    Object d(out, o.indent + "  ");
    for (const char *kind : {"flat-default", "default-rate", "other-region", "outside-bill"}) {
        std::string &inner = d.key(kind);
        Object by_type(inner, d.indent + "  ");
        for (const auto &[type, n] : counts[kind]) by_type.key(type.c_str()) += std::to_string(n);
        by_type.close();
    }
    d.close();
}

}  // namespace

std::string source_name(const reckon::Cost &c) {
    if (c.source == reckon::CostSource::Rule && c.default_rate) return "default-rate";
    if (c.source == reckon::CostSource::Rule && c.other_region) return "other-region";
    return reckon::cost_source_name(c.source);
}

std::string unit_of(const std::string &file) {
    if (!file.ends_with(".tf")) return file;
    return fs::dirname(file);
}

const char *status_name(Status s) {
    switch (s) {
        case Status::Added: return "added";
        case Status::Removed: return "removed";
        case Status::Changed: return "changed";
        case Status::Unchanged: return "unchanged";
    }
    return "";
}

std::vector<Row> compare(const std::vector<Item> &base, const std::vector<Item> &now) {
    // Both sides in order of home, type and name (repeats stay in scan order), then merged.
    auto order = [](const Item &a, const Item &b) {
        if (int c = a.unit.compare(b.unit)) return c;
        if (int c = a.type.compare(b.type)) return c;
        return a.name.compare(b.name);
    };
    auto sorted = [&](const std::vector<Item> &items) {
        std::vector<const Item *> v;
        v.reserve(items.size());
        for (const auto &it : items) v.push_back(&it);
        std::stable_sort(v.begin(), v.end(), [&](const Item *a, const Item *b) { return order(*a, *b) < 0; });
        return v;
    };
    std::vector<const Item *> olds = sorted(base), news = sorted(now);
    std::vector<Row> rows;
    rows.reserve(std::max(olds.size(), news.size()));
    size_t i = 0, j = 0;
    while (i < olds.size() || j < news.size()) {
        int c = i == olds.size() ? 1 : j == news.size() ? -1 : order(*olds[i], *news[j]);
        if (c < 0) {
            rows.push_back({Status::Removed, olds[i], nullptr, -olds[i]->cost});
            ++i;
        } else if (c > 0) {
            rows.push_back({Status::Added, nullptr, news[j], news[j]->cost});
            ++j;
        } else {
            const Item *old = olds[i++], *cur = news[j++];
            bool same = cents(cur->cost) == cents(old->cost) && cur->basis == old->basis;
            rows.push_back({same ? Status::Unchanged : Status::Changed, old, cur, pytext::round2(cur->cost - old->cost)});
        }
    }
    std::stable_sort(rows.begin(), rows.end(), [](const Row &a, const Row &b) {
        bool ua = a.status == Status::Unchanged, ub = b.status == Status::Unchanged;
        if (ua != ub) return ub;
        double ma = ua ? shown(a).cost : std::fabs(a.change), mb = ub ? shown(b).cost : std::fabs(b.change);
        if (cents(ma) != cents(mb)) return cents(ma) > cents(mb);
        return by_place(shown(a), shown(b));
    });
    return rows;
}

std::string money(double d) { return pytext::format_fixed(d, 2); }

std::string signed_money(double d) {
    if (std::isnan(d)) return "$nan";
    long long c = cents(d);
    if (c == 0) return "$0.00";
    return std::string(c > 0 ? "+$" : "-$") + money(std::fabs(d));
}

bool over_limit(double amount, double limit) { return !std::isfinite(amount) || amount > limit; }

std::string not_finite_line(const std::string &shown) {
    return "\n[Tally-Warden WARNING] " + shown +
           " is not a finite amount (a stored price is out of range); it counts as over the limits!";
}

std::vector<std::string> breakdown_table(const std::vector<Item> &items) {
    std::vector<const Item *> order;
    for (const auto &it : items) order.push_back(&it);
    std::stable_sort(order.begin(), order.end(), [](const Item *a, const Item *b) {
        if (cents(a->cost) != cents(b->cost)) return cents(a->cost) > cents(b->cost);
        return by_place(*a, *b);
    });
    std::vector<std::vector<std::string>> cells{{"Monthly", "File", "Resource", "Basis"}};
    for (const Item *it : order) cells.push_back({"$" + money(it->cost), it->file, resource_label(*it), it->basis});
    return table(std::move(cells), {true, false, false, false});
}

std::vector<std::string> diff_table(const std::vector<Row> &rows) {
    std::vector<std::vector<std::string>> cells{{"Change", "Before", "After", "", "File", "Resource", "Basis"}};
    for (const auto &r : rows) {
        if (r.status == Status::Unchanged) continue;
        const Item &it = shown(r);
        cells.push_back({signed_money(r.change), r.before ? "$" + money(r.before->cost) : "-",
                         r.after ? "$" + money(r.after->cost) : "-", status_name(r.status), it.file, resource_label(it),
                         it.basis});
    }
    if (cells.size() == 1) return {};
    return table(std::move(cells), {true, true, true, false, false, false, false});
}

std::vector<DefaultCount> default_counts(const std::vector<Item> &items) {
    std::vector<DefaultCount> counts;
    for (auto [kind, text] : {std::pair{"flat-default", "Priced by a flat default"},
                              std::pair{"default-rate", "Priced by a built-in default rate"},
                              std::pair{"other-region", "Priced at another region's rate"},
                              std::pair{"outside-bill", "Not billed by AWS, Azure or Google Cloud"}}) {
        std::map<std::string, size_t> by_type;
        size_t total = 0;
        for (const auto &it : items)
            if (it.source == kind) {
                ++by_type[it.type];
                ++total;
            }
        if (!total) continue;
        DefaultCount c{text, total, {by_type.begin(), by_type.end()}};
        std::stable_sort(c.by_type.begin(), c.by_type.end(), [](auto &a, auto &b) { return a.second > b.second; });
        counts.push_back(std::move(c));
    }
    return counts;
}

std::vector<std::string> defaults_summary(const std::vector<Item> &items) {
    std::vector<std::string> lines;
    for (const auto &c : default_counts(items)) {
        std::string line = std::string("[Tally-Warden] ") + c.text + ": " + std::to_string(c.total) + " (";
        for (size_t i = 0; i < c.by_type.size(); ++i)
            line += (i ? ", " : "") + c.by_type[i].first + " " + std::to_string(c.by_type[i].second);
        lines.push_back(line + ")");
    }
    return lines;
}

std::string tree_json(const Verdict &v, double total, const std::vector<Item> &items) {
    std::string out;
    Object o(out, "");
    o.str("mode", "tree");
    o.name("directory", v.directory);
    o.num("total_monthly_cost", total);
    verdict_fields(o, v);
    std::string &list = o.key("resources");
    list += "[";
    for (size_t i = 0; i < items.size(); ++i) {
        list += i ? ",\n    " : "\n    ";
        Object r(list, "    ");
        item_fields(r, items[i]);
        r.num("monthly_cost", items[i].cost);
        r.str("basis", items[i].basis);
        source_field(r, items[i]);
        r.close();
    }
    list += items.empty() ? "]" : "\n  ]";
    defaults_field(o, items);
    o.close();
    return out + "\n";
}

std::string diff_json(const Verdict &v, const std::string &base, bool scanned, double base_total, double new_total,
                      const std::vector<Row> &rows, const std::vector<Item> &now) {
    std::string out;
    Object o(out, "");
    o.str("mode", "diff");
    o.name("directory", v.directory);
    o.str("base", base);
    o.boolean("scanned", scanned);
    if (scanned) {
        o.num("base_total", base_total);
        o.num("new_total", new_total);
        o.num("change", new_total - base_total);
    } else {
        for (const char *k : {"base_total", "new_total"}) o.key(k) += "null";
        o.num("change", 0.0);
    }
    verdict_fields(o, v);
    std::string &list = o.key("resources");
    list += "[";
    for (size_t i = 0; i < rows.size(); ++i) {
        const Row &row = rows[i];
        const Item &it = shown(row);
        list += i ? ",\n    " : "\n    ";
        Object r(list, "    ");
        r.str("status", status_name(row.status));
        item_fields(r, it);
        r.num("monthly_cost", it.cost);
        r.str("basis", it.basis);
        source_field(r, it);
        r.opt("before", row.before ? std::optional(row.before->cost) : std::nullopt);
        r.opt("after", row.after ? std::optional(row.after->cost) : std::nullopt);
        r.num("change", row.change);
        r.close();
    }
    list += rows.empty() ? "]" : "\n  ]";
    defaults_field(o, now);
    o.close();
    return out + "\n";
}

std::string resource_label(const Item &it) {
    const std::string &n = it.name;
    if (n.starts_with("module.") && !it.type.empty()) {
        size_t at = n.find("." + it.type + ".");
        if (at != std::string::npos && at + it.type.size() + 2 < n.size()) return n;
    }
    return it.type + "." + n;
}

}  // namespace tw::report
