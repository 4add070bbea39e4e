// Module hookgate: the pre-commit hook. It scans, prices, prints the projected cost and
// asks the developer to confirm a commit whose cost exceeds the threshold.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>
#include <optional>
#include <thread>
#include <unordered_map>

#include <nanobind/stl/string.h>

#include "bindings/common.h"
#include "core/commit/commit.h"
#include "core/fsutil.h"
#include "core/names.h"
#include "core/pytext.h"
#include "core/ratebook/store.h"
#include "core/reckoner/estimator.h"
#include "core/report/report.h"
#include "core/stackreader/reader.h"
#include "core/terminal.h"

using namespace tw;
using namespace nb::literals;

namespace {

constexpr const char *kPrefix = "[Tally-Warden] ";
constexpr const char *kSeparator = "----------------------------------------------------------------------";
constexpr const char *kPrompt = "[Tally-Warden] High-cost change detected. Type 'confirm' to proceed: ";

nb::handle g_module;  // this module (never released)

// The collaborators as imported, with their class attributes then, to tell whether a host
// replaced any of them since (never released).
struct Original {
    nb::handle cls;
    nb::handle attrs;  // a dict copy of the class's own attributes
};
Original g_reader, g_reckoner, g_ratebook;

Original original(nb::handle cls) {
    nb::object attrs = nb::steal(PyDict_Copy(reinterpret_cast<PyTypeObject *>(cls.ptr())->tp_dict));
    if (!attrs.is_valid()) throw nb::python_error();
    return {nb::handle(cls).inc_ref(), attrs.release()};
}

// Whether `cls` is the original class with every attribute as it was imported.
bool untouched(const Original &o, nb::handle cls) {
    if (!cls.is(o.cls)) return false;
    PyObject *now = reinterpret_cast<PyTypeObject *>(cls.ptr())->tp_dict;
    if (PyDict_Size(now) != PyDict_Size(o.attrs.ptr())) return false;
    PyObject *k, *v;
    Py_ssize_t pos = 0;
    while (PyDict_Next(o.attrs.ptr(), &pos, &k, &v))
        if (PyDict_GetItem(now, k) != v) return false;
    return true;
}

// Whether an instance holds only the given attribute (nothing replaced on the instance).
bool plain_instance(nb::handle obj, const char *only) {
    nb::object d = nb::getattr(obj, "__dict__", nb::none());
    return PyDict_Check(d.ptr()) && PyDict_Size(d.ptr()) == 1 && PyDict_GetItemString(d.ptr(), only);
}

// The lines this run printed, shown again on the terminal before the question when standard
// output goes elsewhere (a hook framework's pipe).
std::vector<std::string> g_transcript;
bool g_in_main = false;  // main clears the transcript itself, keeping its own lines

void print(std::string_view line) {
    py::print_line(line);
    g_transcript.emplace_back(line);
}

// The scan's lines name files: shown printable.
const tw::stack::Sink &printer() {
    static const tw::stack::Sink sink = [](std::string_view line) { print(tw::names::printable(line)); };
    return sink;
}

// What a scan is asked for, as the command line gave it.
struct ScanOptions {
    nb::object exclude;                 // the host's list (or None), passed on unchanged
    std::vector<std::string> excludes;  // the same, natively
    std::vector<std::string> exclude_paths;  // those written as paths, relative to the directory
    bool native = true;                 // false when `exclude` is not a list of text
    bool modules = false;               // evaluate module calls
};

ScanOptions scan_options(nb::handle exclude, bool modules) {
    ScanOptions o;
    o.modules = modules;
    o.exclude = nb::borrow(exclude);
    if (exclude.is_none()) return o;
    if (!PyList_Check(exclude.ptr())) {
        o.native = false;
        return o;
    }
    for (nb::handle e : exclude) {
        if (!PyUnicode_Check(e.ptr())) {
            o.native = false;
            return o;
        }
        o.excludes.push_back(py::to_utf8(e));
        // A value with "/" is a path below the directory: that subtree is skipped.
        if (o.excludes.back().find('/') != std::string::npos)
            if (auto rel = tw::stack::exclude_path(o.excludes.back())) o.exclude_paths.push_back(*rel);
    }
    return o;
}

// Every scan of the hook goes through here: the original reader's scan of `root`, natively.
// With `files`, each record's file is stored there (empty when the scan's order is unknown).
// A copy of a repository's tree (`copy_top`, of `real_top`) reads modules as ScanOptions says.
std::vector<Value> scan_tree(const std::string &root, const ScanOptions &options, const tw::stack::Sink &sink,
                             std::vector<std::string> *files = nullptr, const std::string &modules_from = {},
                             const std::string &copy_top = {}, const std::string &real_top = {}) {
    tw::stack::ScanReaders readers;
    tw::stack::ScanOptions scan;
    scan.modules = options.modules;
    scan.modules_from = modules_from;
    scan.copy_root = copy_top;
    scan.real_root = real_top;
    scan.files = files;
    scan.exclude_paths = options.exclude_paths;
    if (files) files->clear();
    return tw::stack::scan(root, options.excludes, readers, sink, scan);
}

// The scan of the original reader, natively; nothing when the arguments are not of the
// reader's types (the reader itself then reports them).
std::optional<std::vector<Value>> native_scan(nb::handle directory, const ScanOptions &options) {
    if (!PyUnicode_Check(directory.ptr()) || !options.native) return std::nullopt;
    return scan_tree(py::fspath(directory), options, printer());
}

// The original store behind the original estimator, natively; null when either was replaced.
std::unique_ptr<tw::reckon::RateSource> native_source(nb::handle reckoner, size_t records) {
    if (!untouched(g_reckoner, reckoner.type()) || !plain_instance(reckoner, "db")) return nullptr;
    nb::object db = reckoner.attr("db");
    if (!untouched(g_ratebook, db.type()) || !plain_instance(db, "db_path")) return nullptr;
    nb::object path = db.attr("db_path");
    if (!PyUnicode_Check(path.ptr())) return nullptr;
    if (records >= tw::rate::kSnapshotFrom) return std::make_unique<tw::rate::SnapshotSource>(py::to_utf8(path));
    return std::make_unique<tw::rate::StoreSource>(py::to_utf8(path));
}

// native_source, with a store that cannot be opened left to the host path to report.
std::unique_ptr<tw::reckon::RateSource> native_source_or_null(nb::handle reckoner, size_t records) {
    try {
        return native_source(reckoner, records);
    } catch (const std::exception &) {
        return nullptr;
    }
}

// The report's total of the original estimator over the original store, natively.
std::optional<double> native_total(nb::handle reckoner, const std::vector<Value> &records) {
    try {
        auto source = native_source(reckoner, records.size());
        if (!source) return std::nullopt;
        tw::reckon::Report report;
        for (const auto &r : records) {
            auto cost = tw::reckon::estimate_record(r.as_map(), *source);
            report.add(tw::pytext::str_of(cost.type), cost.monthly_cost);
        }
        return tw::pytext::round2(report.total);
    } catch (const std::exception &) {
        // Failures are reported by the estimator itself, on the host path.
        return std::nullopt;
    }
}

void say(const std::string &text) { print(text); }

// An interrupt that git met or that arrived while it ran, raised as the host's own.
[[noreturn]] void raise_interrupt() {
    if (!PyErr_Occurred() && PyErr_CheckSignals() == 0) PyErr_SetNone(PyExc_KeyboardInterrupt);
    throw nb::python_error();
}

// Ctrl-C anywhere but at the prompt (which answers it itself): one line, and the status of a
// process ended by SIGINT.
constexpr int kInterruptedStatus = 130;
void say_interrupted() { say(std::string(kPrefix) + "Interrupted; commit aborted."); }

std::string money(nb::handle value) {
    return py::to_utf8(nb::module_::import_("builtins").attr("format")(value, ".2f"));
}

// A hook framework may give the hook a pipe or a pseudo-terminal of its own as standard
// output: the terminal the answer is read from then gets what the run printed, and the
// question, there once. False when standard output is that terminal, or it cannot be written.
bool show_on_terminal(nb::handle builtins, nb::handle out, nb::handle prompt_msg) {
    out.attr("flush")();
    int fd = -1;
    try {
        fd = nb::cast<int>(out.attr("fileno")());
    } catch (nb::python_error &) {
    } catch (nb::cast_error &) {
    }
    if (fd >= 0 && tw::term::is_controlling_terminal(fd)) return false;
    std::string text;
    for (const auto &line : g_transcript) text += line + "\n";
    try {
        nb::object tty = builtins.attr("open")("/dev/tty", "w");
        bool shown = false;
        try {
            tty.attr("write")(py::from_utf8(text));
            tty.attr("write")(prompt_msg);
            tty.attr("flush")();
            shown = true;
        } catch (nb::python_error &e) {
            if (e.matches(PyExc_KeyboardInterrupt)) throw;
        }
        tty.attr("close")();
        return shown;
    } catch (nb::python_error &e) {
        if (e.matches(PyExc_KeyboardInterrupt) || e.matches(PyExc_SystemExit)) throw;
    }
    return false;
}

nb::object get_controlling_terminal_input(nb::handle prompt_msg) {
    nb::module_ builtins = nb::module_::import_("builtins");
    nb::module_ sys = nb::module_::import_("sys");
    bool windows = py::to_utf8(nb::module_::import_("os").attr("name")) == "nt";
    nb::object tty;
    try {
        tty = builtins.attr("open")(windows ? "CON" : "/dev/tty", "r");
        nb::object out = sys.attr("stdout");
        if (windows || !show_on_terminal(builtins, out, prompt_msg)) {
            out.attr("write")(prompt_msg);
            out.attr("flush")();
        }
        nb::object line = tty.attr("readline")();
        tty.attr("close")();
        return line.attr("strip")();
    } catch (nb::python_error &e) {
        if (e.matches(PyExc_KeyboardInterrupt) || e.matches(PyExc_SystemExit)) throw;
        if (tty.is_valid()) {
            try {
                tty.attr("close")();
            } catch (nb::python_error &) {
            }
        }
    }
    // No usable terminal: standard input, where a missing or closed stream is an end of input.
    nb::object out = sys.attr("stdout");
    out.attr("write")(prompt_msg);
    out.attr("flush")();
    nb::object in = sys.attr("stdin");
    if (in.is_none() || nb::bool_(nb::getattr(in, "closed", nb::bool_(false)))) {
        PyErr_SetString(PyExc_EOFError, "standard input is not available");
        throw nb::python_error();
    }
    nb::object line;
    try {
        line = in.attr("readline")();
    } catch (nb::python_error &e) {
        if (e.matches(PyExc_ValueError)) {
            PyErr_SetString(PyExc_EOFError, "standard input is closed");
            throw nb::python_error();
        }
        throw;
    }
    if (!nb::bool_(line)) {
        PyErr_SetString(PyExc_EOFError, "EOF when reading a line");
        throw nb::python_error();
    }
    return line.attr("strip")();
}

int ask(bool strict);

int run_hook(nb::handle directory, nb::handle threshold, bool strict, nb::handle exclude, bool modules) {
    say(std::string(kPrefix) + "Scanning '" + tw::names::printable(py::to_utf8(nb::str(directory))) +
        "' for cost changes...");
    // With the original reader and estimator the records stay native; any replacement on the
    // module or on the classes is called through the host as usual.
    nb::object reader = nb::getattr(g_module, "StackReader");
    std::optional<std::vector<Value>> records;
    nb::object resources;
    if (untouched(g_reader, reader)) {
        py::GcPause pause;
        records = native_scan(directory, scan_options(exclude, modules));
    }
    if (!records) {
        // The modules keyword only when asked, so that replaced readers without it still work.
        if (modules) resources = reader.attr("parse_tf_dir")(directory, "exclude_patterns"_a = exclude, "modules"_a = true);
        else resources = reader.attr("parse_tf_dir")(directory, "exclude_patterns"_a = exclude);
    }
    if (records ? records->empty() : !nb::bool_(resources)) {
        say(std::string(kPrefix) + "No Terraform/plan resources found. Hook passed.");
        return 0;
    }
    nb::object reckoner = nb::getattr(g_module, "Reckoner")();
    nb::object total;
    if (records) {
        if (auto t = native_total(reckoner, *records)) total = nb::float_(*t);
        else {
            py::GcPause pause;
            nb::list converted;
            for (const auto &r : *records) converted.append(py::to_python(r));
            resources = converted;
        }
    }
    if (!total.is_valid()) total = reckoner.attr("estimate_total_costs")(resources)["total_monthly_cost"];
    say(std::string(kPrefix) + "Total projected cost of scanned configurations: $" + money(total) + "/month.");
    if (PyFloat_Check(total.ptr()) && !std::isfinite(PyFloat_AS_DOUBLE(total.ptr()))) {
        say(tw::report::not_finite_line("Projected cost ($" + money(total) + ")"));
        return ask(strict);
    }
    int exceeded = PyObject_RichCompareBool(total.ptr(), threshold.ptr(), Py_GT);
    if (exceeded < 0) throw nb::python_error();
    if (!exceeded) {
        say(std::string(kPrefix) + "Cost changes are within safety limits. Proceeding...");
        return 0;
    }
    say("\n[Tally-Warden WARNING] Projected cost ($" + money(total) + ") exceeds the safety threshold of $" +
        money(threshold) + "!");
    return ask(strict);
}

// The developer's confirmation of a commit over the limits: 0 proceed, 1 abort.
int ask(bool strict) {
    try {
        say(kSeparator);
        nb::object prompt = nb::str(kPrompt);
        nb::object answer = nb::getattr(g_module, "get_controlling_terminal_input")(prompt).attr("lower")();
        say(kSeparator);
        if (py::to_utf8(answer) == "confirm") {
            say(std::string(kPrefix) + "Commit approved by developer. Proceeding...");
            return 0;
        }
        say(std::string(kPrefix) + "Commit aborted. (You did not type 'confirm')");
        return 1;
    } catch (nb::python_error &e) {
        if (e.matches(PyExc_KeyboardInterrupt)) {
            say("\n[Tally-Warden] Commit aborted by user interruption.");
            return 1;
        }
        if (!e.matches(PyExc_EOFError) && !e.matches(PyExc_OSError)) throw;
    }
    say(std::string(kPrefix) + "Input stream is not available or closed.");
    say(std::string(kPrefix) + "Running in non-interactive environment.");
    if (strict) {
        say(std::string(kPrefix) + "Strict mode enabled. Cost threshold exceeded, aborting commit.");
        return 1;
    }
    say(std::string(kPrefix) + "Cost threshold exceeded. Proceeding anyway (non-strict, non-interactive).");
    return 0;
}

// The options that ask for reports or for the staged change.
struct Extras {
    bool diff = false;
    std::string base = "HEAD";
    std::optional<std::string> head;  // price this revision's tree against the merge base instead of the index
    std::optional<double> max_total;
    bool breakdown = false;
    bool json = false;      // a document owns standard output: JSON, or Markdown with `markdown`
    bool markdown = false;
    std::optional<std::string> output;
    bool any() const { return diff || breakdown || json || output; }
};

// The document of the chosen format (JSON unless Markdown was asked for).
std::string tree_doc(const Extras &x, const tw::report::Verdict &v, double total, const std::vector<tw::report::Item> &items) {
    return x.markdown ? tw::report::tree_markdown(v, total, items) : tw::report::tree_json(v, total, items);
}
std::string diff_doc(const Extras &x, const tw::report::Verdict &v, bool scanned, double base_total, double new_total,
                     const std::vector<tw::report::Row> &rows, const std::vector<tw::report::Item> &now) {
    return x.markdown ? tw::report::diff_markdown(v, x.head ? x.base + "..." + *x.head : x.base, scanned, base_total,
                                                  new_total, rows, now)
                      : tw::report::diff_json(v, x.base, scanned, base_total, new_total, rows, now);
}

void say_err(const std::string &text) {
    nb::object err = nb::module_::import_("sys").attr("stderr");
    if (err.is_none()) return;
    err.attr("write")(py::from_utf8(text + "\n"));
    err.attr("flush")();
}

// sys.stdout points at sys.stderr while it lives: the JSON document owns standard output.
struct MessagesToStderr {
    nb::object sys = nb::module_::import_("sys");
    nb::object saved = sys.attr("stdout");
    MessagesToStderr() { sys.attr("stdout") = sys.attr("stderr"); }
    ~MessagesToStderr() {
        if (PyObject_SetAttrString(sys.ptr(), "stdout", saved.ptr()) < 0) PyErr_Clear();
    }
    MessagesToStderr(const MessagesToStderr &) = delete;
    MessagesToStderr &operator=(const MessagesToStderr &) = delete;
};

// Writes the document where the options ask; false (after saying why) when the file fails.
bool emit(const Extras &x, const std::string &doc, nb::handle real_stdout) {
    if (x.output) {
        std::string tmp = *x.output + ".tmp" + std::to_string(::getpid());
        bool ok;
        {
            std::ofstream f(tmp, std::ios::binary | std::ios::trunc);
            f << doc;
            f.flush();
            ok = f.good();
        }
        if (!ok || std::rename(tmp.c_str(), x.output->c_str()) != 0) {
            int err = errno;
            std::remove(tmp.c_str());
            say_err(std::string(kPrefix) + "Cannot write the report to '" + *x.output + "': " + std::strerror(err));
            return false;
        }
    }
    if (x.json && !real_stdout.is_none()) {
        real_stdout.attr("write")(py::from_utf8(doc));
        real_stdout.attr("flush")();
    }
    return true;
}

// A scanned path as the user's directory names it: `root` replaced by `display`.
std::string shown_path(const std::string &path, const std::string &root, const std::string &display) {
    std::string p = path.starts_with(root) ? display + path.substr(root.size()) : path;
    while (p.starts_with("./")) p.erase(0, 2);
    return p;
}

struct Priced {
    std::vector<tw::report::Item> items;
    double total = 0.0;
};

std::string text_of(nb::handle v) { return v.is_none() ? std::string("None") : py::to_utf8(nb::str(v)); }

// The priced records of one tree by file, so that a record of the other tree found at the
// same place of the same file, and equal, takes its price without a second estimate.
struct PriceMemo {
    const std::vector<Value> *records = nullptr;
    const std::vector<tw::report::Item> *items = nullptr;
    std::unordered_map<std::string_view, std::pair<size_t, size_t>> by_file;  // first, count
};

PriceMemo memo_of(const std::vector<Value> &records, const Priced &priced) {
    PriceMemo memo;
    if (records.size() != priced.items.size()) return memo;
    memo.records = &records;
    memo.items = &priced.items;
    for (size_t i = 0; i < records.size();) {
        size_t j = i;
        while (j < records.size() && priced.items[j].file == priced.items[i].file) ++j;
        memo.by_file.try_emplace(priced.items[i].file, i, j - i);
        i = j;
    }
    return memo;
}

// One tree's records priced resource by resource: natively with the original estimator
// (through `source`), else through the host's estimate_total_costs. `host` holds the
// records when the reader was replaced; `files` the file of each native record (empty
// when unknown).
Priced price_tree(nb::handle reckoner, tw::reckon::RateSource *source, const std::vector<Value> &records,
                  nb::handle host, const std::vector<std::string> &files, const std::string &root,
                  const std::string &display, const PriceMemo *memo = nullptr) {
    Priced p;
    auto file_of = [&](size_t i) {
        return shown_path(i < files.size() ? files[i] : root, root, display);
    };
    if (!host.is_valid() && source) {
        try {
            tw::reckon::Report report;
            p.items.reserve(records.size());
            size_t run = 0;  // where the records of the current file begin
            for (size_t i = 0; i < records.size(); ++i) {
                std::string file = file_of(i);
                if (i == 0 || file != p.items.back().file) run = i;
                const tw::report::Item *same = nullptr;
                if (memo && memo->records) {
                    auto it = memo->by_file.find(file);
                    size_t k = i - run;
                    if (it != memo->by_file.end() && k < it->second.second &&
                        (*memo->records)[it->second.first + k] == records[i])
                        same = &(*memo->items)[it->second.first + k];
                }
                if (same) {
                    p.items.push_back(*same);
                } else {
                    auto cost = tw::reckon::estimate_record(records[i].as_map(), *source);
                    std::string unit = tw::report::unit_of(file);
                    p.items.push_back({std::move(file), std::move(unit), tw::pytext::str_of(cost.type),
                                       tw::pytext::str_of(cost.name), cost.region, cost.basis,
                                       tw::report::source_name(cost), cost.monthly_cost});
                }
                report.add(p.items.back().type, p.items.back().cost);
            }
            p.total = tw::pytext::round2(report.total);
            return p;
        } catch (const std::exception &) {
            p.items.clear();  // reported by the estimator itself, on the host path
        }
    }
    nb::object list;
    if (host.is_valid()) list = nb::borrow(host);
    else {
        py::GcPause pause;
        nb::list converted;
        for (const auto &r : records) converted.append(py::to_python(r));
        list = converted;
    }
    nb::object report = reckoner.attr("estimate_total_costs")(list);
    p.total = nb::cast<double>(nb::float_(report["total_monthly_cost"]));
    nb::object resources = nb::getattr(report, "get", nb::none()).is_none() ? nb::none() : report.attr("get")("resources");
    if (resources.is_none()) return p;
    size_t i = 0;
    for (nb::handle r : resources) {
        std::string file = file_of(host.is_valid() ? files.size() : i);
        nb::object cost = r.attr("get")("monthly_cost", 0.0);
        p.items.push_back({file, tw::report::unit_of(file), text_of(r.attr("get")("type")),
                           text_of(r.attr("get")("name")), text_of(r.attr("get")("region", "")),
                           text_of(r.attr("get")("basis", "")), "", nb::cast<double>(nb::float_(cost))});
        ++i;
    }
    return p;
}

double as_double(nb::handle v) {
    double d = PyFloat_AsDouble(v.ptr());
    if (d == -1.0 && PyErr_Occurred()) throw nb::python_error();
    return d;
}

// The plain mode with a breakdown or a document: the same lines, and the per-resource table.
int run_report(nb::handle directory, nb::handle threshold, bool strict, const ScanOptions &options, const Extras &x) {
    nb::object real_stdout = nb::module_::import_("sys").attr("stdout");
    std::optional<MessagesToStderr> quiet;
    if (x.json) quiet.emplace();
    std::string shown = py::to_utf8(nb::str(directory));
    say(std::string(kPrefix) + "Scanning '" + tw::names::printable(shown) + "' for cost changes...");
    tw::report::Verdict v{shown, as_double(threshold), std::nullopt, false};

    nb::object reader = nb::getattr(g_module, "StackReader");
    std::vector<Value> records;
    std::vector<std::string> files;
    nb::object host;
    std::string root = shown;
    if (untouched(g_reader, reader) && PyUnicode_Check(directory.ptr()) && options.native) {
        py::GcPause pause;
        root = py::fspath(directory);
        records = scan_tree(root, options, printer(), &files);
    } else {
        host = reader.attr("parse_tf_dir")(directory, "exclude_patterns"_a = options.exclude);
    }
    if (host.is_valid() ? !nb::bool_(host) : records.empty()) {
        say(std::string(kPrefix) + "No Terraform/plan resources found. Hook passed.");
        return emit(x, tree_doc(x, v, 0.0, {}), real_stdout) ? 0 : 2;
    }
    nb::object reckoner = nb::getattr(g_module, "Reckoner")();
    std::unique_ptr<tw::reckon::RateSource> source;
    if (!host.is_valid()) source = native_source_or_null(reckoner, records.size());
    Priced priced = price_tree(reckoner, source.get(), records, host, files, root, shown);
    say(std::string(kPrefix) + "Total projected cost of scanned configurations: $" + tw::report::money(priced.total) +
        "/month.");
    if (x.breakdown) {
        for (auto &line : tw::report::breakdown_table(priced.items)) say(line);
        for (auto &line : tw::report::defaults_summary(priced.items)) say(line);
    }
    v.exceeded = tw::report::over_limit(priced.total, v.threshold);
    if (!emit(x, tree_doc(x, v, priced.total, priced.items), real_stdout)) return 2;
    if (!v.exceeded) {
        say(std::string(kPrefix) + "Cost changes are within safety limits. Proceeding...");
        return 0;
    }
    if (!std::isfinite(priced.total))
        say(tw::report::not_finite_line("Projected cost ($" + tw::report::money(priced.total) + ")"));
    else
        say("\n[Tally-Warden WARNING] Projected cost ($" + tw::report::money(priced.total) +
            ") exceeds the safety threshold of $" + tw::report::money(v.threshold) + "!");
    if (x.json) return 1;
    return ask(strict);
}

void replace_all(std::string &s, const std::string &from, const std::string &to) {
    if (from.empty()) return;
    for (size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size())) s.replace(at, from.size(), to);
}

