// The directory scan: which files are read, and which are excluded. Terraform files are
// read once into their model, grouped by directory, and instantiated in their directory's
// scope (and, with modules, in each module instance's).
#include <algorithm>
#include <filesystem>
#include <set>
#include <unordered_set>

#include "core/fsutil.h"
#include "core/json.h"
#include "core/pytext.h"
#include "core/stackreader/reader.h"
#include "core/stackreader/template_sizes.h"
#include "core/stackreader/tfmodel.h"

namespace tw::stack {

const char *const kDefaultExcludes[8] = {".git", ".venv", "venv", "node_modules", ".tox", "__pycache__",
                                         ".pytest_cache", ".terraform"};

namespace {
// Whether any directory between `root` and the file is named like an exclusion, or the
// file lies in one of the subtrees `paths` (relative to `root`).
bool excluded(const std::string &root, const std::string &path, const std::vector<std::string> &patterns,
              const std::vector<std::string> &paths = {}) {
    if (path.size() <= root.size()) return false;
    std::string_view rel = std::string_view(path).substr(root.size());
    while (rel.starts_with("/")) rel.remove_prefix(1);
    for (const auto &p : paths)
        if (rel.size() > p.size() && rel.starts_with(p) && rel[p.size()] == '/') return true;
    size_t start = 0;
    for (;;) {
        size_t slash = rel.find('/', start);
        if (slash == std::string_view::npos) return false;  // the rest is the file name
        std::string_view part = rel.substr(start, slash - start);
        if (!part.empty()) {
            for (const char *d : kDefaultExcludes)
                if (part == d) return true;
            for (const auto &p : patterns)
                if (part == p) return true;
        }
        start = slash + 1;
    }
}

}  // namespace

bool is_tfvars(std::string_view name) {
    return name == "terraform.tfvars" || name == "terraform.tfvars.json" || name.ends_with(".auto.tfvars") ||
           name.ends_with(".auto.tfvars.json");
}

ScanPlan plan_scan(const std::string &directory, const std::vector<std::string> &exclude_patterns,
                   const std::vector<std::string> &exclude_paths) {
    ScanPlan plan;
    std::vector<std::string> yml;
    // Modules that terraform init downloaded are read only through their calls.
    fs::walk_pruned(directory, [&](const std::string &path, bool is_dir) {
        if (is_dir) return fs::basename(path) != kTerraformDir;
        bool tf = path.ends_with(".tf");
        bool json = !tf && path.ends_with(".json");
        bool yaml = !tf && !json && path.ends_with(".yaml");
        bool ymls = !tf && !json && !yaml && path.ends_with(".yml");
        if ((json || path.ends_with(".tfvars")) && is_tfvars(fs::basename(path))) plan.tfvars.push_back(path);
        if (!(tf || json || yaml || ymls)) return true;
        if (tf) plan.all_tf.push_back(path);
        if (excluded(directory, path, exclude_patterns, exclude_paths)) return true;
        if (tf) plan.tf.push_back(path);
        else if (json) plan.json.push_back(path);
        else if (yaml) plan.yaml.push_back(path);
        else yml.push_back(path);
        return true;
    }, [&](const std::string &dir, const std::string &error) {
        // Directories excluded from the scan are not reported.
        if (!excluded(directory, dir + "/-", exclude_patterns, exclude_paths))
            plan.errors.push_back("Error reading directory " + dir + ": " + error);
    });
    plan.yaml.insert(plan.yaml.end(), yml.begin(), yml.end());
    return plan;
}

std::optional<std::string> exclude_path(std::string_view value) {
    if (value.starts_with("/")) return std::nullopt;
    std::string rel;
    while (!value.empty()) {
        size_t slash = value.find('/');
        std::string_view part = value.substr(0, slash);
        value = slash == std::string_view::npos ? std::string_view() : value.substr(slash + 1);
        if (part.empty() || part == ".") continue;
        if (part == "..") return std::nullopt;
        if (!rel.empty()) rel += '/';
        rel += part;
    }
    if (rel.empty()) return std::nullopt;
    return rel;
}

std::vector<std::string> unmatched_excludes(const std::string &directory, const std::vector<std::string> &values) {
    std::set<std::string> names;
    bool is_dir = fs::is_dir(directory);
    for (const auto &v : values)
        if (v.find('/') == std::string::npos && is_dir) names.insert(v);
    std::set<std::string> seen;
    if (!names.empty())
        fs::walk_pruned(directory, [&](const std::string &path, bool dir) {
            if (!dir || seen.size() == names.size()) return false;
            std::string name = fs::basename(path);
            if (names.count(name)) seen.insert(name);
            for (const char *d : kDefaultExcludes)
                if (name == d) return false;
            return true;  // a name may also lie under another excluded directory
        });
    std::vector<std::string> unmatched;
    for (const auto &v : values) {
        if (v.find('/') == std::string::npos) {
            if (!seen.count(v)) unmatched.push_back(v);
            continue;
        }
        auto rel = exclude_path(v);
        if (!is_dir || !rel || !fs::is_dir(fs::join(directory, *rel))) unmatched.push_back(v);
    }
    return unmatched;
}

// What one scan keeps of the .tf texts it read for variables, to parse them without reading again.
constexpr size_t kTextCacheBytes = 64u << 20;

std::pair<Map, Map> ScanReaders::variables(const std::string &root, const std::vector<std::string> *tf_files,
                                           std::unordered_map<std::string, std::string> &texts) {
    if (tf_files) return parse_variables_and_locals_files(*tf_files, &texts, kTextCacheBytes);
    return parse_variables_and_locals(root);
}

std::vector<Value> ScanReaders::tf_file(const std::string &path, const Map &variables, const Map &locals,
                                        const std::string *text, const Sink &out) {
    if (text) return parse_tf_text(pytext::strip_bom(*text), variables, locals, nullptr, &out);
    return parse_tf_file(path, variables, locals, out);
}

std::vector<Value> ScanReaders::json_file(const std::string &path, const Sink &out) { return parse_json_file(path, out); }

std::vector<Value> ScanReaders::cloudformation(const std::string &path, const Sink &out) {
    return parse_cloudformation(path, out);
}

namespace {

// A path with "." components and "x/.." pairs removed, for comparing directories.
std::string normalise(std::string_view path) {
    bool absolute = path.starts_with("/");
    std::vector<std::string_view> parts;
    size_t start = 0;
    while (start <= path.size()) {
        size_t slash = path.find('/', start);
        if (slash == std::string_view::npos) slash = path.size();
        std::string_view part = path.substr(start, slash - start);
        if (part == "..") {
            if (!parts.empty() && parts.back() != "..") parts.pop_back();
            else if (!absolute) parts.push_back(part);
        } else if (!part.empty() && part != ".") parts.push_back(part);
        start = slash + 1;
    }
    std::string out = absolute ? "/" : "";
    for (size_t i = 0; i < parts.size(); ++i) {
        if (i) out += '/';
        out += parts[i];
    }
    return out.empty() ? "." : out;
}

bool under_terraform_dir(const std::string &dir) {
    return dir == ".terraform" || dir.starts_with(".terraform/") || dir.find("/.terraform/") != std::string::npos ||
           dir.ends_with("/.terraform");
}

struct TfFile {
    std::string path;
    bool read = false;
    std::string error;  // the read error, when not read
    TfFileModel model;  // with modules: read at once
    std::string text;   // without: kept to be read when its records are made
    bool has_text = false;
};

// The Terraform files of one directory and what they define.
struct TfDir {
    std::vector<TfFile> files;
    std::vector<std::string> declared;  // names of its variable blocks
    Map vars;                           // their defaults
    Map collection_defaults;            // list and map defaults, whole
    Map tfvars;                         // values of its variable files for declared variables
    Map raw_locals;                     // its locals as collected, unresolved
    Map root_vars, root_locals;         // resolved for the directory as a root
    std::vector<TfProvider> providers;
    bool scanned = false;               // holds files that are not excluded
    bool prepared = false;
};

// A decoded JSON value as literal text the reader parses again; false when nested too deep.
bool render_literal(const Value &v, std::string &out, int depth = 0) {
    if (depth > 64) return false;
    auto quote = [&out](std::string_view t) {
        out += '"';
        for (char c : t) {
            if (c == '"' || c == '\\') out += '\\';
            if (c == '\n') out += "\\n";
            else out += c;
        }
        out += '"';
    };
    if (v.is_str()) quote(v.as_str());
    else if (v.is_bool()) out += v.as_bool() ? "true" : "false";
    else if (v.is_null()) out += "null";
    else if (v.is_list()) {
        out += '[';
        bool first = true;
        for (const Value &x : v.as_list()) {
            if (!first) out += ", ";
            first = false;
            if (!render_literal(x, out, depth + 1)) return false;
        }
        out += ']';
    } else if (v.is_map()) {
        out += '{';
        bool first = true;
        for (const auto &kv : v.as_map()) {
            if (!first) out += ", ";
            first = false;
            quote(kv.first);
            out += ": ";
            if (!render_literal(kv.second, out, depth + 1)) return false;
        }
        out += '}';
    } else out += pytext::str_of(v);
    return true;
}

// Values of one variable file: top-level "name = value" lines, a multi-line list or map
// kept whole as text; JSON files decoded, lists and maps kept as their JSON text.
// Lines it cannot use are reported through `say` (JSON files are reported by the JSON reader).
void read_tfvars(const std::string &path, Map &out, const Sink *say = nullptr) {
    std::string text, error;
    bool json = path.ends_with(".json");
    if (!fs::read_utf8(path, text, error)) {
        if (say && !json) (*say)("Error reading file " + path + ": " + error);
        return;
    }
    std::string_view body = pytext::strip_bom(text);
    if (json) {
        Value doc;
        if (!json::parse(body, doc, error) || !doc.is_map()) return;
        for (const auto &kv : doc.as_map()) {
            const Value &v = kv.second;
            if (v.is_str()) out.set(kv.first, number_or_text(v.as_str()));
            else if (v.is_bool()) out.set(kv.first, Value(v.as_bool() ? "true" : "false"));
            else if (v.is_number()) out.set(kv.first, v);
            else if (v.is_list() || v.is_map()) {
                std::string literal;
                if (render_literal(v, literal)) out.set(kv.first, Value(std::move(literal)));
            }
        }
        return;
    }
    std::string key, pending;
    long balance = 0;
    size_t number = 0;
    for (std::string_view line : pytext::split_newlines(body)) {
        ++number;
        std::string_view cut = comment_cut(line);
        if (balance > 0) {
            pending += '\n';
            pending += cut;
            for (char c : cut) balance += (c == '{' || c == '[') - (c == '}' || c == ']');
            if (balance <= 0) out.set(key, Value(pending));
            continue;
        }
        size_t eq = cut.find('=');
        if (eq == std::string_view::npos) continue;
        std::string_view name = pytext::strip(cut.substr(0, eq));
        std::string_view value = pytext::strip(cut.substr(eq + 1));
        if (name.empty() || value.empty() ||
            name.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_-") !=
                std::string_view::npos)
            continue;
        balance = 0;
        for (char c : value) balance += (c == '{' || c == '[') - (c == '}' || c == ']');
        if (balance > 0) {
            key = std::string(name);
            pending = std::string(value);
            continue;
        }
        if (value.front() == '"' && (value.size() < 2 || value.back() != '"')) {
            // An unterminated text: Terraform rejects the file; the variable keeps its default.
            if (say)
                (*say)("Error reading file " + path + ": line " + std::to_string(number) + ": the value of '" +
                       std::string(name) + "' is an unterminated string; it is ignored");
            continue;
        }
        out.set(std::string(name), number_or_text(unquote(value)));
    }
}

class TfTree {
public:
    // Each record's file, when the scan was asked for them.
    std::vector<std::string> *files = nullptr;
    void note(const std::string &path, size_t before, const std::vector<Value> &records) {
        if (files) files->insert(files->end(), records.size() - before, path);
    }

