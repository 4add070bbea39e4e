// The directory scan: which files are read, and which are excluded.
#include "core/fsutil.h"
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
    });
    plan.yaml.insert(plan.yaml.end(), yml.begin(), yml.end());
    return plan;
}

}  // namespace tw::stack
