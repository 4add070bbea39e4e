// What the Terraform line reader keeps of one file before any value is resolved: resource
// blocks, module calls and provider blocks with their assignments as cleaned texts. A file
// is read into this form once; its resources are then instantiated in one or more scopes
// (its directory's, or each module instance's).
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/limits.h"
#include "core/regex.h"
#include "core/stackreader/reader.h"

namespace tw::stack {

struct TfAttr {
    std::string key;
    Value raw;  // text
};

struct TfResource {
    std::string type, name;
    std::vector<TfAttr> attrs;  // every assignment of the block, nested ones included
    // Top-level meta-arguments (multi-line values joined); unset when absent.
    std::optional<std::string> count, for_each, provider;
};

struct TfModuleCall {
    std::string name;
    std::vector<TfAttr> args;  // top-level arguments other than the meta-arguments
    std::optional<std::string> source, count, for_each, providers;
};

struct TfProvider {
    std::string name;
    std::optional<std::string> alias, region, zone;
};

struct TfFileModel {
    std::vector<TfResource> resources;
    std::vector<TfModuleCall> modules;
    std::vector<TfProvider> providers;
};

TfFileModel read_tf_model(std::string_view text);
// `key = value` of a stripped line, as the reader's assignment pattern splits it; `m` is the
// pattern's scratch for lines that are not printable ASCII (others are split by hand).
bool split_assignment(std::string_view line, std::string_view &key, std::string_view &value, Regex::Match &m);
// The same scan, handing each resource block to `on_resource` as it closes instead of
// keeping it in the model.
using ResourceSink = std::function<void(TfResource &&)>;
TfFileModel read_tf_model(std::string_view text, const ResourceSink &on_resource);

// Variable defaults that are list or map literals, whole (the collection keeps only their
// first line): name to the literal's text.
void collect_collection_defaults(std::string_view text, Map &out);

// Where references are looked up: the first maps, then the fallback maps; `bindings` holds
// count.index, each.key and each.value of one instance.
struct Scope {
    const Map *vars = nullptr, *locals = nullptr;
    const Map *fallback_vars = nullptr, *fallback_locals = nullptr;
    const Map *bindings = nullptr;
    const Value *var(std::string_view name) const;
    const Value *local(std::string_view name) const;
    const Value *binding(std::string_view expr) const;
};
Value resolve_scoped(const Value &val, const Scope &scope);
// Resolution passes over `locals`, which `scope.locals` must point to.
void resolve_locals_scoped(Map &locals, const Scope &scope);

// A whole number of instances from a resolved count value; nothing when it is not one.
std::optional<int64_t> whole_count(const Value &v);
// A literal list, set or map text (HCL or JSON spelling, optionally inside toset(),
// tolist() or tomap()) as a List or Map value; nothing when the text is not one.
std::optional<Value> parse_literal(std::string_view text);
// The instances of a for_each collection: (key, value) pairs in Terraform's order.
std::optional<std::vector<std::pair<std::string, Value>>> for_each_items(const Value &collection);

// Region of the default provider configurations of a scope: "aws" or "aws.west" to the
// property (region or zone) and its value.
using ProviderRegions = std::map<std::string, std::pair<std::string, Value>>;
void add_provider_regions(const std::vector<TfProvider> &providers, const Scope &scope, ProviderRegions &out);

// At most this many instances of one resource or module call are made.
using limits::kMaxInstances;

// Instances of a block: (address suffix such as [0] or ["a"], its count.index or each.key and
// each.value bindings).
using Instances = std::vector<std::pair<std::string, Map>>;
// The instances a resolved count (whole number) or for_each collection makes; nothing when
// the value is neither. `label` names the block in the line said when a count is capped.
std::optional<Instances> expand_instances(const Value *count, const Value *for_each, const std::string &label,
                                          const Sink *sink);

// Records of one resource block in a scope: one per instance (count, and for_each when
// `for_each` is on), with the provider's region added where the record names none.
// `prefix` is the module address ("module.app." or ""); `resolver` replaces resolve_value.
void instantiate_resource(const TfResource &res, const Scope &scope, const ProviderRegions *regions,
                          bool for_each, const std::string &prefix, const Resolver *resolver,
                          std::vector<Value> &out, const Sink *sink);
// The same for a block that is not needed afterwards: its texts are moved into the record.
void instantiate_resource(TfResource &&res, const Scope &scope, const ProviderRegions *regions,
                          bool for_each, const std::string &prefix, const Resolver *resolver,
                          std::vector<Value> &out, const Sink *sink);

}  // namespace tw::stack