// The staged change against its base, resource by resource.
int run_diff(nb::handle directory, nb::handle threshold, bool strict, const ScanOptions &options, const Extras &x) {
    nb::object real_stdout = nb::module_::import_("sys").attr("stdout");
    std::optional<MessagesToStderr> quiet;
    if (x.json) quiet.emplace();
    std::string shown = py::to_utf8(nb::str(directory));
    if (x.head)
        say(std::string(kPrefix) + "Checking the changes of " + tw::names::printable(*x.head) + " in '" +
            tw::names::printable(shown) + "' against its merge base with " + tw::names::printable(x.base) + "...");
    else
        say(std::string(kPrefix) + "Checking the staged changes in '" + tw::names::printable(shown) + "' against " +
            tw::names::printable(x.base) + "...");
    tw::report::Verdict v{shown, as_double(threshold), x.max_total, false};

    std::vector<Value> base_records, new_records;
    std::vector<std::string> base_files, new_files;
    nb::object base_host, new_host;
    std::string base_root, new_root;
    // The temporary trees are removed on a thread of their own once both scans are done,
    // while the records are priced; always before anything is decided.
    struct Remover {
        std::thread thread;
        void wait() {
            if (thread.joinable()) thread.join();
        }
        ~Remover() { wait(); }
    } remover;
    try {
        std::string path = py::fspath(directory);
        // With modules, a source elsewhere in the repository counts as well.
        std::optional<bool> quick;
        if (!options.modules && !x.head) quick = tw::commit::quick_staged_changes(path, x.base, options.excludes);
        std::optional<tw::commit::Repo> repo;
        if (!quick) repo = x.head ? tw::commit::open_range(path, x.base, *x.head) : tw::commit::open(path, x.base);
        if (!(quick ? *quick : tw::commit::staged_changes(*repo, options.excludes, options.modules))) {
            say(std::string(kPrefix) + "No infrastructure files changed under '" + tw::names::printable(shown) +
                "'. Hook passed.");
            return emit(x, diff_doc(x, v, false, 0.0, 0.0, {}, {}), real_stdout) ? 0 : 2;
        }
        if (!repo) repo = tw::commit::open(path, x.base);
        auto snap = std::make_unique<tw::commit::Snapshot>(*repo, options.excludes, options.modules);
        base_root = snap->base_root();
        new_root = snap->index_root();
        nb::object reader = nb::getattr(g_module, "StackReader");
        if (untouched(g_reader, reader) && options.native) {
            // Lines about the staged files name them as the directory does; the base's are not shown.
            tw::stack::Sink staged = [&](std::string_view line) {
                std::string l(line);
                replace_all(l, new_root, shown);
                print(tw::names::printable(l));
            };
            tw::stack::Sink none = [](std::string_view) {};
            py::GcPause pause;
            // .terraform/modules is not committed: it is read from the working tree.
            base_records = scan_tree(base_root, options, none, &base_files, path, snap->base_top(), repo->top);
            new_records = scan_tree(new_root, options, staged, &new_files, path, snap->index_top(), repo->top);
        } else {
            base_host = reader.attr("parse_tf_dir")(py::from_utf8(base_root), "exclude_patterns"_a = options.exclude);
            new_host = reader.attr("parse_tf_dir")(py::from_utf8(new_root), "exclude_patterns"_a = options.exclude);
        }
        remover.thread = std::thread([s = std::move(snap)]() mutable { s.reset(); });
    } catch (const tw::commit::GitError &e) {
        say_err(std::string(kPrefix) + "Cannot read the staged change: " + tw::names::printable(e.what()));
        return 2;
    } catch (const tw::commit::Interrupted &) {
        raise_interrupt();
    }
    nb::object reckoner = nb::getattr(g_module, "Reckoner")();
    std::unique_ptr<tw::reckon::RateSource> source;
    if (!base_host.is_valid()) source = native_source_or_null(reckoner, base_records.size() + new_records.size());
    Priced before = price_tree(reckoner, source.get(), base_records, base_host, base_files, base_root, shown);
    PriceMemo memo = memo_of(base_records, before);
    Priced after = price_tree(reckoner, source.get(), new_records, new_host, new_files, new_root, shown, &memo);
    auto rows = tw::report::compare(before.items, after.items);
    double change = tw::pytext::round2(after.total - before.total);

    say(std::string(kPrefix) + "Base total (" + tw::names::printable(x.head ? x.base + "..." + *x.head : x.base) +
        "): $" + tw::report::money(before.total) + "/month.");
    say(std::string(kPrefix) + "New total: $" + tw::report::money(after.total) + "/month.");
    say(std::string(kPrefix) + "Change: " + tw::report::signed_money(change) + "/month.");
    if (x.breakdown)
        for (auto &line : tw::report::breakdown_table(after.items)) say(line);
    auto table = tw::report::diff_table(rows);
    if (table.empty()) say(std::string(kPrefix) + "No resource changed its cost.");
    for (auto &line : table) say(line);
    for (auto &line : tw::report::defaults_summary(after.items)) say(line);

    // Only an increase can stop a commit.
    bool over_increase = change > 0 && change > v.threshold;
    bool over_total = change > 0 && x.max_total && after.total > *x.max_total;
    bool not_finite = !std::isfinite(before.total) || !std::isfinite(after.total) || !std::isfinite(change);
    v.exceeded = over_increase || over_total || not_finite;
    remover.wait();
    if (!emit(x, diff_doc(x, v, true, before.total, after.total, rows, after.items), real_stdout))
        return 2;
    if (!v.exceeded) {
        say(std::string(kPrefix) + "Cost changes are within safety limits. Proceeding...");
        return 0;
    }
    if (not_finite)
        say(tw::report::not_finite_line("The change ($" + tw::report::money(before.total) + " to $" +
                                        tw::report::money(after.total) + ")"));
    else if (over_increase)
        say("\n[Tally-Warden WARNING] Projected increase ($" + tw::report::money(change) +
            ") exceeds the safety threshold of $" + tw::report::money(v.threshold) + "!");
    if (over_total && !not_finite)
        say("\n[Tally-Warden WARNING] Projected total ($" + tw::report::money(after.total) +
            ") exceeds the maximum total of $" + tw::report::money(*x.max_total) + "!");
    if (x.json) return 1;
    return ask(strict);
}