    TfTree(const Sink &out, bool modules, std::string modules_from, size_t max_work)
        : out_(out), modules_(modules), modules_from_(std::move(modules_from)), max_work_(max_work) {}
    // Module and resource instances the module evaluation made.
    size_t work() const { return work_; }

    void copied(const std::string &copy_root, const std::string &real_root) {
        if (copy_root.empty()) return;
        copy_root_ = normalise(copy_root);
        real_root_ = normalise(real_root);
    }

    // Reads every file once: its variables and locals (for the directory and the merged
    // maps of the scan root) and, when it is scanned or modules are on, its model.
    void read(const std::vector<std::string> &all_tf, const std::unordered_set<std::string> &scanned) {
        std::string text;
        for (const auto &path : all_tf) {
            std::string dir = normalise(fs::dirname(path));
            if (!dirs_.count(dir)) order_.push_back(dir);
            TfDir &d = dirs_[dir];
            TfFile f;
            f.path = path;
            bool want = scanned.count(path) > 0;
            if (want) d.scanned = true;
            if (fs::read_utf8(path, text, f.error)) {
                std::string_view body = pytext::strip_bom(text);
                Map fv, fl;
                collect_variables_and_locals(body, fv, fl, &d.declared);
                for (const auto &kv : fv) {
                    vars_.set(kv.first, kv.second);
                    d.vars.set(kv.first, kv.second);
                }
                for (const auto &kv : fl) {
                    locals_.set(kv.first, kv.second);
                    d.raw_locals.set(kv.first, kv.second);
                }
                if (modules_) {
                    for (const auto &kv : fv)
                        if (kv.second.is_str() && (kv.second.as_str().starts_with("{") || kv.second.as_str().starts_with("["))) {
                            collect_collection_defaults(body, d.collection_defaults);
                            break;
                        }
                    f.model = read_tf_model(body);
                    for (const auto &p : f.model.providers) d.providers.push_back(p);
                } else if (want) {
                    // Provider blocks now, for the directory's other files; the rest when
                    // the file's records are made.
                    if (body.find("provider") != std::string_view::npos)
                        for (auto &p : read_tf_model(body).providers) d.providers.push_back(std::move(p));
                    if (cached_ + text.size() <= kTextCacheBytes) {
                        cached_ += text.size();
                        f.text = std::move(text);
                        f.has_text = true;
                    }
                }
                f.read = want || modules_;
            }
            if (f.read || want) d.files.push_back(std::move(f));
        }
        resolve_locals(vars_, locals_);
    }

