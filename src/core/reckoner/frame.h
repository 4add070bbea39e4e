// The common frame of pricing: what a rule family receives and the shared operations it
// prices with (lookups with fallback, rate fields with defaults, property alternatives,
// usage hints and numeric conversions).
#pragma once

#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/value.h"

namespace tw::reckon {

constexpr int DEFAULT_MONTHLY_HOURS = 730;

enum Field { PER_HOUR, PER_MILLION_REQUESTS, PER_GB_SECOND, PER_GB_MONTH, PER_GB_TRANSFER, PER_REQUEST };
extern const char *const kFieldNames[6];

// A rate mapping: empty when nothing is stored; a field may be absent (NULL in the table).
struct Rates {
    bool found = false;
    double value[6] = {0, 0, 0, 0, 0, 0};
    bool present[6] = {false, false, false, false, false, false};
    std::string unit = "USD";
    bool unit_present = false;
    // The region of the row found ("global", the region asked for, or the provider's default
    // region the lookup fell back on); empty when unknown.
    std::string region;
    // Raised when `get` hands out its default (set by the Ctx the rates were looked up for).
    bool *defaulted = nullptr;

    bool empty() const { return !found; }
    bool has(Field f) const { return found && present[f]; }
    // *F, default D*: the stored value when a row was found and holds F, else D.
    double get(Field f, double def) const {
        if (has(f)) return value[f];
        if (defaulted) *defaulted = true;
        return def;
    }
    // A stored positive value of F; tests for a price, never a default.
    bool positive(Field f) const { return has(f) && value[f] > 0; }
    // The positive hourly price test of the two-path families.
    bool positive_hourly() const { return positive(PER_HOUR); }
};

// Where a family's lookups go (the store, or a host-level replacement of the lookup).
class RateSource {
public:
    virtual ~RateSource() = default;
    // `provider` is the record's provider word; mapping it to the store's key is the
    // source's job.
    virtual Rates rate(std::string_view provider, std::string_view type, std::string_view item_key,
                       std::string_view region) = 0;
};

// Number conversions; nothing when the value does not convert (it then counts as absent).
std::optional<double> to_double(const Value &v);
std::optional<int64_t> to_integer(const Value &v);

// What one family receives from the frame and fills in.
struct Ctx {
    std::string_view provider;  // provider word ("azurerm" already read as "azure")
    std::string_view type;
    const Map &props;
    std::string_view region;
    RateSource &source;

    double cost = 0.0;
    std::string basis = "No price mapped";
    Map details;
    // Set when a rate this family used was absent from the store and its built-in default
    // rate applied instead: `Rates::get` of rates looked up through this Ctx raises it.
    mutable bool default_rate = false;
    // The region whose row priced this resource when the region asked for had none (the
    // provider's default region), else empty.
    mutable std::string other_region;

    // One lookup of `item_key`.
    Rates rate(std::string_view item_key) const {
        Rates r = source.rate(provider, type, item_key, region);
        r.defaulted = &default_rate;
        if (r.found && region != "global" && !r.region.empty() && r.region != "global" && r.region != region)
            other_region = r.region;
        return r;
    }
    // " (us-east-1 price, no sa-east-1 row)" when another region's row priced this resource.
    std::string fallback_note() const {
        if (other_region.empty()) return "";
        return " (" + other_region + " price, no " + std::string(region) + " row)";
    }
    // Takes over what a nested pricing (`inner`, priced for this resource) fell back on.
    void absorb(const Ctx &inner) {
        default_rate = default_rate || inner.default_rate;
        if (other_region.empty()) other_region = inner.other_region;
    }
    // *look up K*: K, then "base" when K found nothing.
    Rates look_up(std::string_view item_key) const;
    Rates look_up_base() const { return rate("base"); }

    // The property if present (even when empty), else nullptr.
    const Value *prop(std::string_view name) const { return props.find(name); }
    // *p1 or p2 or ...*: the first present, non-empty (truthy) property, else nullptr.
    const Value *first_of(std::initializer_list<std::string_view> names) const;
    // The same for item keys: only text values qualify, others count as absent.
    std::string key_of(std::initializer_list<std::string_view> names, std::string_view def) const;
    // *p1 or p2 or ... or D* converted to a double; values that do not convert count as absent.
    double number_of(std::initializer_list<std::string_view> names, double def) const;
    // The same without a default: nothing when no property qualifies.
    std::optional<double> first_number(std::initializer_list<std::string_view> names) const;
    // The property when present and text (even empty), else `def`.
    std::string text(std::string_view name, std::string_view def) const;
    // *hint X, default D*: property tally_X, then the tags map's tally_X, then D.
    double hint(std::string_view x, double def, bool tags_too = true) const;
    // *number P, default D* and *integer P, default D* (present even when 0).
    double number(std::string_view name, double def) const;
    int64_t integer(std::string_view name, int64_t def) const;
    // The `tags` property when it is a map, else nullptr.
    const Map *tags() const;

    // Hourly cost with its basis text.
    void hourly(double rate, double count = 1.0) { cost = rate * DEFAULT_MONTHLY_HOURS * count; }
};

using Family = void (*)(Ctx &);
using FamilyTable = std::unordered_map<std::string, Family>;

// Adds `family` for every type of `types`.
void add_family(FamilyTable &table, std::initializer_list<const char *> types, Family family);

// Each provider's rule families register themselves here.
void add_shared_families(FamilyTable &table);
void add_aws_families(FamilyTable &table);
void add_azure_families(FamilyTable &table);
void add_gcp_families(FamilyTable &table);
void add_more_families(FamilyTable &table);
// A cluster object that provisions a cloud load balancer (a service of type LoadBalancer).
void cluster_load_balancer(Ctx &c);

// Basis text helpers: format codes ".Nf", ",.0f" and the plain text of a value.
std::string f(double v, int digits);
std::string grouped(double v);
std::string plain(const Value &v);
std::string plain(double v);

}  // namespace tw::reckon
