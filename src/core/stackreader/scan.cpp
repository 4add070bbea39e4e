// The directory scan: which files are read, and which are excluded.
#include "core/fsutil.h"
#include "core/pytext.h"
#include "core/stackreader/reader.h"

namespace tw::stack {

const char *const kDefaultExcludes[7] = {".git", ".venv", "venv", "node_modules", ".tox", "__pycache__",
                                         ".pytest_cache"};

namespace {
// Whether any directory between `root` and the file is named like an exclusion.
bool excluded(const std::string &root, const std::string &path, const std::vector<std::string> &patterns) {
    if (path.size() <= root.size()) return false;
    std::string_view rel = std::string_view(path).substr(root.size());
    while (rel.starts_with("/")) rel.remove_prefix(1);
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

ScanPlan plan_scan(const std::string &directory, const std::vector<std::string> &exclude_patterns) {
    ScanPlan plan;
    std::vector<std::string> yml;
    fs::walk(directory, [&](const std::string &path, bool is_dir) {
        if (is_dir) return;
        bool tf = path.ends_with(".tf");
        bool json = !tf && path.ends_with(".json");
        bool yaml = !tf && !json && path.ends_with(".yaml");
        bool ymls = !tf && !json && !yaml && path.ends_with(".yml");
        if (!(tf || json || yaml || ymls)) return;
        if (tf) plan.all_tf.push_back(path);
        if (excluded(directory, path, exclude_patterns)) return;
        if (tf) plan.tf.push_back(path);
        else if (json) plan.json.push_back(path);
        else if (yaml) plan.yaml.push_back(path);
        else yml.push_back(path);
    }, [&](const std::string &dir, const std::string &error) {
        // Directories excluded from the scan are not reported.
        if (!excluded(directory, dir + "/-", exclude_patterns))
            plan.errors.push_back("Error reading directory " + dir + ": " + error);
    });
    plan.yaml.insert(plan.yaml.end(), yml.begin(), yml.end());
    return plan;
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
    if (text) return parse_tf_text(pytext::strip_bom(*text), variables, locals);
    return parse_tf_file(path, variables, locals, out);
}

std::vector<Value> ScanReaders::json_file(const std::string &path, const Sink &out) { return parse_json_file(path, out); }

std::vector<Value> ScanReaders::cloudformation(const std::string &path, const Sink &out) {
    return parse_cloudformation(path, out);
}

std::vector<Value> scan(const std::string &directory, const std::vector<std::string> &exclude_patterns,
                        ScanReaders &readers, const Sink &out) {
    std::vector<Value> records;
    if (!fs::exists(directory)) return records;
    bool is_dir = fs::is_dir(directory);
    ScanPlan plan;
    if (is_dir) plan = plan_scan(directory, exclude_patterns);
    for (const auto &line : plan.errors) out(line);

    // Variables and locals of the whole scan root, before anything else is read.
    std::unordered_map<std::string, std::string> texts;
    std::string root = is_dir ? directory : fs::dirname(directory);
    if (root.empty()) root = ".";
    auto values = readers.variables(root, is_dir ? &plan.all_tf : nullptr, texts);
    const Map &variables = values.first, &locals = values.second;

    auto append = [&records](std::vector<Value> &&more) {
        for (auto &r : more) records.push_back(std::move(r));
    };
    auto read_tf = [&](const std::string &path) {
        auto it = texts.find(path);
        append(readers.tf_file(path, variables, locals, it == texts.end() ? nullptr : &it->second, out));
        if (it != texts.end()) std::string().swap(it->second);
    };
    if (!is_dir) {
        std::string ext = pytext::lower(fs::suffix(directory));
        if (ext == ".tf") read_tf(directory);
        else if (ext == ".json") append(readers.json_file(directory, out));
        else if (ext == ".yaml" || ext == ".yml") append(readers.cloudformation(directory, out));
        return records;
    }
    for (const auto &p : plan.tf) read_tf(p);
    for (const auto &p : plan.json) append(readers.json_file(p, out));
    for (const auto &p : plan.yaml) append(readers.cloudformation(p, out));
    return records;
}

}  // namespace tw::stack