// Whether a number option is a usable amount of money: finite and not negative.
bool amount_ok(nb::handle v) {
    if (v.is_none()) return true;
    double d = as_double(v);
    return std::isfinite(d) && d >= 0.0;
}

// Standard output was closed by its reader: end quietly, and never as a pass.
[[noreturn]] void closed_stdout() {
    int fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (fd >= 0) {
        ::dup2(fd, 1);  // the host's final flush of what is still buffered goes nowhere
        ::close(fd);
    }
    say_err(std::string(kPrefix) + "Standard output was closed; commit aborted.");
    nb::module_::import_("sys").attr("exit")(1);
    throw nb::python_error();
}

std::string version_line() {
    nb::module_ metadata = nb::module_::import_("importlib.metadata");
    try {
        return "tally-warden " + py::to_utf8(metadata.attr("version")("tally-warden"));
    } catch (nb::python_error &e) {
        if (!e.matches(metadata.attr("PackageNotFoundError"))) throw;
        return "tally-warden (version unknown: package metadata not found)";
    }
}

// The help formatter argparse would make, with the width shutil.get_terminal_size() gives
// it: without COLUMNS set, that is the size of the terminal of sys.__stdout__ (80 columns
// when there is none), read here so that shutil and the compression modules it imports
// are not loaded on every run.
nb::object help_formatter(nb::module_ &argparse) {
    nb::object formatter = argparse.attr("HelpFormatter");
    nb::module_ os = nb::module_::import_("os");
    if (!nb::getattr(os, "environ").attr("get")("COLUMNS").is_none()) return formatter;
    long columns = 0;
    try {
        nb::object out = nb::module_::import_("sys").attr("__stdout__");
        columns = nb::cast<long>(os.attr("get_terminal_size")(out.attr("fileno")()).attr("columns"));
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_AttributeError) && !e.matches(PyExc_ValueError) && !e.matches(PyExc_OSError)) throw;
    }
    if (columns <= 0) columns = 80;
    return nb::module_::import_("functools").attr("partial")(formatter, "width"_a = columns - 2);
}

