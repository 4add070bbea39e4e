// The work counter of the module evaluation, on trees that multiply without end, under a
// hang guard: a regression fails the run instead of stalling it.
#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <future>
#include <iostream>
#include <string>
#include <vector>

#include "core/limits.h"
#include "core/stackreader/reader.h"

using namespace tw;
namespace sfs = std::filesystem;

namespace {
int passed = 0, failed = 0;

void check(bool ok, const std::string &what) {
    if (ok) ++passed;
    else if (++failed <= 20) std::cerr << "scan bounds: " << what << "\n";
}

void write(const sfs::path &file, const std::string &text) {
    sfs::create_directories(file.parent_path());
    std::ofstream(file) << text;
}

std::string call(const std::string &name, const std::string &source, const std::string &extra = "") {
    return "module \"" + name + "\" {\n  source = \"" + source + "\"\n" + extra + "}\n";
}

struct Outcome {
    size_t records = 0, work = 0;
    std::vector<std::string> lines;
};

Outcome scan_modules(const sfs::path &root) {
    auto run = std::async(std::launch::async, [root] {
        Outcome o;
        stack::ScanReaders readers;
        stack::ScanOptions options;
        options.modules = true;
        options.work = &o.work;
        o.records = stack::scan(root.string(), {}, readers,
                                [&o](std::string_view line) { o.lines.emplace_back(line); }, options)
                        .size();
        return o;
    });
    if (run.wait_for(std::chrono::minutes(10)) != std::future_status::ready) {
        std::cerr << "scan bounds: the scan of " << root << " did not end\n";
        std::_Exit(1);
    }
    return run.get();
}

const std::string kStop = "Module evaluation stopped after " + std::to_string(limits::kMaxScanWork) +
                          " module and resource instances; the rest is not priced";
}  // namespace

std::pair<int, int> test_scan_bounds() {
    std::string tmpl = (sfs::temp_directory_path() / "tw-scan-bounds-XXXXXX").string();
    if (!mkdtemp(tmpl.data())) return {0, 1};
    sfs::path base = tmpl;

    // Three directories, each calling the next 10,000 times.
    sfs::path chain = base / "chain";
    write(chain / "main.tf", call("top", "./a", "  count = 10000\n"));
    write(chain / "a/main.tf", call("m", "./b", "  count = 10000\n"));
    write(chain / "a/b/main.tf", call("m", "./c", "  count = 10000\n"));
    write(chain / "a/b/c/main.tf", "resource \"aws_s3_bucket\" \"b\" {}\n");
    // Two calls of the next directory, 30 levels deep.
    sfs::path fan = base / "fan", d = fan;
    for (int level = 0; level < 30; ++level, d /= "n") write(d / "main.tf", call("l", "./n") + call("r", "./n"));
    write(d / "main.tf", "resource \"aws_s3_bucket\" \"b\" {}\n");
    for (const auto &tree : {chain, fan}) {
        Outcome o = scan_modules(tree);
        check(o.work == limits::kMaxScanWork, tree.string() + ": work " + std::to_string(o.work));
        check(o.records > 0 && o.records < limits::kMaxScanWork, tree.string() + ": records");
        check(o.lines == std::vector<std::string>{kStop}, tree.string() + ": the line that says so");
    }

    // Every module instance and resource instance counts once: 3 + 3 * (1 + 2).
    sfs::path small = base / "small";
    write(small / "main.tf", call("m", "./m", "  count = 3\n"));
    write(small / "m/main.tf", "resource \"aws_instance\" \"a\" {}\nresource \"aws_instance\" \"b\" {\n  count = 2\n}\n");
    Outcome o = scan_modules(small);
    check(o.work == 12 && o.records == 9 && o.lines.empty(), "work of a small tree: " + std::to_string(o.work));

    std::error_code ec;
    sfs::remove_all(base, ec);
    return {passed, failed};
}
