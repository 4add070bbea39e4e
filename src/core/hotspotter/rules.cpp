#include "core/hotspotter/rules.h"

#include <algorithm>

#include "core/fsutil.h"
#include "core/hotspotter/suppress.h"
#include "core/pytext.h"
#include "core/regex.h"

namespace tw::hotspot {

namespace {

template <size_t N>
bool any_in(const std::array<std::string_view, N> &table, std::string_view s) {
    for (std::string_view t : table)
        if (s.find(t) != std::string_view::npos) return true;
    return false;
}

std::string num(int64_t v) { return std::to_string(v); }

}  // namespace

bool is_expensive_call(std::string_view lower) { return any_in(kExpensiveTriggers, lower); }
bool is_large_data_call(std::string_view lower) { return any_in(kLargeDataTriggers, lower); }
bool is_blocking_sleep(std::string_view lower) { return any_in(kThreadUnsafeTriggers, lower); }

bool is_db_call(std::string_view lower) {
    for (std::string_view t : kDbTriggers)
        if (lower.ends_with(t)) return true;
    return false;
}

bool is_heavy_module(std::string_view name) {
    return std::find(kHeavyModules.begin(), kHeavyModules.end(), name) != kHeavyModules.end();
}

void call_findings(std::string_view name, std::string_view lower, int64_t loop_depth, int64_t loop_line,
                   bool expensive, int64_t lineno, std::vector<Finding> &out) {
    std::string n(name);
    if (loop_depth > 0 && expensive)
        out.push_back({lineno, "API_CALL_IN_LOOP", loop_depth > 1 ? "HIGH" : "MEDIUM",
                       "Cloud/network call '" + n + "' inside a loop (depth=" + num(loop_depth) + ", loop at line " +
                           num(loop_line) +
                           "). Each iteration creates a separate billable request \u2014 batch or parallelize instead.",
                       {}});
    if (loop_depth > 0 && is_large_data_call(lower))
        out.push_back({lineno, "LARGE_DATA_LOAD_IN_LOOP", "HIGH",
                       "Large data operation '" + n +
                           "' inside a loop. Load data once outside the loop to avoid repeated I/O and memory spikes.",
                       {}});
    if (is_blocking_sleep(lower))
        out.push_back({lineno, "BLOCKING_SLEEP", "MEDIUM",
                       "'" + n +
                           "' blocks the thread/event loop. In async or cloud function contexts this wastes compute "
                           "billing time. Use asyncio.sleep or non-blocking waits.",
                       {}});
    if (loop_depth > 0 && is_db_call(lower))
        out.push_back({lineno, "N_PLUS_1_QUERY", "HIGH",
                       "Database call '" + n +
                           "' detected inside a loop \u2014 classic N+1 query pattern. Fetch all needed records in a "
                           "single query before the loop.",
                       {}});
}

bool large_literal_finding(int64_t size, int64_t lineno, Finding &out) {
    if (size <= 500) return false;
    out = {lineno, "LARGE_LITERAL_IN_MEMORY", "LOW",
           "Large literal collection (" + num(size) +
               " items) hardcoded in source. Consider loading from a file or database to reduce memory/startup cost.",
           {}};
    return true;
}

void heavy_import_finding(std::string_view name, int64_t lineno, Finding &out) {
    out = {lineno, "HEAVY_IMPORT", "LOW",
           "Import of '" + std::string(name) +
               "' can significantly inflate cold-start time and memory in serverless functions, increasing billing "
               "cost.",
           {}};
}

Finding read_error_finding(std::string_view error) {
    return {0, "ERROR", "LOW", "Could not read file: " + std::string(error), {}};
}

Finding syntax_error_finding(int64_t lineno, std::string_view msg) {
    return {lineno, "SYNTAX_ERROR", "LOW", "Syntax error: " + std::string(msg), {}};
}

Finding analysis_error_finding(std::string_view reason) {
    return {0, "ERROR", "LOW", "Could not analyse file: " + std::string(reason), {}};
}

bool read_file(const std::string &path, std::string &bytes, std::string &error) {
    if (path.find('\0') != std::string::npos) {
        error = "embedded null byte";
        return false;
    }
    return fs::read_bytes(path, bytes, error);
}

std::string decode_source(std::string_view bytes, bool drop_bom) {
    if (drop_bom) bytes = pytext::strip_bom(bytes);
    std::string text = pytext::utf8_error(bytes) ? pytext::utf8_replace(bytes) : std::string(bytes);
    if (text.find('\r') != std::string::npos) text = pytext::translate_newlines(text);
    return text;
}

namespace {

const Regex &js_loop() {
    static const Regex r(kJsLoopPattern);
    return r;
}
const Regex &js_api() {
    static const Regex r(kJsApiPattern);
    return r;
}
const Regex &js_sync() {
    static const Regex r(kJsSyncPattern);
    return r;
}

int64_t brace_balance(std::string_view s) {
    int64_t n = 0;
    for (char c : s) n += (c == '{') - (c == '}');
    return n;
}

// The first `n` code points of valid UTF-8 text.
std::string_view first_cps(std::string_view s, size_t n) {
    size_t i = 0;
    while (i < s.size() && n > 0) {
        pytext::next_cp(s, i);
        --n;
    }
    return s.substr(0, i);
}

bool read_text(const std::string &path, std::string &text) {
    std::string bytes, error;
    if (!read_file(path, bytes, error)) return false;
    text = decode_source(bytes, false);
    return true;
}

}  // namespace

std::vector<Finding> trace_js_text(std::string_view text) {
    std::vector<Finding> out;
    bool in_loop = false;
    int64_t loop_line = 0, brace_depth = 0, lnum = 0;
    // Lines end at "\n" only (the text's line ends are already translated).
    size_t pos = 0;
    while (pos < text.size()) {
        size_t nl = text.find('\n', pos);
        std::string_view line = text.substr(pos, nl == std::string_view::npos ? std::string_view::npos : nl - pos);
        pos = nl == std::string_view::npos ? text.size() : nl + 1;
        ++lnum;
        std::string_view stripped = pytext::strip(line);
        if (stripped.empty() || stripped.starts_with("//") || stripped.starts_with("*")) continue;
        if (!in_loop) {
            if (js_loop().search(stripped)) {
                in_loop = true;
                loop_line = lnum;
                brace_depth = brace_balance(stripped);
            }
            continue;
        }
        brace_depth += brace_balance(stripped);
        if (js_api().search(stripped))
            out.push_back({lnum, "API_CALL_IN_LOOP", "MEDIUM",
                           "API/HTTP call inside loop starting at line " + num(loop_line) +
                               ". Batch requests or use Promise.all() to avoid sequential billing.",
                           std::string(stripped)});
        if (js_sync().search(stripped))
            out.push_back({lnum, "BLOCKING_SYNC_OP", "HIGH",
                           "Synchronous blocking operation '" + std::string(first_cps(stripped, 60)) +
                               "' in JS/TS. In Lambda or cloud run containers this stalls the event loop.",
                           std::string(stripped)});
        if (brace_depth <= 0) in_loop = false;
    }
    if (!out.empty() && mentions_suppression(text)) drop_silenced(out, pytext::split_newlines(text), CommentStyle::Slash);
    return out;
}

std::vector<Finding> trace_js(const std::string &path) {
    std::string text;
    if (!read_text(path, text)) return {};
    return trace_js_text(text);
}

namespace {

const Regex &tf_pattern(int i) {
    static const Regex db(kTfDbResourcePattern), prot(kTfDeletionProtectionPattern), bucket(kTfBucketResourcePattern),
        acl(kTfPublicAclPattern), storage(kTfStoragePattern);
    const Regex *all[] = {&db, &prot, &bucket, &acl, &storage};
    return *all[i];
}

// The decimal text of a whole number written with (possibly non-ASCII) digits.
std::string decimal_text(std::string_view digits, bool &over_1000) {
    if (auto v = pytext::parse_int(digits)) {
        if (v->is_int()) {
            over_1000 = v->as_int() > 1000;
            return std::to_string(v->as_int());
        }
        over_1000 = true;
        return pytext::str_of(*v);
    }
    // Beyond the host's limit on digits for integer conversion: the value is still a number.
    size_t nz = digits.find_first_not_of('0');
    std::string_view rest = nz == std::string_view::npos ? std::string_view("0") : digits.substr(nz);
    over_1000 = pytext::count_cps(rest) > 3;
    return std::string(rest);
}

}  // namespace

namespace {

bool is_name_char(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

// The lines of a text as views into it, and the line that holds a byte offset.
class Lines {
public:
    explicit Lines(std::string_view text) : text_(text), lines_(pytext::splitlines(text)) {}
    const std::vector<std::string_view> &all() const { return lines_; }
    // 1-based number of the line holding `pos` (the last line for an offset past every line).
    int64_t number_at(size_t pos) const {
        auto it = std::upper_bound(lines_.begin(), lines_.end(), pos, [&](size_t p, std::string_view l) {
            return p < size_t(l.data() - text_.data());
        });
        return std::max<int64_t>(1, it - lines_.begin());
    }
    std::string snippet(int64_t lnum) const {
        if (lnum < 1 || size_t(lnum) > lines_.size()) return {};
        return std::string(pytext::strip(lines_[size_t(lnum - 1)]));
    }

private:
    std::string_view text_;
    std::vector<std::string_view> lines_;
};

bool is_line_end(char c) { return c == '\n' || c == '\r'; }

// Whether `pos` lies in a "#" or "//" comment or in a quoted string of its line.
bool outside_code(std::string_view text, size_t pos) {
    size_t start = pos;
    while (start > 0 && !is_line_end(text[start - 1])) --start;
    bool quoted = false;
    for (size_t i = start; i < pos; ++i) {
        char c = text[i];
        if (quoted) {
            if (c == '\\') ++i;
            else if (c == '"') quoted = false;
        } else if (c == '"') {
            quoted = true;
        } else if (c == '#' || (c == '/' && i + 1 < pos && text[i + 1] == '/')) {
            return true;
        }
    }
    return quoted;
}

// The body of the block whose header ends before `from`: from its "{" to the matching "}",
// braces in strings and comments not counted; to the end of the text when unbalanced.
std::string_view block_after(std::string_view text, size_t from) {
    size_t open = text.find('{', from);
    if (open == std::string_view::npos) return {};
    int64_t depth = 0;
    size_t i = open;
    while (i < text.size()) {
        char c = text[i];
        if (c == '"') {
            // A string ends at its closing quote or, left open, at the end of its line.
            for (++i; i < text.size() && text[i] != '"' && !is_line_end(text[i]); ++i)
                if (text[i] == '\\') ++i;
        } else if (c == '#' || (c == '/' && i + 1 < text.size() && text[i + 1] == '/')) {
            while (i < text.size() && !is_line_end(text[i])) ++i;
        } else if (c == '/' && i + 1 < text.size() && text[i + 1] == '*') {
            size_t close = text.find("*/", i + 2);
            i = close == std::string_view::npos ? text.size() : close + 1;
        } else if (c == '{') {
            ++depth;
        } else if (c == '}' && --depth == 0) {
            return text.substr(open, i + 1 - open);
        }
        ++i;
    }
    return text.substr(open);
}

// Whether `pattern` matches somewhere in `block` (a view into `text`) outside comments and strings.
bool has_setting(const Regex &pattern, std::string_view text, std::string_view block) {
    size_t base = size_t(block.data() - text.data());
    Regex::Match m;
    for (size_t from = 0; from <= block.size() && pattern.search(block, m, from); from = m.end())
        if (!outside_code(text, base + m.start())) return true;
    return false;
}

// Each resource header that `header` finds outside comments and strings, with its block.
template <class F>
void each_block(const Regex &header, std::string_view text, F &&visit) {
    Regex::Match m;
    for (size_t from = 0; from <= text.size() && header.search(text, m, from); from = m.end()) {
        if (m.end() == m.start()) break;
        if (outside_code(text, m.start())) continue;
        visit(m.start(), block_after(text, m.end()));
    }
}

}  // namespace

int expensive_keyword(std::string_view lower) {
    static const std::vector<std::string> keywords = [] {
        std::vector<std::string> v;
        for (std::string_view kw : kExpensiveInstanceKeywords) v.push_back(pytext::lower(kw));
        return v;
    }();
    for (size_t k = 0; k < keywords.size(); ++k) {
        const std::string &kw = keywords[k];
        for (size_t at = lower.find(kw); at != std::string_view::npos; at = lower.find(kw, at + 1)) {
            size_t after = at + kw.size();
            bool starts_name = at == 0 || !is_name_char(lower[at - 1]);
            bool continues = after < lower.size() && is_name_char(lower[after]) && lower[after] != '_';
            if (starts_name && continues) return int(k);
        }
    }
    return -1;
}

std::vector<Finding> trace_tf_text(std::string_view content) {
    std::vector<Finding> out;
    Lines lines(content);
    int64_t lnum = 0;
    for (std::string_view line : lines.all()) {
        ++lnum;
        std::string_view stripped = pytext::strip(line);
        bool has_size_word = false;
        for (std::string_view w : kSizeAttributeWords)
            if (stripped.find(w) != std::string_view::npos) has_size_word = true;
        if (!has_size_word) continue;
        int k = expensive_keyword(pytext::lower(stripped));
        if (k < 0) continue;
        out.push_back({lnum, "EXPENSIVE_INSTANCE_TYPE", "HIGH",
                       "GPU/memory-optimised instance type detected ('" + std::string(kExpensiveInstanceKeywords[size_t(k)]) +
                           "'). Confirm this is intentional \u2014 these are 5-100x more expensive than standard "
                           "types.",
                       std::string(stripped)});
    }
    each_block(tf_pattern(0), content, [&](size_t header, std::string_view block) {
        if (has_setting(tf_pattern(1), content, block)) return;
        int64_t at = lines.number_at(header);
        out.push_back({at, "MISSING_DELETION_PROTECTION", "MEDIUM",
                       "aws_db_instance without deletion_protection = true. Accidental deletion can cause data loss "
                       "and unexpected recreation cost.",
                       lines.snippet(at)});
    });
    each_block(tf_pattern(2), content, [&](size_t header, std::string_view block) {
        if (!has_setting(tf_pattern(3), content, block)) return;
        int64_t at = lines.number_at(header);
        out.push_back({at, "PUBLIC_S3_BUCKET", "HIGH",
                       "S3 bucket configured with public-read ACL. This can cause unlimited egress cost due to "
                       "uncontrolled download traffic.",
                       lines.snippet(at)});
    });
    for (const Regex::Match &m : tf_pattern(4).find_all(content)) {
        bool over = false;
        std::string val = decimal_text(m.group(content, 1), over);
        if (!over) continue;
        int64_t at = lines.number_at(m.start());
        out.push_back({at, "OVER_PROVISIONED_STORAGE", "MEDIUM",
                       "allocated_storage = " + val +
                           "GB detected. Over-provisioning storage wastes cost; prefer auto-scaling storage options.",
                       lines.snippet(at)});
    }
    if (!out.empty() && mentions_suppression(content)) drop_silenced(out, lines.all(), CommentStyle::HashOrSlash);
    return out;
}

std::vector<Finding> trace_tf(const std::string &path) {
    std::string text;
    if (!read_text(path, text)) return {};
    return trace_tf_text(text);
}

Analysis analysis_for(std::string_view path) {
    std::string s = pytext::lower(fs::suffix(path));
    if (s == ".py") return Analysis::Python;
    if (s == ".js" || s == ".ts" || s == ".jsx" || s == ".tsx" || s == ".mjs") return Analysis::Js;
    if (s == ".tf") return Analysis::Tf;
    return Analysis::None;
}

std::string normalise_path(std::string_view path) {
    std::string root;
    if (path.starts_with("//") && !path.starts_with("///")) root = "//";
    else if (path.starts_with("/")) root = "/";
    std::string out = root;
    size_t i = 0;
    while (i < path.size()) {
        size_t j = path.find('/', i);
        if (j == std::string_view::npos) j = path.size();
        std::string_view part = path.substr(i, j - i);
        if (!part.empty() && part != ".") {
            if (out.size() > root.size()) out += '/';
            out += part;
        }
        i = j + 1;
    }
    if (out.empty()) out = ".";
    return out;
}

void walk_files(const std::string &root, const std::vector<std::string> &skip,
                const std::function<void(const std::string &)> &visit,
                const std::function<void(const std::string &, const std::string &)> &unreadable) {
    std::string base = normalise_path(root);
    if (base.find('\0') != std::string::npos || !fs::exists(base)) return;
    if (fs::is_file(base)) {
        visit(base);
        return;
    }
    auto skipped = [&](std::string_view name) {
        return std::find(kSkippedDirs.begin(), kSkippedDirs.end(), name) != kSkippedDirs.end() ||
               std::find(skip.begin(), skip.end(), name) != skip.end();
    };
    // Entries come depth first with each directory's names in order, which is the order of
    // the paths compared component by component.
    fs::walk_pruned(base, [&](const std::string &p, bool is_dir) {
        if (is_dir) return !skipped(fs::basename(p));
        std::string_view rel = p;
        if (base == ".") rel.remove_prefix(2);  // "./name" -> "name"
        std::string path(rel);
        if (fs::is_file(path)) visit(path);
        return true;
    }, unreadable);
}

}  // namespace tw::hotspot