// Exclusions that change nothing are said, one line each: a value matching no directory of
// the tree, and a directory written after --exclude that was meant to be scanned.
void check_excludes(nb::handle exclude, nb::handle directory, bool directory_given, bool to_stderr) {
    std::vector<std::string> values;
    for (nb::handle e : exclude) values.push_back(py::to_utf8(e));
    if (values.empty()) return;
    auto note = [&](const std::string &line) {
        std::string shown = tw::names::printable(line);
        to_stderr ? say_err(shown) : say(shown);
    };
    const std::string &last = values.back();
    if (!directory_given && tw::fs::is_dir(last)) {
        nb::object quote = nb::module_::import_("shlex").attr("quote");
        std::string cmd = "tally-warden " + py::to_utf8(quote(last));
        if (values.size() > 1) cmd += " --exclude";
        for (size_t i = 0; i + 1 < values.size(); ++i) cmd += " " + py::to_utf8(quote(values[i]));
        note(std::string(kPrefix) + "'" + last + "' after --exclude was taken as a directory to exclude, and '.' is "
             "scanned; to scan '" + last + "', write it before the option: " + cmd);
    }
    std::string dir = py::fspath(directory);
    for (const auto &v : tw::stack::unmatched_excludes(dir, values))
        note(std::string(kPrefix) + "--exclude '" + v + "' matches no directory under '" + dir + "'; it excludes nothing.");
}

