// The module evaluator over a tree of directories written from the input.
//
// The input is a set of files: text before the first header goes to main.tf at the root;
// a line "### a/b/name" starts the file a/b/name (".tf" added unless it ends in .tf,
// .tfvars or .json); a line "### @a/b/name" makes a/b/name a symbolic link to its own
// directory, "### @@a/b/name" to the directory above it. Path components keep [a-z0-9_.]
// and are never "." or "..", so every file lies inside the tree.
#include <stdlib.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "check.h"
#include "core/stackreader/reader.h"

using namespace tw;

namespace {
constexpr size_t kMaxFiles = 64;
constexpr size_t kMaxWork = 5000;

const std::string &base() {
    // Never destroyed: the handler that removes the directory at exit still reads it.
    static const std::string *dir = [] {
        auto *tmpl = new std::string((std::filesystem::temp_directory_path() / "tw-fuzz-modules-XXXXXX").string());
        if (!mkdtemp(tmpl->data())) fuzz::fail("mkdtemp");
        std::atexit([] {
            std::error_code ec;
            std::filesystem::remove_all(base(), ec);
        });
        return tmpl;
    }();
    return *dir;
}

// "a/b/name" with every component cleaned; empty when nothing usable is left.
std::vector<std::string> components(std::string_view path) {
    std::vector<std::string> out;
    std::string part;
    auto flush = [&] {
        if (!part.empty() && part != "." && part != ".." && out.size() < 4) out.push_back(part);
        part.clear();
    };
    for (char c : path) {
        if (c == '/') flush();
        else if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '.') part += c;
    }
    flush();
    return out;
}

std::filesystem::path place(const std::filesystem::path &root, const std::vector<std::string> &parts) {
    std::filesystem::path p = root;
    for (const auto &c : parts) p /= c;
    std::error_code ec;
    std::filesystem::create_directories(p.parent_path(), ec);
    return p;
}

void write_tree(const std::filesystem::path &root, std::string_view text) {
    std::filesystem::path file = root / "main.tf";
    std::string body;
    size_t files = 0;
    auto flush = [&] {
        if (!file.empty() && files++ < kMaxFiles) std::ofstream(file, std::ios::binary) << body;
        body.clear();
    };
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find('\n', start);
        std::string_view line = text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
        start = end == std::string_view::npos ? text.size() : end + 1;
        if (!line.starts_with("### ")) {
            body += line;
            body += '\n';
            continue;
        }
        flush();
        file.clear();
        std::string_view name = line.substr(4);
        int link = name.starts_with("@@") ? 2 : name.starts_with("@") ? 1 : 0;
        auto parts = components(name.substr(size_t(link)));
        if (parts.empty()) continue;
        if (link) {
            // A link at the root points at the root itself: ".." would leave the tree.
            std::error_code ec;
            std::filesystem::create_directory_symlink(link == 2 && parts.size() > 1 ? ".." : ".", place(root, parts), ec);
            continue;
        }
        std::string &last = parts.back();
        if (!last.ends_with(".tf") && !last.ends_with(".tfvars") && !last.ends_with(".json")) last += ".tf";
        file = place(root, parts);
    }
    flush();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::filesystem::path root = std::filesystem::path(base()) / "tree";
    std::error_code ec;
    std::filesystem::remove_all(root, ec);
    std::filesystem::create_directory(root, ec);
    write_tree(root, std::string_view(reinterpret_cast<const char *>(data), size));

    stack::ScanReaders readers;
    size_t lines = 0, work = 0;
    stack::Sink sink = [&](std::string_view line) {
        ++lines;
        fuzz::check_text(line, "message line");
    };
    std::vector<std::string> files;
    stack::ScanOptions options;
    options.modules = true;
    options.max_work = kMaxWork;
    options.work = &work;
    options.files = &files;
    std::vector<Value> records;
    try {
        records = stack::scan(root.string(), {}, readers, sink, options);
    } catch (const stack::ShapeError &) {
        // A JSON document of the wrong shape ends the scan, reported by the caller.
        return 0;
    }
    fuzz::check(work <= kMaxWork, "work within the cap");
    fuzz::check(files.size() == records.size(), "one file per record");
    size_t tf_records = 0;
    for (size_t i = 0; i < records.size(); ++i) {
        fuzz::check(records[i].is_map() && records[i].as_map().size() == 4, "record shape");
        tf_records += files[i].ends_with(".tf");
    }
    fuzz::check(tf_records <= kMaxWork, "Terraform records within the cap");
    fuzz::check(lines < 100000, "message lines bounded");
    return 0;
}