    void add_tfvars(const std::vector<std::string> &files) {
        // Terraform's order: terraform.tfvars, terraform.tfvars.json, then *.auto.tfvars(.json)
        // by name; a later file wins.
        std::vector<std::string> sorted = files;
        auto rank = [](const std::string &p) {
            std::string n = fs::basename(p);
            return n == "terraform.tfvars" ? 0 : n == "terraform.tfvars.json" ? 1 : 2;
        };
        std::stable_sort(sorted.begin(), sorted.end(), [&](const std::string &a, const std::string &b) {
            int ra = rank(a), rb = rank(b);
            if (ra != rb) return ra < rb;
            return fs::basename(a) < fs::basename(b);
        });
        for (const auto &path : sorted) {
            auto it = dirs_.find(normalise(fs::dirname(path)));
            if (it == dirs_.end()) continue;
            Map values;
            read_tfvars(path, values, &out_);
            std::set<std::string_view> declared(it->second.declared.begin(), it->second.declared.end());
            for (const auto &kv : values)
                if (declared.count(kv.first)) it->second.tfvars.set(kv.first, kv.second);
        }
    }

    const Map &vars() const { return vars_; }
    const Map &locals() const { return locals_; }

    // The directory as a root: its variables (defaults, then its variable files) and locals
    // first, the scan root's merged ones after.
    TfDir &prepared(const std::string &dir) {
        TfDir &d = dirs_[dir];
        if (d.prepared) return d;
        d.prepared = true;
        // Module instances start again from the directory's own definitions; a plain scan
        // needs them only once.
        d.root_vars = modules_ ? d.vars : std::move(d.vars);
        for (const auto &kv : d.tfvars) d.root_vars.set(kv.first, kv.second);
        d.root_locals = modules_ ? d.raw_locals : std::move(d.raw_locals);
        resolve_locals_scoped(d.root_locals, root_scope(d));
        return d;
    }
    Scope root_scope(const TfDir &d) const {
        Scope s;
        s.vars = &d.root_vars;
        s.locals = &d.root_locals;
        s.fallback_vars = &vars_;
        s.fallback_locals = &locals_;
        return s;
    }