void main_body() {
    g_in_main = true;
    g_transcript.clear();
    nb::module_ argparse = nb::module_::import_("argparse");
    nb::object flt = nb::module_::import_("builtins").attr("float");
    nb::object parser = argparse.attr("ArgumentParser")("description"_a = "Tally-Warden pre-commit cost linter hook.",
                                                        "formatter_class"_a = help_formatter(argparse));
    parser.attr("add_argument")("directory", "nargs"_a = "?", "default"_a = nb::none(),
                                "help"_a = "Directory to scan (default: current directory)");
    parser.attr("add_argument")("-t", "--threshold", "type"_a = flt, "default"_a = 100.0,
                                "help"_a = "Monthly cost warning threshold in USD (default: $100.00)");
    parser.attr("add_argument")("--strict", "action"_a = "store_true",
                                "help"_a = "Fail in non-interactive mode if threshold is exceeded");
    parser.attr("add_argument")("--exclude", "nargs"_a = "*", "default"_a = nb::list(),
                                "help"_a = "Directories/paths to exclude from scanning");
    parser.attr("add_argument")("--diff", "action"_a = "store_true",
                                "help"_a = "Price the staged change against its base (the threshold applies to the increase)");
    parser.attr("add_argument")("--head", "metavar"_a = "REF",
                                "help"_a = "With --diff and --base, price the tree of REF against its merge base with "
                                           "--base (git diff BASE...REF) instead of the staged change");
    parser.attr("add_argument")("--base", "metavar"_a = "REF",
                                "help"_a = "Base revision of --diff (default: HEAD)");
    parser.attr("add_argument")("--max-total", "type"_a = flt, "metavar"_a = "X",
                                "help"_a = "With --diff, also ask when the new total exceeds X USD per month");
    parser.attr("add_argument")("--breakdown", "action"_a = "store_true",
                                "help"_a = "Print the cost of every resource");
    parser.attr("add_argument")("--format", "choices"_a = nb::make_tuple("text", "json", "markdown"), "default"_a = "text",
                                "help"_a = "json or markdown (a pull-request comment): one document on standard output, "
                                           "other messages on standard error");
    parser.attr("add_argument")("--output", "metavar"_a = "FILE",
                                "help"_a = "Also write the document of --format (JSON with text) to FILE");
    parser.attr("add_argument")("--modules", "action"_a = "store_true",
                                "help"_a = "Evaluate module calls: price what each call instantiates");
    parser.attr("add_argument")("--version", "action"_a = "store_true", "help"_a = "show the version and exit");
    nb::object args = parser.attr("parse_args")();
    if (nb::bool_(args.attr("version"))) {
        say(version_line());
        nb::module_::import_("sys").attr("exit")(0);
    }
    if (!amount_ok(args.attr("threshold")))
        parser.attr("error")("argument -t/--threshold: must be a finite amount of 0 or more");
    if (!amount_ok(args.attr("max_total")))
        parser.attr("error")("argument --max-total: must be a finite amount of 0 or more");
    bool directory_given = !args.attr("directory").is_none();
    if (!directory_given) args.attr("directory") = nb::str(".");
    nb::object directory = args.attr("directory");
    if (!tw::fs::exists(py::fspath(directory)))
        parser.attr("error")("directory '" + py::to_utf8(nb::str(directory)) + "' does not exist");
    bool diff = bool(nb::bool_(args.attr("diff")));
    if (!diff && (!args.attr("base").is_none() || !args.attr("max_total").is_none()))
        parser.attr("error")("--base and --max-total need --diff");
    if (!args.attr("head").is_none() && (!diff || args.attr("base").is_none()))
        parser.attr("error")("--head needs --diff and --base");
    // pre-commit run --from-ref A --to-ref B (and pre-push) names the range in its environment.
    if (diff && args.attr("base").is_none() && args.attr("head").is_none()) {
        nb::object environ = nb::module_::import_("os").attr("environ");
        nb::object from = environ.attr("get")("PRE_COMMIT_FROM_REF", ""), to = environ.attr("get")("PRE_COMMIT_TO_REF", "");
        if (nb::bool_(from) && nb::bool_(to)) {
            args.attr("base") = from;
            args.attr("head") = to;
        }
    }

    check_excludes(args.attr("exclude"), directory, directory_given, py::to_utf8(args.attr("format")) != "text");

    nb::object run = nb::getattr(g_module, "run_hook");
    nb::object code;
    bool modules = bool(nb::bool_(args.attr("modules")));
    bool extras = diff || bool(nb::bool_(args.attr("breakdown"))) || py::to_utf8(args.attr("format")) != "text" ||
                  !args.attr("output").is_none();
    try {
        // The new keywords only when used, so that a replaced run_hook without them still works.
        nb::kwargs kw;
        kw["exclude"] = args.attr("exclude");
        if (modules) kw["modules"] = nb::bool_(true);
        if (extras) {
            kw["diff"] = args.attr("diff");
            kw["base"] = args.attr("base").is_none() ? nb::str("HEAD") : nb::str(args.attr("base"));
            if (!args.attr("head").is_none()) kw["head"] = args.attr("head");
            kw["max_total"] = args.attr("max_total");
            kw["breakdown"] = args.attr("breakdown");
            kw["format"] = args.attr("format");
            kw["output"] = args.attr("output");
        }
        code = run(directory, args.attr("threshold"), args.attr("strict"), **kw);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_KeyboardInterrupt)) throw;
        say_interrupted();
        code = nb::int_(kInterruptedStatus);
    }
    nb::object out = nb::module_::import_("sys").attr("stdout");
    if (!out.is_none()) out.attr("flush")();
    nb::module_::import_("sys").attr("exit")(code);
}

