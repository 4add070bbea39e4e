// Reports of the source analyser's command: the choice of findings shown, the exit status,
// and the text, JSON and SARIF 2.1.0 renderings of one list of findings.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace tw::hotspot {

// A finding as the host's dict holds it, file included.
struct Reported {
    std::string file;
    int64_t line = 0;
    std::string type, severity, message, snippet;
};

// One finding type as code-scanning services list it.
struct RuleInfo {
    std::string_view id, severity, short_description, full_description, help;
};
extern const RuleInfo kRules[13];

// LOW 1, MEDIUM 2, HIGH 3; 0 for anything else (and for "never").
int severity_rank(std::string_view severity);
bool is_known_type(std::string_view type);

struct ReportOptions {
    int min_rank = 1;                 // findings below are not shown
    int fail_rank = 3;                // a shown finding at or above gives status 1; 0 never
    std::vector<std::string> select;  // types shown (all when empty)
    std::vector<std::string> ignore;  // types never shown
    std::string cwd;                  // paths are shown relative to it
    std::string tool_version;
    std::string information_uri;
    // Fingerprints of an earlier run's findings: those are not shown (none when null).
    const std::set<std::string> *baseline = nullptr;
};

enum class ReportFormat { Text, Json, Sarif };

struct ReportOutcome {
    std::string text;
    int status = 0;
};

// Filters `found`, renders what is shown and decides the exit status. `files` is the number of
// files analysed.
ReportOutcome report(const std::vector<Reported> &found, int64_t files, ReportFormat format,
                     const ReportOptions &opts);

// `path` relative to the absolute directory `cwd`, lexically (as os.path.relpath does).
std::string relative_path(std::string_view path, std::string_view cwd);

// partialFingerprints.primaryLocationLineHash: a hash of the rule, the path and the stripped
// snippet, with the 1-based occurrence of that triple among the results of the run.
std::string line_hash(std::string_view rule, std::string_view path, std::string_view snippet, int64_t occurrence);

std::string sha256_hex(std::string_view data);

// The primaryLocationLineHash of each finding of a list, as the SARIF report of that list
// gives them.
std::vector<std::string> fingerprints(const std::vector<Reported> &found);

}  // namespace tw::hotspot
