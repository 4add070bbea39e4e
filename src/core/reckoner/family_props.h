// Property readers for the families of node pools, metered units and fees. Terraform files
// flatten nested blocks into top-level keys and keep one-line lists as text ("[a, b]"); plan
// and CloudFormation JSON keep blocks as maps or lists of maps. These readers accept both.
#pragma once

#include <cmath>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/reckoner/frame.h"

namespace tw::reckon {

// A nested block of the properties: `block` itself (a plan's list of maps, a template's map),
// else the Terraform reader's entry for it under the blocks key; nothing when neither.
const Value *block_value(const Map &props, std::string_view block);
// The first map of that block.
const Map *block_of(const Map &props, std::string_view block);
// `key` as a top-level property, else inside the block `block` (a map, or a list whose first
// element is a map). Only present, non-empty values qualify.
const Value *in_block(const Ctx &c, std::string_view block, std::string_view key);
// The same, inside the block only.
const Value *inside(const Ctx &c, std::string_view block, std::string_view key);
// A count or size as the families take it: a finite number of 0 or more (text such as "inf",
// "nan" or "-3" converts to a number but is none).
inline bool countable(double v) { return std::isfinite(v) && v >= 0; }
// The first of `keys` present as a countable number at the top level or in `block`.
std::optional<double> block_number(const Ctx &c, std::string_view block,
                                   std::initializer_list<std::string_view> keys);
// The number of elements of a list, or of list text written on one line ("[a, b]"); nothing
// when the value is neither (a list opened on one line and continued on the next is unknown).
std::optional<int64_t> list_size(const Value *v);
// The first text element of a list or of one-line list text; other text is itself, except the
// opening line of a list or map written over several lines, which yields nothing.
std::optional<std::string> first_text(const Value *v);

// Prices `count` instances of `size` through the virtual-machine prices stored for `vm_type`
// (or the size-group estimate), with the basis "<count>x <instance basis><note>".
void price_instances(Ctx &c, std::string_view vm_type, const std::string &size, double count,
                     std::string_view note);

}  // namespace tw::reckon

namespace tw::reckon {

// Table-driven families. An entry's `key` picks the item key (nullptr: "base") and `count`
// the number of billed units (nullptr: one); defaults are the list prices the entry was
// written from, used when the store holds no row.
using KeyOf = std::string (*)(const Ctx &);
using CountOf = double (*)(const Ctx &);

// Per unit-hour, plus an optional charge per GB processed read from a usage hint.
struct HourlyUnit {
    const char *label;
    KeyOf key;
    CountOf count;
    double hourly;
    double per_gb = -1;  // < 0: no per-GB charge
    const char *gb_hint = "transfer_gb";
};

// A fixed fee per unit and month, stored as its hourly equivalent (the fee / 730).
struct MonthlyFee {
    const char *label;
    KeyOf key;
    CountOf count;
    double monthly;
};

// Usage × price: hint `hint` (default `usage`) times the rate field `field`.
struct MeteredUsage {
    const char *label;
    KeyOf key;
    Field field;
    double rate;
    const char *hint;
    double usage;
    const char *unit;  // "GB-mo", "GB" or "M"
};

void add_hourly_unit(FamilyTable &t, const char *type, HourlyUnit u);
void add_monthly_fee(FamilyTable &t, const char *type, MonthlyFee u);
void add_metered_usage(FamilyTable &t, const char *type, MeteredUsage u);

// Small readers shared by the entries' key and count functions.
std::string lower_text(const Ctx &c, std::initializer_list<std::string_view> names, std::string_view def);
// `names` as a list size, else `def`.
double count_of_list(const Ctx &c, std::initializer_list<std::string_view> names, double def);

}  // namespace tw::reckon
