#include "core/hotspotter/report.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <map>

#include "core/hotspotter/rules.h"
#include "core/json.h"
#include "core/names.h"
#include "core/pytext.h"

namespace tw::hotspot {

const RuleInfo kRules[13] = {
    {"API_CALL_IN_LOOP", "MEDIUM", "Cloud or network call inside a loop",
     "A call to a cloud SDK, HTTP client or database client inside a loop makes one billable request per "
     "iteration (HIGH when the loops are nested).",
     "Batch the requests, or send them together outside the loop (a bulk API, Promise.all())."},
    {"LARGE_DATA_LOAD_IN_LOOP", "HIGH", "Large data load inside a loop",
     "Reading a data file or decoding a document inside a loop repeats the I/O and the memory peak on every "
     "iteration.",
     "Load the data once, before the loop."},
    {"BLOCKING_SLEEP", "MEDIUM", "Blocking sleep",
     "time.sleep or threading.sleep blocks the thread; in serverless functions and async services the wait is "
     "billed as compute time.",
     "Use asyncio.sleep or a scheduled retry instead of blocking."},
    {"N_PLUS_1_QUERY", "HIGH", "Database query inside a loop (N+1)",
     "A query method called inside a loop makes one database round trip per item.",
     "Fetch the records needed with one query before the loop."},
    {"LARGE_LITERAL_IN_MEMORY", "LOW", "Large literal collection in source",
     "A list or dict display of more than 500 items is built when the module loads and kept in memory.",
     "Load the data from a file or a database when it is needed."},
    {"HEAVY_IMPORT", "LOW", "Import of a heavy library",
     "pandas, numpy, tensorflow, torch and scipy add cold-start time and memory to serverless functions.",
     "Import the library where it is used, or keep the work in a long-running service."},
    {"ERROR", "LOW", "File could not be analysed",
     "The file could not be read, or its syntax tree is too deep to walk; nothing else was checked in it.",
     "Make the file readable, or exclude it."},
    {"SYNTAX_ERROR", "LOW", "Python syntax error",
     "The file does not parse as Python 3.13 source, so none of its code was checked.",
     "Fix the syntax error, or exclude the file if it is not Python 3 source."},
    {"BLOCKING_SYNC_OP", "HIGH", "Synchronous blocking call inside a loop",
     "readFileSync, writeFileSync, execSync and spawnSync inside a loop stall the event loop while the function "
     "is billed.",
     "Use the asynchronous call and await the results together."},
    {"EXPENSIVE_INSTANCE_TYPE", "HIGH", "GPU or memory-optimised instance type",
     "A size attribute names a GPU or memory-optimised family, typically 5 to 100 times the price of a "
     "general-purpose size.",
     "Confirm that the size is needed; then silence the line with a 'tally-warden: ignore' comment."},
    {"MISSING_DELETION_PROTECTION", "MEDIUM", "Database without deletion protection",
     "An aws_db_instance block without deletion_protection = true can be destroyed by one apply, losing its data "
     "and costing a rebuild.",
     "Set deletion_protection = true in the aws_db_instance block."},
    {"PUBLIC_S3_BUCKET", "HIGH", "S3 bucket with a public-read ACL",
     "A public-read or public-read-write ACL lets anyone download the bucket's objects, and the egress is billed "
     "to the owner.",
     "Remove the public ACL; serve public content through a CDN with access control."},
    {"OVER_PROVISIONED_STORAGE", "MEDIUM", "Over-provisioned database storage",
     "allocated_storage above 1000 GB is billed in full whether it is used or not.",
     "Start smaller and set max_allocated_storage so that the storage grows when needed."},
};

int severity_rank(std::string_view severity) {
    if (severity == "LOW") return 1;
    if (severity == "MEDIUM") return 2;
    if (severity == "HIGH") return 3;
    return 0;
}

bool is_known_type(std::string_view type) {
    return std::any_of(std::begin(kRules), std::end(kRules), [&](const RuleInfo &r) { return r.id == type; });
}

namespace {

std::string_view level_of(std::string_view severity) {
    switch (severity_rank(severity)) {
        case 3: return "error";
        case 2: return "warning";
        case 1: return "note";
        default: return "none";
    }
}

// Text that is valid UTF-8.
std::string valid(std::string_view s) { return pytext::utf8_error(s) ? pytext::utf8_replace(s) : std::string(s); }

// Indented JSON, ASCII only (other code points as \u escapes), keys in the order written.
class JsonOut {
public:
    void open(char c) {
        out_ += c;
        first_.push_back(true);
    }
    void close(char c) {
        bool empty = first_.back();
        first_.pop_back();
        if (!empty) newline();
        out_ += c;
    }
    void item() {
        if (!first_.back()) out_ += ',';
        first_.back() = false;
        newline();
    }
    void key(std::string_view k) {
        item();
        str(k);
        out_ += ": ";
    }
    void str(std::string_view raw) { json::write_string(out_, raw, true); }
    // A file name: bytes that are not UTF-8 as surrogate escapes.
    void name(std::string_view k, std::string_view v) {
        key(k);
        names::write_json(out_, v, true);
    }
    void num(int64_t v) { out_ += std::to_string(v); }
    void kv(std::string_view k, std::string_view v) {
        key(k);
        str(v);
    }
    // {"text": v}
    void text_object(std::string_view k, std::string_view v) {
        key(k);
        open('{');
        kv("text", v);
        close('}');
    }
    std::string take() {
        out_ += '\n';
        return std::move(out_);
    }

private:
    std::string out_;
    std::vector<bool> first_;
    void newline() {
        out_ += '\n';
        out_.append(2 * first_.size(), ' ');
    }
};

bool listed(const std::vector<std::string> &types, std::string_view t) {
    return std::find(types.begin(), types.end(), t) != types.end();
}

// The components of an absolute path, "." and ".." resolved lexically.
std::vector<std::string_view> components(std::string_view path) {
    std::vector<std::string_view> parts;
    size_t i = 0;
    while (i <= path.size()) {
        size_t j = std::min(path.find('/', i), path.size());
        std::string_view part = path.substr(i, j - i);
        if (part == "..") {
            if (!parts.empty()) parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        i = j + 1;
    }
    return parts;
}

// RFC 3986 percent-encoding of a path: unreserved characters and "/" stay.
std::string uri_path(std::string_view path) {
    static const char *hex = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : path) {
        bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                    c == '.' || c == '_' || c == '~' || c == '/';
        if (keep) {
            out += char(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

std::string render_text(const std::vector<Reported> &shown) {
    std::string out;
    for (const Reported &f : shown)
        out += names::printable(f.file) + ":" + std::to_string(f.line) + ": " + valid(f.severity) + " " +
               valid(f.type) + " " + names::printable(valid(f.message)) + "\n";
    return out;
}

void finding_object(JsonOut &j, const Reported &f) {
    j.open('{');
    j.name("file", f.file);
    j.key("line");
    j.num(f.line);
    j.kv("type", f.type);
    j.kv("severity", f.severity);
    j.kv("message", f.message);
    j.kv("code_snippet", f.snippet);
    j.close('}');
}

std::string render_json(const std::vector<Reported> &shown, int64_t files) {
    JsonOut j;
    j.open('{');
    j.key("findings");
    j.open('[');
    for (const Reported &f : shown) {
        j.item();
        finding_object(j, f);
    }
    j.close(']');
    j.key("summary");
    j.open('{');
    j.key("files");
    j.num(files);
    j.key("findings");
    j.num(int64_t(shown.size()));
    j.key("by_severity");
    j.open('{');
    for (std::string_view sev : {"HIGH", "MEDIUM", "LOW"}) {
        j.key(sev);
        j.num(std::count_if(shown.begin(), shown.end(), [&](const Reported &f) { return f.severity == sev; }));
    }
    j.close('}');
    j.key("by_type");
    j.open('{');
    std::map<std::string, int64_t> by_type;
    for (const Reported &f : shown) ++by_type[f.type];
    for (const auto &[type, n] : by_type) {
        j.key(type);
        j.num(n);
    }
    j.close('}');
    j.close('}');
    j.close('}');
    return j.take();
}

void rule_object(JsonOut &j, const RuleInfo &r) {
    j.open('{');
    j.kv("id", r.id);
    j.text_object("shortDescription", r.short_description);
    j.text_object("fullDescription", r.full_description);
    j.text_object("help", r.help);
    j.key("defaultConfiguration");
    j.open('{');
    j.kv("level", level_of(r.severity));
    j.close('}');
    j.key("properties");
    j.open('{');
    j.key("tags");
    j.open('[');
    j.item();
    j.str("cost");
    j.close(']');
    j.close('}');
    j.close('}');
}

std::string render_sarif(const std::vector<Reported> &shown, const ReportOptions &opts) {
    // Every known type has a rule; a type from elsewhere gets one of its own.
    std::vector<RuleInfo> rules(std::begin(kRules), std::end(kRules));
    for (const Reported &f : shown)
        if (std::none_of(rules.begin(), rules.end(), [&](const RuleInfo &r) { return r.id == f.type; }))
            rules.push_back({f.type, "LOW", f.type, f.type, f.type});
    auto rule_index = [&](std::string_view type) {
        for (size_t i = 0; i < rules.size(); ++i)
            if (rules[i].id == type) return int64_t(i);
        return int64_t(-1);
    };

    JsonOut j;
    j.open('{');
    j.kv("$schema", "https://docs.oasis-open.org/sarif/sarif/v2.1.0/errata01/os/schemas/sarif-schema-2.1.0.json");
    j.kv("version", "2.1.0");
    j.key("runs");
    j.open('[');
    j.item();
    j.open('{');
    j.key("tool");
    j.open('{');
    j.key("driver");
    j.open('{');
    j.kv("name", "tally-warden");
    j.kv("version", opts.tool_version);
    j.kv("informationUri", opts.information_uri);
    j.key("rules");
    j.open('[');
    for (const RuleInfo &r : rules) {
        j.item();
        rule_object(j, r);
    }
    j.close(']');
    j.close('}');
    j.close('}');
    j.key("originalUriBaseIds");
    j.open('{');
    j.key("SRCROOT");
    j.open('{');
    std::string root = opts.cwd;  // percent-encoded as the bytes it is
    if (!root.ends_with("/")) root += '/';
    j.kv("uri", "file://" + uri_path(root));
    j.close('}');
    j.close('}');
    j.key("results");
    j.open('[');
    std::map<std::string, int64_t> seen;
    for (const Reported &f : shown) {
        std::string snippet(pytext::strip(valid(f.snippet)));
        std::string triple = f.type + '\0' + f.file + '\0' + snippet;
        int64_t occurrence = ++seen[triple];
        j.item();
        j.open('{');
        j.kv("ruleId", f.type);
        j.key("ruleIndex");
        j.num(rule_index(f.type));
        j.kv("level", level_of(f.severity));
        j.text_object("message", f.message);
        j.key("locations");
        j.open('[');
        j.item();
        j.open('{');
        j.key("physicalLocation");
        j.open('{');
        j.key("artifactLocation");
        j.open('{');
        j.kv("uri", uri_path(f.file));
        j.kv("uriBaseId", "SRCROOT");
        j.close('}');
        j.key("region");
        j.open('{');
        j.key("startLine");
        j.num(std::max<int64_t>(1, f.line));
        if (!snippet.empty()) j.text_object("snippet", snippet);
        j.close('}');
        j.close('}');
        j.close('}');
        j.close(']');
        j.key("partialFingerprints");
        j.open('{');
        j.kv("primaryLocationLineHash", line_hash(f.type, f.file, snippet, occurrence));
        j.close('}');
        j.close('}');
    }
    j.close(']');
    j.close('}');
    j.close(']');
    j.close('}');
    return j.take();
}

}  // namespace

std::string relative_path(std::string_view path, std::string_view cwd) {
    if (!path.starts_with("/")) return normalise_path(path);
    std::vector<std::string_view> to = components(path), from = components(cwd);
    size_t common = 0;
    while (common < to.size() && common < from.size() && to[common] == from[common]) ++common;
    std::string out;
    for (size_t i = common; i < from.size(); ++i) out += out.empty() ? ".." : "/..";
    for (size_t i = common; i < to.size(); ++i) {
        if (!out.empty()) out += '/';
        out += to[i];
    }
    return out.empty() ? "." : out;
}

ReportOutcome report(const std::vector<Reported> &found, int64_t files, ReportFormat format,
                     const ReportOptions &opts) {
    std::vector<Reported> shown;
    ReportOutcome outcome;
    for (const Reported &f : found) {
        int rank = severity_rank(f.severity);
        if (rank < opts.min_rank) continue;
        if (!opts.select.empty() && !listed(opts.select, f.type)) continue;
        if (listed(opts.ignore, f.type)) continue;
        Reported r = f;
        r.file = relative_path(f.file, opts.cwd);
        if (opts.fail_rank > 0 && rank >= opts.fail_rank) outcome.status = 1;
        shown.push_back(std::move(r));
    }
    switch (format) {
        case ReportFormat::Text: outcome.text = render_text(shown); break;
        case ReportFormat::Json: outcome.text = render_json(shown, files); break;
        case ReportFormat::Sarif: outcome.text = render_sarif(shown, opts); break;
    }
    return outcome;
}

std::string line_hash(std::string_view rule, std::string_view path, std::string_view snippet, int64_t occurrence) {
    std::string data;
    data.append(rule).append(1, '\0').append(path).append(1, '\0').append(snippet);
    return sha256_hex(data).substr(0, 16) + ":" + std::to_string(occurrence);
}

namespace {

constexpr std::array<uint32_t, 64> kSha256K = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

constexpr uint32_t rotr(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

void sha256_block(std::array<uint32_t, 8> &h, const unsigned char *p) {
    uint32_t w[64];
    for (int i = 0; i < 16; ++i)
        w[i] = uint32_t(p[4 * i]) << 24 | uint32_t(p[4 * i + 1]) << 16 | uint32_t(p[4 * i + 2]) << 8 | p[4 * i + 3];
    for (int i = 16; i < 64; ++i) {
        uint32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
        uint32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
        w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4], f = h[5], g = h[6], k = h[7];
    for (int i = 0; i < 64; ++i) {
        uint32_t t1 = k + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + ((e & f) ^ (~e & g)) + kSha256K[i] + w[i];
        uint32_t t2 = (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
        k = g;
        g = f;
        f = e;
        e = d + t1;
        d = c;
        c = b;
        b = a;
        a = t1 + t2;
    }
    uint32_t add[8] = {a, b, c, d, e, f, g, k};
    for (int i = 0; i < 8; ++i) h[i] += add[i];
}

}  // namespace

std::string sha256_hex(std::string_view data) {
    std::array<uint32_t, 8> h = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    std::string msg(data);
    uint64_t bits = uint64_t(data.size()) * 8;
    msg += char(0x80);
    while (msg.size() % 64 != 56) msg += char(0);
    for (int i = 7; i >= 0; --i) msg += char((bits >> (8 * i)) & 0xff);
    for (size_t off = 0; off < msg.size(); off += 64)
        sha256_block(h, reinterpret_cast<const unsigned char *>(msg.data() + off));
    std::string out;
    char buf[9];
    for (uint32_t v : h) {
        std::snprintf(buf, sizeof buf, "%08x", unsigned(v));
        out += buf;
    }
    return out;
}

}  // namespace tw::hotspot