    // Records of one scanned file in its directory's scope.
    void read_file(const std::string &path, std::vector<Value> &records) {
        std::string dir = normalise(fs::dirname(path));
        TfDir &d = prepared(dir);
        Scope scope = root_scope(d);
        ProviderRegions regions;
        add_provider_regions(d.providers, scope, regions);
        for (auto &f : d.files) {
            if (f.path != path) continue;
            if (!f.read) {
                out_("Error reading file " + f.path + ": " + f.error);
                return;
            }
            std::string text;
            if (f.has_text) text.swap(f.text);
            else if (!fs::read_utf8(f.path, text, f.error)) {
                // Beyond the text budget the file is read again.
                out_("Error reading file " + f.path + ": " + f.error);
                return;
            }
            size_t before = records.size();
            read_tf_model(pytext::strip_bom(text), [&](TfResource &&res) {
                instantiate_resource(std::move(res), scope, &regions, false, "", nullptr, records, &out_);
            });
            note(f.path, before, records);
            return;
        }
    }

    // A file named directly, in the scope of its directory.
    void read_single(const std::string &path, std::vector<Value> &records) {
        std::string text, error;
        if (!fs::read_utf8(path, text, error)) {
            out_("Error reading file " + path + ": " + error);
            return;
        }
        TfDir &d = prepared(normalise(fs::dirname(path).empty() ? "." : fs::dirname(path)));
        Scope scope = root_scope(d);
        ProviderRegions regions;
        add_provider_regions(d.providers, scope, regions);
        size_t before = records.size();
        for (const auto &res : read_tf_model(pytext::strip_bom(text)).resources)
            instantiate_resource(res, scope, &regions, false, "", nullptr, records, &out_);
        note(path, before, records);
    }

