// Plan JSON, CloudFormation (JSON and YAML) and Pulumi readers. The document readers work
// on json::Node, so that a document decoded by the fast decoder is read without building
// the parts that are not kept, and a decoded Value is read the same way.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/json.h"
#include "core/stackreader/reader.h"
#include "core/stackreader/type_maps.h"

namespace tw::stack {

// A document of a known kind whose content has the wrong shape, seen by the host as an
// AttributeError (ShapeError itself is seen as a TypeError).
struct AttrError : ShapeError {
    using ShapeError::ShapeError;
};

// Which reader a decoded `.json` document goes to.
enum class JsonKind { None, Plan, Pulumi, CloudFormation };
JsonKind route_json(json::Node doc);

// One plan record before conversion: type and name absent mean null, properties absent
// mean an empty map.
struct PlanRecord {
    std::string provider;
    std::optional<json::Node> type, name, properties;
};

// The readers proper; `data` must be a map. Wrong shapes raise ShapeError or AttrError.
std::vector<PlanRecord> read_plan(json::Node data);
std::vector<Value> plan_values(const std::vector<PlanRecord> &records);
std::vector<Value> read_pulumi(json::Node data);
std::vector<Value> read_cloudformation(json::Node data);

// The indentation-based YAML reader; never fails on text.
Value parse_yaml(std::string_view text);

// Message lines of the readers.
inline constexpr std::string_view kJsonFileError = "Error reading JSON file ";
inline constexpr std::string_view kPlanError = "Error reading plan JSON ";
inline constexpr std::string_view kPulumiError = "Error reading Pulumi JSON ";
inline constexpr std::string_view kCfReadError = "Error reading CloudFormation file ";
inline constexpr std::string_view kCfJsonError = "Error decoding CloudFormation JSON ";
inline constexpr std::string_view kCfYamlError = "Error parsing CloudFormation YAML ";

// Text of a `.yaml`/`.yml` file as the readers see it (a leading byte-order mark dropped).
bool read_template_text(const std::string &path, std::string &text, std::string &error);
// Whether template text is read as JSON (its first non-blank character is "{").
bool template_is_json(std::string_view text);

// File entry points of the two JSON readers.
std::vector<Value> parse_plan_json(const std::string &path, const Sink &out);
std::vector<Value> parse_pulumi_json(const std::string &path, const Sink &out);


}  // namespace tw::stack
