// CloudFormation and Pulumi type maps, and the property keys the readers also store under
// the names the pricing rules read. The tables are generated from pricing/*.csv.
#pragma once

#include <span>
#include <string_view>
#include <utility>

namespace tw::stack {

using TypePair = std::pair<const char *, const char *>;

struct KeyTranslation {
    const char *reader;  // "cloudformation" or "pulumi"
    const char *type;    // a record type, or "*" for every type
    const char *key;
    const char *record_key;
};

std::span<const TypePair> cf_type_map();
std::span<const TypePair> pulumi_type_map();

// The record type a map gives `key`, or null when it has none.
const char *mapped_type(std::span<const TypePair> map, std::string_view key);

// The second name under which `reader` stores property `key` of a record of `type`, or
// empty text when the key is stored under its own name only.
std::string_view extra_key(std::string_view reader, std::string_view type, std::string_view key);

}  // namespace tw::stack