    // With modules: every root directory's resources and the module instances it calls.
    void read_modules(const std::string &scan_root, std::vector<Value> &records) {
        scan_root_ = scan_root;
        std::unordered_set<std::string> called;
        for (const auto &dir : order_) {
            const TfDir &d = dirs_[dir];
            if (!d.scanned) continue;
            for (const auto &f : d.files)
                for (const auto &call : f.model.modules)
                    if (call.source && is_local(*call.source)) {
                        std::string target = normalise(fs::join(dir, std::string(unquote(*call.source))));
                        if (target != dir) called.insert(target);
                    }
        }
        std::vector<std::string> roots;
        for (const auto &dir : order_) {
            const TfDir &d = dirs_[dir];
            if (d.scanned && !called.count(dir) && !under_terraform_dir(relative(scan_root, dir))) roots.push_back(dir);
        }
        for (const auto &dir : roots) root(dir, records);
        // Directories reached by no call (only by calls among themselves) are roots too.
        for (const auto &dir : order_) {
            const TfDir &d = dirs_[dir];
            if (d.scanned && called.count(dir) && !reached_.count(dir) && !under_terraform_dir(relative(scan_root, dir)))
                root(dir, records);
        }
    }

private:
    static bool is_local(std::string_view source) {
        source = unquote(pytext::strip(source));
        return source.starts_with("./") || source.starts_with("../") || source == "." || source == "..";
    }
    static std::string relative(const std::string &root, const std::string &dir) {
        std::string r = normalise(root);
        if (r == ".") return dir;
        if (dir == r) return ".";
        if (dir.starts_with(r + "/")) return dir.substr(r.size() + 1);
        return dir;
    }

    struct Frame {
        std::string dir, key;  // directory, and the call path as modules.json keys it ("app.db")
        std::string real;      // the directory with symbolic links resolved, to find cycles
    };

    // The directory with symbolic links resolved (itself when that fails).
    const std::string &real_path(const std::string &dir) {
        auto it = real_.find(dir);
        if (it != real_.end()) return it->second;
        std::error_code ec;
        std::string real = std::filesystem::canonical(dir, ec).string();
        return real_.emplace(dir, ec ? dir : real).first->second;
    }