void main_entry() {
    try {
        main_body();
    } catch (nb::python_error &e) {
        if (e.matches(PyExc_KeyboardInterrupt)) {
            // While the command line was read, or the result written.
            say_interrupted();
            nb::module_::import_("sys").attr("exit")(kInterruptedStatus);
            throw nb::python_error();
        }
        if (!e.matches(PyExc_BrokenPipeError)) throw;
        closed_stdout();
    }
}

}  // namespace

NB_MODULE(hookgate, m) {
    g_module = m;
    tw::commit::set_interrupt_check([] { return PyErr_CheckSignals() != 0; });
    m.attr("StackReader") = nb::module_::import_("tally_warden.stackreader").attr("StackReader");
    m.attr("Reckoner") = nb::module_::import_("tally_warden.reckoner").attr("Reckoner");
    g_reader = original(m.attr("StackReader"));
    g_reckoner = original(m.attr("Reckoner"));
    g_ratebook = original(nb::module_::import_("tally_warden.ratebook").attr("Ratebook"));

    m.def("get_controlling_terminal_input", [](nb::handle prompt_msg) {
        return get_controlling_terminal_input(prompt_msg);
    }, nb::sig("def get_controlling_terminal_input(prompt_msg: str) -> str"), nb::arg("prompt_msg"));
    m.def("run_hook", [](nb::handle directory, nb::handle threshold, nb::handle strict, nb::handle exclude, bool modules,
                         bool diff, std::string base, nb::handle head, nb::handle max_total, bool breakdown,
                         std::string format, nb::handle output) {
        int s = PyObject_IsTrue(strict.ptr());
        if (s < 0) throw nb::python_error();
        if (!g_in_main) g_transcript.clear();
        if (format != "text" && format != "json" && format != "markdown")
            throw nb::value_error("format must be 'text', 'json' or 'markdown'");
        Extras x;
        x.diff = diff;
        x.base = base;
        if (!head.is_none()) x.head = py::to_utf8(nb::str(head));
        if (!max_total.is_none()) x.max_total = as_double(max_total);
        x.breakdown = breakdown;
        x.json = format != "text";
        x.markdown = format == "markdown";
        if (!output.is_none()) x.output = py::fspath(output);
        if (!x.any()) return run_hook(directory, threshold, s == 1, exclude, modules);
        ScanOptions options = scan_options(exclude, modules);
        return x.diff ? run_diff(directory, threshold, s == 1, options, x)
                      : run_report(directory, threshold, s == 1, options, x);
    },
        nb::sig("def run_hook(directory: str | os.PathLike[str], threshold: float, strict: bool = False, "
                "exclude: list[str] | None = None, *, modules: bool = False, diff: bool = False, base: str = 'HEAD', "
                "head: str | None = None, max_total: float | None = None, breakdown: bool = False, format: str = 'text', "
                "output: str | os.PathLike[str] | None = None) -> int"),
        nb::arg("directory").none(), nb::arg("threshold").none(), nb::arg("strict").none() = false,
        nb::arg("exclude").none() = nb::none(), nb::kw_only(), nb::arg("modules") = false, nb::arg("diff") = false,
        nb::arg("base") = "HEAD", nb::arg("head").none() = nb::none(), nb::arg("max_total").none() = nb::none(), nb::arg("breakdown") = false,
        nb::arg("format") = "text", nb::arg("output").none() = nb::none());
    m.def("main", &main_entry, nb::sig("def main() -> typing.NoReturn"));
}
