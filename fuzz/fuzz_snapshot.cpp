// The staged-change reader: git's listings and `git cat-file --batch` output. Paths kept
// are safe to recreate under a private directory, and the objects are written only to
// their own files, with exactly the bytes announced.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <set>
#include <string>
#include <unordered_map>

#include "check.h"
#include "core/commit/commit.h"

using namespace tw;

namespace {

const std::string &scratch() {
    static const std::string dir = [] {
        std::string tmpl = "/tmp/fuzz-snapshot-XXXXXX";
        if (!::mkdtemp(tmpl.data())) fuzz::fail("cannot create a scratch directory");
        return tmpl;
    }();
    return dir;
}

// Name and size of every entry of the scratch directory.
std::map<std::string, off_t> entries(const std::string &dir) {
    std::map<std::string, off_t> out;
    DIR *d = ::opendir(dir.c_str());
    if (!d) return out;
    while (struct dirent *e = ::readdir(d)) {
        std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        struct stat st;
        out[name] = ::lstat((dir + "/" + name).c_str(), &st) == 0 ? st.st_size : -1;
    }
    ::closedir(d);
    return out;
}

void check_listing(std::string_view listing) {
    for (const auto &entry : commit::parse_listing(listing)) {
        std::string_view path = entry.path;
        for (auto field : entry.meta) fuzz::check(field.find_first_of(" \t") == std::string_view::npos, "field", path);
        (void)commit::relevant(path, {"node_modules"});
        if (!commit::safe_path(path)) continue;
        fuzz::check(path.front() != '/' && path.find('\0') == std::string_view::npos, "unsafe path kept", path);
        size_t start = 0;
        for (;;) {
            size_t slash = path.find('/', start);
            std::string_view part = path.substr(start, slash == std::string_view::npos ? path.npos : slash - start);
            fuzz::check(!part.empty() && part != "." && part != "..", "unsafe path component kept", path);
            if (slash == std::string_view::npos) break;
            start = slash + 1;
        }
    }
}

}  // namespace

// The input: a listing, then "\x01\x01", then cat-file output, fed in chunks of the size
// its first byte gives. Objects are asked in the order the listing names them.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string_view input(reinterpret_cast<const char *>(data), size);
    size_t cut = input.find("\x01\x01");
    std::string_view listing = input.substr(0, cut);
    std::string_view batch = cut == std::string_view::npos ? std::string_view() : input.substr(cut + 2);
    check_listing(listing);

    const std::string &dir = scratch();
    std::vector<std::string> order;
    std::unordered_map<std::string, std::vector<std::string>> targets;
    for (const auto &entry : commit::parse_listing(listing)) {
        std::string sha(entry.meta[1]);
        if (order.size() >= 8) break;
        if (targets.count(sha)) continue;  // each object is asked once
        order.push_back(sha);
        auto &paths = targets[sha];
        // One file per object, a second name for every other one (written as a hard link).
        if (paths.empty()) paths.push_back(dir + "/" + std::to_string(order.size()));
        if (order.size() % 2 == 0 && paths.size() == 1) paths.push_back(paths.front() + "b");
    }
    std::set<std::string> allowed;
    for (auto &[sha, paths] : targets)
        for (auto &p : paths) allowed.insert(p.substr(dir.size() + 1));

    size_t chunk = batch.empty() ? 1 : size_t(static_cast<unsigned char>(batch.front())) % 17 + 1;
    try {
        commit::BatchReader reader(order, targets, 1u << 20);
        for (size_t i = 0; i < batch.size(); i += chunk) reader.feed(batch.substr(i, chunk));
        reader.finish();
    } catch (const commit::GitError &) {
        // Output of another shape is reported as such.
    }
    for (const auto &[name, bytes] : entries(dir)) {
        fuzz::check(allowed.count(name) > 0, "a file no object was written to", name);
        fuzz::check(bytes >= 0 && size_t(bytes) <= batch.size(), "more bytes than the output held", name);
        ::unlink((dir + "/" + name).c_str());
    }
    return 0;
}