    // How many of `n` instances the scan's work cap still allows; what is left over is
    // announced once, and nothing more is made afterwards.
    size_t take(size_t n) {
        size_t room = max_work_ - std::min(work_, max_work_);
        size_t taken = std::min(n, room);
        work_ += taken;
        if (taken < n && !stopped_) {
            stopped_ = true;
            out_("Module evaluation stopped after " + std::to_string(max_work_) +
                 " module and resource instances; the rest is not priced");
        }
        return taken;
    }

    // One resource block's instances, as far as the work cap allows.
    void make_resource(const TfResource &res, const Scope &scope, const ProviderRegions &regions,
                       const std::string &prefix, std::vector<Value> &records) {
        if (stopped_) return;
        size_t before = records.size();
        instantiate_resource(res, scope, &regions, true, prefix, nullptr, records, &out_);
        size_t made = records.size() - before;
        records.resize(before + take(made));
    }

    void root(const std::string &dir, std::vector<Value> &records) {
        reached_.insert(dir);
        TfDir &d = prepared(dir);
        Scope scope = root_scope(d);
        ProviderRegions regions;
        add_provider_regions(d.providers, scope, regions);
        // The resolved path only finds cycles of calls: a directory without calls needs none.
        bool calls = std::any_of(d.files.begin(), d.files.end(), [](const auto &f) { return !f.model.modules.empty(); });
        std::vector<Frame> stack{{dir, "", calls ? real_path(dir) : dir}};
        root_dir_ = dir;
        for (const auto &f : d.files) {
            if (!f.read) {
                out_("Error reading file " + f.path + ": " + f.error);
                continue;
            }
            size_t before = records.size();
            for (const auto &res : f.model.resources) make_resource(res, scope, regions, "", records);
            note(f.path, before, records);
            // A module's records are the calling root's: its file names them.
            root_file_ = f.path;
            for (const auto &call : f.model.modules) instantiate_call(call, scope, regions, "", stack, records);
        }
    }

    // A module's source directory, loaded when the scan did not meet it.
    TfDir *source_dir(const std::string &dir) {
        auto it = dirs_.find(dir);
        if (it != dirs_.end() && !it->second.files.empty()) return &it->second;
        if (!fs::is_dir(dir)) return nullptr;
        // Only the directory's own files: a source may name any directory, however large.
        std::vector<std::string> files;
        std::error_code ec;
        for (std::filesystem::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
            std::string name = it->path().filename().string();
            if (name.ends_with(".tf") && fs::is_file(fs::join(dir, name))) files.push_back(fs::join(dir, name));
        }
        std::sort(files.begin(), files.end());
        if (files.empty()) return nullptr;
        TfDir &d = dirs_[dir];
        std::string text;
        for (const auto &path : files) {
            TfFile f;
            f.path = path;
            if (fs::read_utf8(path, text, f.error)) {
                std::string_view body = pytext::strip_bom(text);
                collect_variables_and_locals(body, d.vars, d.raw_locals, &d.declared);
                collect_collection_defaults(body, d.collection_defaults);
                f.model = read_tf_model(body);
                f.read = true;
                for (const auto &p : f.model.providers) d.providers.push_back(p);
            }
            d.files.push_back(std::move(f));
        }
        return &d;
    }

    // modules.json of the root being instantiated: module key to directory.
    const Map &installed() {
        auto it = installed_.find(root_dir_);
        if (it != installed_.end()) return it->second;
        Map &keys = installed_[root_dir_];
        std::string base = root_dir_;
        if (!modules_from_.empty()) {
            std::string rel = relative(scan_root_, root_dir_);
            base = rel == "." ? modules_from_ : fs::join(modules_from_, rel);
        }
        Value doc;
        std::string error;
        if (json::parse_file(fs::join(base, ".terraform/modules/modules.json"), doc, error) && doc.is_map()) {
            const Value *mods = doc.as_map().find("Modules");
            if (mods && mods->is_list())
                for (const Value &m : mods->as_list()) {
                    if (!m.is_map()) continue;
                    const Value *k = m.as_map().find("Key");
                    const Value *d = m.as_map().find("Dir");
                    if (k && d && k->is_str() && d->is_str() && !k->as_str().empty())
                        keys.set(k->as_str(), Value(normalise(fs::join(base, d->as_str()))));
                }
        }
        return keys;
    }

