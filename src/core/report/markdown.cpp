// The hook's reports as Markdown, for a pull-request comment.
#include <algorithm>
#include <cmath>
#include <map>

#include "core/report/report.h"

namespace tw::report {

std::string md_code(std::string_view text) {
    std::string body;
    size_t run = 0, longest = 0;
    for (char c : text) {
        run = c == '`' ? run + 1 : 0;
        longest = std::max(longest, run);
        unsigned char u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7f) body += ' ';  // a line end would end the table row
        else if (c == '|') body += "\\|";       // a table splits cells on unescaped pipes
        else body += c;
    }
    if (body.find_first_not_of(' ') == std::string::npos) return body.empty() ? "" : "`" + body + "`";
    std::string fence(longest + 1, '`');
    // A span may not begin or end with its fence character: pad it (one blank each side is dropped).
    bool pad = body.front() == '`' || body.back() == '`' || (body.front() == ' ' && body.back() == ' ');
    return pad ? fence + " " + body + " " + fence : fence + body + fence;
}

namespace {

const Item &shown(const Row &r) { return r.after ? *r.after : *r.before; }

std::string dollars(double d) { return "$" + money(d); }

std::string resource(const Item &it) { return md_code(resource_label(it)); }

void defaults_lines(std::string &out, const std::vector<Item> &items) {
    auto counts = default_counts(items);
    if (counts.empty()) {
        out += "Every resource was priced by a rule or the catalog.\n\n";
        return;
    }
    for (const auto &c : counts) {
        out += std::string(c.text) + ": " + std::to_string(c.total) + " (";
        for (size_t i = 0; i < c.by_type.size(); ++i)
            out += (i ? ", " : "") + md_code(c.by_type[i].first) + " " + std::to_string(c.by_type[i].second);
        out += ").\n";
    }
    out += "\n";
}

void more_line(std::string &out, size_t shown_rows, size_t all) {
    if (all > shown_rows) out += "\n_and " + std::to_string(all - shown_rows) + " more_\n";
}

struct FileSums {
    size_t before = 0, after = 0;
    double before_cost = 0.0, after_cost = 0.0;
};

void per_file(std::string &out, const std::map<std::string, FileSums> &files, bool diff) {
    if (files.empty()) return;
    out += "<details><summary>Per file (" + std::to_string(files.size()) + ")</summary>\n\n";
    if (diff) out += "| File | Resources | Before | After | Change |\n|---|---:|---:|---:|---:|\n";
    else out += "| File | Resources | Monthly |\n|---|---:|---:|\n";
    for (const auto &[file, s] : files) {
        out += "| " + md_code(file) + " | ";
        if (diff)
            out += std::to_string(s.after) + " | " + dollars(s.before_cost) + " | " + dollars(s.after_cost) + " | " +
                   signed_money(s.after_cost - s.before_cost) + " |\n";
        else out += std::to_string(s.after) + " | " + dollars(s.after_cost) + " |\n";
    }
    out += "\n</details>\n";
}

}  // namespace

std::string tree_markdown(const Verdict &v, double total, const std::vector<Item> &items) {
    std::string out = "### Tally-Warden: projected monthly cost of " + md_code(v.directory) + "\n\n";
    out += "**Total: " + dollars(total) + "/month** (threshold " + dollars(v.threshold) + ")";
    out += v.exceeded ? ": **over the threshold**.\n\n" : ": within the limits.\n\n";
    if (items.empty()) {
        out += "No resources found.\n";
        return out;
    }
    std::vector<const Item *> order;
    for (const auto &it : items) order.push_back(&it);
    std::stable_sort(order.begin(), order.end(), [](const Item *a, const Item *b) {
        long long ca = std::llround(a->cost * 100.0), cb = std::llround(b->cost * 100.0);
        if (ca != cb) return ca > cb;
        if (a->file != b->file) return a->file < b->file;
        if (a->type != b->type) return a->type < b->type;
        return a->name < b->name;
    });
    size_t n = std::min(order.size(), kMarkdownRows);
    out += "| Monthly | Resource | File |\n|---:|---|---|\n";
    for (size_t i = 0; i < n; ++i)
        out += "| " + dollars(order[i]->cost) + " | " + resource(*order[i]) + " | " + md_code(order[i]->file) + " |\n";
    more_line(out, n, order.size());
    out += "\n";
    defaults_lines(out, items);
    std::map<std::string, FileSums> files;
    for (const auto &it : items) {
        ++files[it.file].after;
        files[it.file].after_cost += it.cost;
    }
    per_file(out, files, false);
    return out;
}

std::string diff_markdown(const Verdict &v, const std::string &base, bool scanned, double base_total,
                          double new_total, const std::vector<Row> &rows, const std::vector<Item> &now) {
    std::string out = "### Tally-Warden: cost change of " + md_code(v.directory) + " against " + md_code(base) + "\n\n";
    if (!scanned) {
        out += "No infrastructure file changed.\n";
        return out;
    }
    double change = new_total - base_total;
    out += "| | Monthly |\n|---|---:|\n";
    out += "| Base | " + dollars(base_total) + " |\n| New | " + dollars(new_total) + " |\n";
    out += "| **Change** | **" + signed_money(change) + "** |\n\n";
    out += "Threshold on the increase: " + dollars(v.threshold);
    if (v.max_total) out += "; maximum total: " + dollars(*v.max_total);
    out += v.exceeded ? ". **Over the limits.**\n\n" : ". Within the limits.\n\n";

    std::vector<const Row *> changed;
    for (const auto &r : rows)
        if (r.status != Status::Unchanged) changed.push_back(&r);
    if (changed.empty()) out += "No resource changed its cost.\n\n";
    else {
        size_t n = std::min(changed.size(), kMarkdownRows);
        out += "| Change | Before | After | | Resource | File |\n|---:|---:|---:|---|---|---|\n";
        for (size_t i = 0; i < n; ++i) {
            const Row &r = *changed[i];
            out += "| " + signed_money(r.change) + " | " + (r.before ? dollars(r.before->cost) : "-") + " | " +
                   (r.after ? dollars(r.after->cost) : "-") + " | " + status_name(r.status) + " | " +
                   resource(shown(r)) + " | " + md_code(shown(r).file) + " |\n";
        }
        more_line(out, n, changed.size());
        out += "\n";
    }
    defaults_lines(out, now);
    std::map<std::string, FileSums> files;
    for (const auto &r : rows) {
        if (r.before) {
            ++files[r.before->file].before;
            files[r.before->file].before_cost += r.before->cost;
        }
        if (r.after) {
            ++files[r.after->file].after;
            files[r.after->file].after_cost += r.after->cost;
        }
    }
    per_file(out, files, true);
    return out;
}

}  // namespace tw::report
