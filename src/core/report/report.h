// Reports of the hook: the per-resource breakdown, the change between two trees, and the
// JSON document for machines.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/reckoner/estimator.h"

namespace tw::report {

// One priced resource.
struct Item {
    std::string file;    // the file it was read from, as the scan shows it
    std::string unit;    // its home: the directory of a .tf file, else the file itself
    std::string type, name, region, basis;
    std::string source;  // what priced it (source_name), "" when unknown
    double cost = 0.0;
};

// "rule", "free-catalog", "free-keyword", "flat-default", "outside-bill", "default-rate" for
// a rule that fell back to a built-in default rate, or "other-region" for one priced by the
// row of another region.
std::string source_name(const reckon::Cost &c);

// The home of a record read from `file`: its directory for Terraform, else the file.
std::string unit_of(const std::string &file);

enum class Status { Added, Removed, Changed, Unchanged };
const char *status_name(Status s);

struct Row {
    Status status;
    const Item *before = nullptr;  // null when added
    const Item *after = nullptr;   // null when removed
    double change = 0.0;
};

// Resources of two trees matched by home, type and name (repeats pair up in order);
// changes first, largest absolute change first, then unchanged ones, costliest first.
std::vector<Row> compare(const std::vector<Item> &base, const std::vector<Item> &now);

// Money as the hook prints it: "12.50"; signed: "+$12.50", "-$12.50", "$0.00".
std::string money(double d);
std::string signed_money(double d);

// Whether `amount` counts as over `limit`: above it, or no finite amount at all (a price out
// of range makes a total infinite and a change NaN; such a run never passes as within).
bool over_limit(double amount, double limit);
// The one warning line (after an empty line) for amounts that are not finite, `shown` being
// what they are, e.g. "Projected cost ($inf)".
std::string not_finite_line(const std::string &shown);

// How a resource is named in reports: "type.name", or the module address alone for a
// resource read through a module call ("module.app.aws_instance.this" already holds the type).
std::string resource_label(const Item &it);

// Table lines (without line ends) of the resources, costliest first.
std::vector<std::string> breakdown_table(const std::vector<Item> &items);
// Table lines of the rows that changed (none when nothing changed).
std::vector<std::string> diff_table(const std::vector<Row> &rows);
// The resources priced by a flat default, a built-in default rate or another region's rate,
// and those outside the clouds' bills, by type (most first).
struct DefaultCount {
    const char *text;  // "Priced by a flat default", ...
    size_t total = 0;
    std::vector<std::pair<std::string, size_t>> by_type;
};
std::vector<DefaultCount> default_counts(const std::vector<Item> &items);
// Lines counting, by type, the resources priced by a flat default, a built-in default rate or
// another region's rate, and those outside the clouds' bills.
std::vector<std::string> defaults_summary(const std::vector<Item> &items);

// What the JSON document says besides the resources.
struct Verdict {
    std::string directory;
    double threshold = 0.0;
    std::optional<double> max_total;
    bool exceeded = false;
};

std::string tree_json(const Verdict &v, double total, const std::vector<Item> &items);
// `scanned` false: nothing relevant changed, no totals.
std::string diff_json(const Verdict &v, const std::string &base, bool scanned, double base_total, double new_total,
                      const std::vector<Row> &rows, const std::vector<Item> &now);

// The same reports as a Markdown document for a pull-request comment: totals, the largest
// resources (changes, in the diff) in a table of at most kMarkdownRows rows, the defaults
// count and a collapsed per-file breakdown. Names from the repository are escaped.
constexpr size_t kMarkdownRows = 25;
std::string tree_markdown(const Verdict &v, double total, const std::vector<Item> &items);
std::string diff_markdown(const Verdict &v, const std::string &base, bool scanned, double base_total,
                          double new_total, const std::vector<Row> &rows, const std::vector<Item> &now);
// `text` as a code span that survives a table cell: no markup, HTML or cell break inside.
std::string md_code(std::string_view text);

}  // namespace tw::report