    void say_once(const std::string &line) {
        if (said_.insert(line).second) out_(line);
    }

    static bool within(const std::string &path, const std::string &root) {
        return path == root || (path.size() > root.size() && path.starts_with(root) && path[root.size()] == '/');
    }

    // The directory of a local source called from `dir`.
    std::string local_target(const std::string &dir, const std::string &source, const std::string &name) {
        std::string target = normalise(fs::join(dir, source));
        if (copy_root_.empty() || within(target, copy_root_)) return target;
        std::string real_dir = within(dir, copy_root_) ? real_root_ + dir.substr(copy_root_.size()) : dir;
        target = normalise(fs::join(real_dir, source));
        say_once("Module '" + name + "' (" + source + "): outside the repository, read from the working tree at " +
                 target);
        return target;
    }

    void instantiate_call(const TfModuleCall &call, const Scope &caller, const ProviderRegions &caller_regions,
                          const std::string &prefix, std::vector<Frame> &stack, std::vector<Value> &records) {
        if (stopped_) return;
        std::string source = call.source ? std::string(unquote(pytext::strip(*call.source))) : "";
        std::string key = stack.back().key.empty() ? call.name : stack.back().key + "." + call.name;
        std::string target;
        if (is_local(source)) target = local_target(stack.back().dir, source, call.name);
        else if (const Value *d = installed().find(key)) target = d->as_str();
        TfDir *d = target.empty() ? nullptr : source_dir(target);
        if (!d) {
            std::string where = "Module '" + call.name + "' (" + source + "): ";
            if (!is_local(source)) say_once(where + "not found; run terraform init to price it");
            else if (!fs::is_dir(target)) say_once(where + "source directory '" + relative(scan_root_, target) + "' does not exist");
            else say_once(where + "no .tf files in '" + relative(scan_root_, target) + "'");
            return;
        }
        reached_.insert(target);
        const std::string &real = real_path(target);
        for (const auto &f : stack)
            if (f.real == real) {
                std::string chain;
                for (const auto &g : stack) chain += relative(scan_root_, g.dir) + " -> ";
                say_once("Module '" + call.name + "' (" + source + "): cycle of module calls " + chain +
                         relative(scan_root_, target) + "; not instantiated");
                return;
            }

        // Instances of the call, with the bindings its arguments see.
        Instances instances;
        bool expanded = false;
        if (call.count || call.for_each) {
            Value v = resolve_scoped(Value(call.count ? *call.count : *call.for_each), caller);
            std::string label = "Module '" + call.name + "'";
            auto made = call.count ? expand_instances(&v, nullptr, label, &out_) : expand_instances(nullptr, &v, label, &out_);
            if (made) {
                expanded = true;
                instances = std::move(*made);
            }
        }
        if (!expanded) instances.emplace_back("", Map());

        stack.push_back({target, key, real});
        for (auto &inst : instances) {
            if (!take(1)) break;
            Scope args_scope = caller;
            if (expanded) args_scope.bindings = &inst.second;
            Map vars = d->vars;
            for (const auto &kv : d->collection_defaults) vars.set(kv.first, kv.second);
            for (const auto &a : call.args) vars.set(a.key, resolve_scoped(a.raw, args_scope));
            Map locals = d->raw_locals;
            Scope scope;
            scope.vars = &vars;
            scope.locals = &locals;
            resolve_locals_scoped(locals, scope);

            // Provider configurations pass down, renamed by the call's providers map.
            ProviderRegions regions = caller_regions;
            if (call.providers)
                if (auto map = parse_literal(*call.providers); map && map->is_map())
                    for (const auto &kv : map->as_map()) {
                        auto it = caller_regions.find(pytext::str_of(kv.second));
                        if (it != caller_regions.end()) regions[kv.first] = it->second;
                        else regions.erase(kv.first);
                    }
            add_provider_regions(d->providers, scope, regions);

            std::string inner = prefix + "module." + call.name + inst.first + ".";
            for (const auto &f : d->files) {
                if (!f.read) continue;
                size_t before = records.size();
                for (const auto &res : f.model.resources) make_resource(res, scope, regions, inner, records);
                note(root_file_, before, records);
                for (const auto &c : f.model.modules) instantiate_call(c, scope, regions, inner, stack, records);
            }
        }
        stack.pop_back();
    }

