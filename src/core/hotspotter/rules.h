// Cost anti-pattern rules of the source analyser: trigger tables, the decisions of the
// Python tree rules, the JavaScript/TypeScript line rules and the Terraform rules, and the
// texts of every finding. Nothing here depends on the host.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace tw::hotspot {

// One finding without its file: the caller attaches the path it was handed.
struct Finding {
    int64_t line = 0;
    std::string_view type;      // static text
    std::string_view severity;  // static text
    std::string message;
    std::string snippet;
};

inline constexpr std::array<std::string_view, 41> kExpensiveTriggers = {
    "requests.get",   "requests.post",   "requests.put",         "requests.patch",   "requests.delete",
    "requests.request", "requests.head", "urllib.request",       "http.client",      "httpx",
    "aiohttp",        "httplib2",        "boto3.client",         "boto3.resource",   "client.invoke",
    "lambda_client.invoke", "s3.put_object", "s3.get_object",    "s3_client",        "ec2_client",
    "dynamodb",       "google.cloud",    "storage.blob",         "firestore",        "bigquery",
    "pubsub",         "datastore",       "azure.storage",        "azure.cosmos",     "azure.servicebus",
    "blob_client",    "container_client", "psycopg2",            "pymysql",          "mysql.connector",
    "pymongo",        "redis.get",       "redis.set",            "elasticache",      "invoke",
    "fetch"};
inline constexpr std::array<std::string_view, 8> kLargeDataTriggers = {
    "pd.read_csv", "pd.read_excel", "pd.read_json", "pd.read_sql",
    "json.load",   "json.loads",    "pickle.load",  "pickle.loads"};
inline constexpr std::array<std::string_view, 2> kThreadUnsafeTriggers = {"time.sleep", "threading.sleep"};
inline constexpr std::array<std::string_view, 6> kDbTriggers = {"execute", "fetchone", "fetchall",
                                                                 "query",   "find",     "filter"};
inline constexpr std::array<std::string_view, 5> kHeavyModules = {"pandas", "numpy", "tensorflow", "torch",
                                                                   "scipy"};
// GPU and memory-optimised families. A keyword matches only as the start of a name (no letter,
// digit or "_" before it) followed by a letter or digit, so "gp3.", "g5g." or "x2gd." never match.
inline constexpr std::array<std::string_view, 27> kExpensiveInstanceKeywords = {
    "p3.",   "p4d.",  "p4de.",  "p5.",         "p5e.",        "g4dn.",       "g5.",        "g6.",  "g6e.",
    "inf2.", "trn1.", "x1.",    "x1e.",        "x2idn.",      "x2iedn.",     "z1d.",       "u-",   "Standard_NC",
    "Standard_ND", "Standard_NV", "Standard_M", "a2-",         "a3-",         "g2-",        "m1-",  "m2-",
    "m3-"};
inline constexpr std::array<std::string_view, 4> kSizeAttributeWords = {"instance_type", "machine_type", "vm_size",
                                                                        "size"};

// Line patterns of the JavaScript/TypeScript rules, in the host's re syntax.
inline constexpr std::string_view kJsLoopPattern =
    R"(\b(for\s*\(|while\s*\(|\.forEach\(|\.map\(|\.filter\(|\.reduce\())";
inline constexpr std::string_view kJsApiPattern =
    R"(\b(fetch\(|axios\b|aws-sdk|\$\.ajax|\.invoke\(|\.send\(|superagent|got\(|needle\(|request\())";
inline constexpr std::string_view kJsSyncPattern = R"(\b(readFileSync|execSync|spawnSync|writeFileSync))";
inline constexpr std::string_view kJsLargeObjPattern = R"(JSON\.parse\(|JSON\.stringify\()";

// Patterns of the Terraform rules. The resource patterns find block headers; the attribute
// patterns are judged inside each block.
inline constexpr std::string_view kTfDbResourcePattern = R"(resource\s+"aws_db_instance")";
inline constexpr std::string_view kTfDeletionProtectionPattern = R"(\bdeletion_protection\s*=\s*true\b)";
inline constexpr std::string_view kTfBucketResourcePattern = R"(resource\s+"aws_s3_bucket(?:_acl)?")";
inline constexpr std::string_view kTfPublicAclPattern = R"(\bacl\s*=\s*"public-read)";
inline constexpr std::string_view kTfStoragePattern = R"(allocated_storage\s*=\s*(\d+))";

// Directory names that a walk never enters below the path it was given.
inline constexpr std::array<std::string_view, 7> kSkippedDirs = {".git", ".venv",       "venv",         "node_modules",
                                                                 ".tox", "__pycache__", ".pytest_cache"};

// Python tree rules. `lower` is the call name in lower case.
bool is_expensive_call(std::string_view lower);
bool is_large_data_call(std::string_view lower);
bool is_blocking_sleep(std::string_view lower);
bool is_db_call(std::string_view lower);
bool is_heavy_module(std::string_view name);

// The four call checks, in order; `expensive` is the outcome of the expensive-call test and
// `loop_line` the line of the innermost enclosing loop statement (or the call's own line).
void call_findings(std::string_view name, std::string_view lower, int64_t loop_depth, int64_t loop_line,
                   bool expensive, int64_t lineno, std::vector<Finding> &out);
// Size of a list or dict display assigned to a name; a finding when it is too large.
bool large_literal_finding(int64_t size, int64_t lineno, Finding &out);
void heavy_import_finding(std::string_view name, int64_t lineno, Finding &out);

// A Python file: read failures, syntax errors and trees too deep to analyse.
Finding read_error_finding(std::string_view error);
Finding syntax_error_finding(int64_t lineno, std::string_view msg);
Finding analysis_error_finding(std::string_view reason);

// Reads a whole file; a path with a NUL character names no file ("embedded null byte").
bool read_file(const std::string &path, std::string &bytes, std::string &error);

// Text of a source file as the analyser reads it: invalid UTF-8 replaced by U+FFFD, line ends
// translated to "\n", and for Python sources a leading byte-order mark dropped.
std::string decode_source(std::string_view bytes, bool drop_bom);

// The JavaScript/TypeScript line rules and the Terraform rules over a file; an unreadable file
// gives no finding.
std::vector<Finding> trace_js(const std::string &path);
std::vector<Finding> trace_js_text(std::string_view text);
std::vector<Finding> trace_tf(const std::string &path);
std::vector<Finding> trace_tf_text(std::string_view text);

enum class Analysis { None, Python, Js, Tf };
// The analysis chosen by a path's lower-cased suffix.
Analysis analysis_for(std::string_view path);

// A path in the host's normalised form: "." components and repeated or trailing separators
// dropped ("" and "./" give ".").
std::string normalise_path(std::string_view path);

// The first expensive-instance keyword that a lower-cased line names, or -1.
int expensive_keyword(std::string_view line_lower);

// Every file below `root` (or `root` itself when it is a file), in walk order: entries sorted
// component by component. Below `root`, directories named in kSkippedDirs or `skip` are not
// entered. `visit` receives each file's normalised path; `unreadable`, when given, each
// directory that could not be listed, with the error text (as fs::walk gives them).
void walk_files(const std::string &root, const std::vector<std::string> &skip,
                const std::function<void(const std::string &)> &visit,
                const std::function<void(const std::string &, const std::string &)> &unreadable = {});

}  // namespace tw::hotspot
