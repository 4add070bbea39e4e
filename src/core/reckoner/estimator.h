// The estimator: one Resource record to a Cost result, a list of records to a Cost report.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "core/reckoner/frame.h"
#include "core/value.h"

namespace tw::reckon {

extern const char *const kAwsRegions[23];
extern const char *const kGcpRegions[27];
extern const std::pair<const char *, const char *> kAzureLocations[39];
extern const char *const kRegionKeys[5];
// The property under which a Terraform record keeps its nested blocks whole: block type to
// the list of its blocks, each a map of its attributes and blocks (the shape of a plan's
// values). No attribute name holds "@".
inline constexpr const char *kBlocksKey = "@blocks";
extern const char *const kFreeKeywords[23];
struct UnmappedCategory {
    std::vector<const char *> keywords;
    double monthly_cost;
    const char *opening;
};
extern const std::vector<UnmappedCategory> kUnmappedCategories;

// The provider word the estimator prices with: "azurerm" (the Terraform prefix) is Azure.
std::string_view pricing_provider(std::string_view provider);

// The store's key for a provider word ("gcp" prices are kept under "google").
std::string store_provider(std::string_view provider);

std::string normalise_region(std::string_view provider, std::string_view region);
std::string extract_region(std::string_view provider, const Map &props);

// Whether a provider-prefixed resource type belongs to a provider whose resources never reach
// an AWS, Azure or Google Cloud bill (Kubernetes objects excepted).
bool outside_cloud_bill(std::string_view type);

// What priced a record: a rule family, the catalog of free types, the free keywords, the
// flat amount of an unmapped category, or nothing for a type outside the clouds' bills.
enum class CostSource { Rule, CatalogFree, KeywordFree, FlatDefault, OutsideBill };
const char *cost_source_name(CostSource s);

// Result of one estimate (the Cost result's fields, and how it was reached, for reports).
struct Cost {
    Value name;
    Value type;
    std::string region;
    double monthly_cost;
    std::string basis;
    Map details;
    CostSource source = CostSource::Rule;
    bool default_rate = false;  // a family fell back to a built-in default rate
    bool other_region = false;  // a rate came from another region's row (the basis says which)
};

const FamilyTable &families();

// Prices one record. `provider`, `type`, `name` and `props` are the record's fields after
// the defaults for missing keys; a null type is the empty type.
Cost estimate(const Value &provider, const Value &type, const Value &name, const Map &props, RateSource &source);

// A record whose properties are not a map.
struct RecordError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Prices one Resource record (a map), with the defaults for missing keys.
Cost estimate_record(const Map &record, RateSource &source);

Value cost_to_value(const Cost &c);

// Adds results up into a Cost report.
struct Report {
    double total = 0.0;
    std::vector<std::pair<std::string, double>> breakdown;
    std::unordered_map<std::string, size_t> index;
    void add(std::string_view type, double monthly_cost);
};

}  // namespace tw::reckon