    const Sink &out_;
    bool modules_;
    std::string modules_from_;
    std::string copy_root_, real_root_;
    std::unordered_map<std::string, TfDir> dirs_;
    std::vector<std::string> order_;  // directories in the order the walk met them
    Map vars_, locals_;               // merged over the scan root
    std::unordered_set<std::string> reached_;
    std::unordered_map<std::string, Map> installed_;
    std::set<std::string> said_;
    std::string root_dir_, scan_root_, root_file_;
    size_t cached_ = 0;  // bytes of text kept
    size_t max_work_, work_ = 0;
    bool stopped_ = false;
    std::unordered_map<std::string, std::string> real_;
};

}  // namespace

std::vector<Value> scan(const std::string &directory, const std::vector<std::string> &exclude_patterns,
                        ScanReaders &readers, const Sink &out, const ScanOptions &options) {
    std::vector<Value> records;
    if (!fs::exists(directory)) return records;
    bool is_dir = fs::is_dir(directory);
    ScanPlan plan;
    if (is_dir) plan = plan_scan(directory, exclude_patterns, options.exclude_paths);
    for (const auto &line : plan.errors) out(line);
    std::string root = is_dir ? directory : fs::dirname(directory);
    if (root.empty()) root = ".";

    auto append = [&records, &options](const std::string &path, std::vector<Value> &&more) {
        if (options.files) options.files->insert(options.files->end(), more.size(), path);
        for (auto &r : more) records.push_back(std::move(r));
    };

    if (readers.native_terraform()) {
        // Every .tf file is read once, for the variables of the scan root and its own directory.
        TfTree tree(out, options.modules && is_dir, options.modules_from, options.max_work);
        tree.files = options.files;
        tree.copied(options.copy_root, options.real_root);
        if (is_dir) {
            std::unordered_set<std::string> scanned(plan.tf.begin(), plan.tf.end());
            tree.read(plan.all_tf, scanned);
            tree.add_tfvars(plan.tfvars);
            if (options.modules) tree.read_modules(directory, records);
            else
                for (const auto &p : plan.tf) tree.read_file(p, records);
            if (options.work) *options.work = tree.work();
        } else {
            ScanPlan local = plan_scan(root, {});
            std::unordered_set<std::string> siblings;
            std::string dir = normalise(root);
            for (const auto &p : local.all_tf)
                if (normalise(fs::dirname(p)) == dir) siblings.insert(p);
            tree.read(local.all_tf, siblings);
            tree.add_tfvars(local.tfvars);
            std::string ext = pytext::lower(fs::suffix(directory));
            if (ext == ".tf") tree.read_single(directory, records);
            else if (ext == ".json") append(directory, readers.json_file(directory, out));
            else if (ext == ".yaml" || ext == ".yml") append(directory, readers.cloudformation(directory, out));
            adopt_template_sizes(records);
            return records;
        }
    } else {
        // Variables and locals of the whole scan root, before anything else is read.
        std::unordered_map<std::string, std::string> texts;
        std::pair<Map, Map> vl = readers.variables(root, is_dir ? &plan.all_tf : nullptr, texts);
        const Map &variables = vl.first;
        const Map &locals = vl.second;
        auto read_tf = [&](const std::string &path) {
            auto it = texts.find(path);
            append(path, readers.tf_file(path, variables, locals, it == texts.end() ? nullptr : &it->second, out));
            if (it != texts.end()) std::string().swap(it->second);
        };
        if (!is_dir) {
            std::string ext = pytext::lower(fs::suffix(directory));
            if (ext == ".tf") read_tf(directory);
            else if (ext == ".json") append(directory, readers.json_file(directory, out));
            else if (ext == ".yaml" || ext == ".yml") append(directory, readers.cloudformation(directory, out));
            return records;
        }
        for (const auto &p : plan.tf) read_tf(p);
    }
    for (const auto &p : plan.json) append(p, readers.json_file(p, out));
    for (const auto &p : plan.yaml) append(p, readers.cloudformation(p, out));
    adopt_template_sizes(records);
    return records;
}

}  // namespace tw::stack
