// The report writers: the analyser's JSON and SARIF and the hook's JSON documents parse back
// as JSON (no bare NaN or Infinity, every text escaped), with one entry per finding or
// resource, and texts that were valid UTF-8 come back unchanged.
//
// Input: one finding or resource per line, fields separated by tabs. Analyser findings are
// file, line, type, severity, message, snippet; hook resources are file, type, name,
// region, basis, source, cost (a number as strtod reads it: "inf" and "nan" included),
// and a line beginning with '-' belongs to the base tree.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "check.h"
#include "core/hotspotter/report.h"
#include "core/json.h"
#include "core/report/report.h"

using namespace tw;

namespace {

std::vector<std::string_view> split(std::string_view s, char sep) {
    std::vector<std::string_view> out;
    for (size_t start = 0; start <= s.size();) {
        size_t end = s.find(sep, start);
        if (end == std::string_view::npos) end = s.size();
        out.push_back(s.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

std::string field(const std::vector<std::string_view> &f, size_t i) {
    return i < f.size() ? std::string(f[i]) : std::string();
}

Value parsed(const std::string &doc, const char *what, std::string_view input) {
    Value v;
    std::string error;
    if (!json::parse(doc, v, error)) fuzz::fail(what, doc + "\n" + error + "\n" + std::string(input));
    fuzz::check(v.is_map(), what, doc);
    return v;
}

const Value &at(const Value &v, std::string_view key, const char *what) {
    const Value *x = v.is_map() ? v.as_map().find(key) : nullptr;
    fuzz::check(x != nullptr, what, key);
    return *x;
}

// A text that was valid UTF-8 comes back as it was written.
void same_text(const Value &v, const std::string &want, const char *what) {
    if (!fuzz::valid_utf8(want)) return;
    fuzz::check(v.is_str() && v.as_str() == want, what, want);
}

void analyser_reports(const std::vector<std::string_view> &lines, std::string_view input) {
    std::vector<hotspot::Reported> found;
    for (auto line : lines) {
        auto f = split(line, '\t');
        hotspot::Reported r;
        r.file = field(f, 0);
        r.line = int64_t(std::strtoll(field(f, 1).c_str(), nullptr, 10));
        r.type = field(f, 2);
        r.severity = field(f, 3);
        r.message = field(f, 4);
        r.snippet = field(f, 5);
        found.push_back(std::move(r));
    }
    hotspot::ReportOptions opts;
    opts.cwd = "/repo/src";
    opts.tool_version = "0.0.0";
    opts.information_uri = "https://example.com/tally-warden";
    auto json = hotspot::report(found, int64_t(found.size()), hotspot::ReportFormat::Json, opts);
    auto sarif = hotspot::report(found, int64_t(found.size()), hotspot::ReportFormat::Sarif, opts);
    auto text = hotspot::report(found, int64_t(found.size()), hotspot::ReportFormat::Text, opts);
    fuzz::check(json.status == sarif.status && json.status == text.status, "formats decide differently", input);

    Value j = parsed(json.text, "analyser JSON does not parse", input);
    const Value &findings = at(j, "findings", "JSON without findings");
    fuzz::check(findings.is_list(), "findings not a list");
    size_t shown = findings.as_list().size();
    const Value &count = at(at(j, "summary", "JSON without summary"), "findings", "summary without a count");
    fuzz::check(count.is_int() && size_t(count.as_int()) == shown, "summary count differs", json.text);
    // Every finding of a known severity is shown (nothing is selected or ignored), in order.
    size_t k = 0;
    for (const auto &r : found) {
        if (hotspot::severity_rank(r.severity) < opts.min_rank) continue;
        fuzz::check(k < shown, "a finding of a known severity is not shown", input);
        const Value &f = findings.as_list()[k++];
        same_text(at(f, "message", "finding without a message"), r.message, "message changed");
        same_text(at(f, "code_snippet", "finding without a snippet"), r.snippet, "snippet changed");
        same_text(at(f, "type", "finding without a type"), r.type, "type changed");
    }
    fuzz::check(k == shown, "a finding of no known severity is shown", input);

    Value s = parsed(sarif.text, "SARIF does not parse", input);
    const Value &runs = at(s, "runs", "SARIF without runs");
    fuzz::check(runs.is_list() && runs.as_list().size() == 1, "SARIF runs", sarif.text);
    const Value &results = at(runs.as_list()[0], "results", "SARIF run without results");
    fuzz::check(results.is_list() && results.as_list().size() == shown, "SARIF and JSON show different findings",
                input);
}

void hook_reports(const std::vector<std::string_view> &lines, std::string_view input) {
    std::vector<report::Item> base, now;
    for (auto line : lines) {
        bool in_base = line.starts_with("-");
        auto f = split(in_base ? line.substr(1) : line, '\t');
        report::Item it;
        it.file = field(f, 0);
        it.unit = report::unit_of(it.file);
        it.type = field(f, 1);
        it.name = field(f, 2);
        it.region = field(f, 3);
        it.basis = field(f, 4);
        it.source = field(f, 5);
        it.cost = std::strtod(field(f, 6).c_str(), nullptr);
        (in_base ? base : now).push_back(std::move(it));
    }
    double base_total = 0, new_total = 0;
    for (const auto &it : base) base_total += it.cost;
    for (const auto &it : now) new_total += it.cost;
    report::Verdict v{"infra", 100.0, 250.0, false};
    v.exceeded = report::over_limit(new_total, v.threshold);

    Value tree = parsed(report::tree_json(v, new_total, now), "tree JSON does not parse", input);
    const Value &resources = at(tree, "resources", "tree JSON without resources");
    fuzz::check(resources.is_list() && resources.as_list().size() == now.size(), "tree JSON resources", input);
    fuzz::check(at(tree, "exceeded", "tree JSON without exceeded").is_bool(), "exceeded not a boolean");
    for (size_t i = 0; i < now.size(); ++i) {
        same_text(at(resources.as_list()[i], "name", "resource without a name"), now[i].name, "name changed");
        same_text(at(resources.as_list()[i], "basis", "resource without a basis"), now[i].basis, "basis changed");
    }
    if (!std::isfinite(new_total))
        fuzz::check(at(tree, "exceeded", "").as_bool(), "a total that is not finite passes", input);

    auto rows = report::compare(base, now);
    fuzz::check(rows.size() >= std::max(base.size(), now.size()) && rows.size() <= base.size() + now.size(),
                "compare lost or made rows", input);
    Value diff = parsed(report::diff_json(v, "HEAD", true, base_total, new_total, rows, now), "diff JSON does not parse",
                        input);
    const Value &changed = at(diff, "resources", "diff JSON without resources");
    fuzz::check(changed.is_list() && changed.as_list().size() == rows.size(), "diff JSON resources", input);
    parsed(report::diff_json(v, "HEAD", false, 0.0, 0.0, {}, {}), "empty diff JSON does not parse", input);
    // The text renderings take the same rows.
    report::breakdown_table(now);
    report::diff_table(rows);
    report::defaults_summary(now);
    report::signed_money(new_total - base_total);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string_view input(reinterpret_cast<const char *>(data), size);
    auto lines = split(input, '\n');
    if (lines.size() > 64) lines.resize(64);
    analyser_reports(lines, input);
    hook_reports(lines, input);
    return 0;
}
