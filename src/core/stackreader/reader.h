// Readers of infrastructure-as-code files. Every reader yields Resource records: maps with
// the keys provider, type, name and properties, in that order.
#pragma once

#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/limits.h"
#include "core/value.h"

namespace tw::stack {

// Receives each message line (without its line end) that a reader prints.
using Sink = std::function<void(std::string_view)>;

// A document of a known kind whose content has the wrong shape; the host sees it as a
// TypeError (kind = Type) or an AttributeError/KeyError-like failure of the reader.
struct ShapeError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

Value make_record(Value provider, Value type, Value name, Map properties);
// The part of a type before its first "_", or "unknown" when it has none.
std::string provider_of(std::string_view type);

// Number conversion of value text: float when it holds ".", else int, else the text.
Value number_or_text(std::string_view s);
// Removes one pair of matching double or single quotes around the whole text.
std::string_view unquote(std::string_view s);
// Cut at the first "#", "//" or "/*" outside double quotes, then trim white space.
std::string_view comment_cut(std::string_view s);

// Terraform files and values. `resolver`, when given, replaces resolve_value for the
// attribute values (a host-level override).
using Resolver = std::function<Value(const Value &)>;
// A resource whose top-level count resolves to a whole number N yields N records named
// name[0] .. name[N-1] (none for 0); otherwise one record under its own name.
std::vector<Value> parse_tf_text(std::string_view text, const Map &variables, const Map &locals,
                                 const Resolver *resolver = nullptr, const Sink *out = nullptr);
std::vector<Value> parse_tf_file(const std::string &path, const Map &variables, const Map &locals,
                                 const Sink &out, const Resolver *resolver = nullptr);
// `declared`, when given, receives the name of every variable block, with a default or not.
void collect_variables_and_locals(std::string_view text, Map &variables, Map &locals,
                                  std::vector<std::string> *declared = nullptr);
void resolve_locals(const Map &variables, Map &locals);
std::pair<Map, Map> parse_variables_and_locals(const std::string &directory);
// With `cache`, the texts of the files read are kept there (up to `cache_budget` bytes in
// all), so that a scan reads each file once.
std::pair<Map, Map> parse_variables_and_locals_files(const std::vector<std::string> &tf_files,
                                                     std::unordered_map<std::string, std::string> *cache = nullptr,
                                                     size_t cache_budget = 0);
Value resolve_value(const Value &val, const Map &variables, const Map &locals);

// Other formats: each reports its own read and decode failures through `out`.
std::vector<Value> parse_json_file(const std::string &path, const Sink &out);
std::vector<Value> parse_cloudformation(const std::string &path, const Sink &out);

// Files of one directory scan.
struct ScanPlan {
    std::vector<std::string> all_tf;   // every ".tf" file, exclusions ignored
    std::vector<std::string> tf;       // ".tf" files not excluded
    std::vector<std::string> json;     // ".json" files not excluded
    std::vector<std::string> yaml;     // ".yaml" then ".yml" files not excluded
    std::vector<std::string> errors;   // one line per directory that could not be listed
    std::vector<std::string> tfvars;   // variable files Terraform loads, exclusions ignored
};
// Whether a file name is one of the variable files Terraform loads by itself.
bool is_tfvars(std::string_view name);
// `exclude_paths`: subtrees to skip, as normalised paths relative to `directory`.
ScanPlan plan_scan(const std::string &directory, const std::vector<std::string> &exclude_patterns,
                   const std::vector<std::string> &exclude_paths = {});

// A command line's exclusion written as a path ("infra/vpc/", "./legacy"): its normalised
// relative form, or nothing when it is absolute or leaves the directory ("..").
std::optional<std::string> exclude_path(std::string_view value);
// The exclusions that match no directory under `directory`: names that no directory of
// the tree bears, and paths (values with "/") that name no directory.
std::vector<std::string> unmatched_excludes(const std::string &directory, const std::vector<std::string> &values);

// The readers one scan hands its files to; a host may replace any of them.
class ScanReaders {
public:
    virtual ~ScanReaders() = default;
    // Variables and locals of the scan root; `tf_files` are its .tf files when the scan walked
    // them already (a directory scan), else null. Texts read may be kept in `texts`.
    virtual std::pair<Map, Map> variables(const std::string &root, const std::vector<std::string> *tf_files,
                                          std::unordered_map<std::string, std::string> &texts);
    // `text` is the file's content when it was read already, else null.
    virtual std::vector<Value> tf_file(const std::string &path, const Map &variables, const Map &locals,
                                       const std::string *text, const Sink &out);
    virtual std::vector<Value> json_file(const std::string &path, const Sink &out);
    virtual std::vector<Value> cloudformation(const std::string &path, const Sink &out);
    // Whether the Terraform files are read by the native reader and resolver; only then are
    // values resolved per directory and module calls evaluated.
    virtual bool native_terraform() const { return true; }
};

struct ScanOptions {
    bool modules = false;  // evaluate module calls; called directories are priced through them
    // Where .terraform/modules is read: a directory laid out like the scanned one (the working
    // tree, when the scanned directory is a copy of it); empty: the scanned directory itself.
    std::string modules_from;
    // When the scanned directory lies in a copy of the tree at `real_root`, made at
    // `copy_root`: module sources that lead out of the copy are read at their real place
    // (outside the repository: from the working tree, with one line saying so), never
    // beside the copy.
    std::string copy_root, real_root;
    // When set, receives the file each record came from, in the order of the records.
    std::vector<std::string> *files = nullptr;
    // Subtrees to skip besides the exclusion names (see plan_scan).
    std::vector<std::string> exclude_paths;
    // At most this many module and resource instances are made by the module evaluation;
    // when set, `work` receives how many were made.
    size_t max_work = limits::kMaxScanWork;
    size_t *work = nullptr;
};

// The directory scan: every record of the IaC files under `directory` (or of one file).
std::vector<Value> scan(const std::string &directory, const std::vector<std::string> &exclude_patterns,
                        ScanReaders &readers, const Sink &out, const ScanOptions &options = {});

extern const char *const kDefaultExcludes[8];
// The directory terraform init fills; no walk enters it.
inline constexpr std::string_view kTerraformDir = ".terraform";
extern const char *const kResourcePattern;
extern const char *const kAssignmentPattern;

}  // namespace tw::stack
