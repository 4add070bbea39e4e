// Module hookgate: the pre-commit hook. It scans, prices, prints the projected cost and
// asks the developer to confirm a commit whose cost exceeds the threshold.
#include <optional>

#include "bindings/common.h"
#include "core/fsutil.h"
#include "core/pytext.h"
#include "core/terminal.h"
#include "core/ratebook/store.h"
#include "core/reckoner/estimator.h"
#include "core/stackreader/reader.h"

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

const tw::stack::Sink &printer() {
    static const tw::stack::Sink sink = [](std::string_view line) { py::print_line(line); };
    return sink;
}

// The scan of the original reader, natively; nothing when the arguments are not of the
// reader's types (the reader itself then reports them).
std::optional<std::vector<Value>> native_scan(nb::handle directory, nb::handle exclude, bool modules) {
    if (!PyUnicode_Check(directory.ptr())) return std::nullopt;
    std::vector<std::string> excludes;
    if (!exclude.is_none()) {
        if (!PyList_Check(exclude.ptr())) return std::nullopt;
        for (nb::handle e : exclude) {
            if (!PyUnicode_Check(e.ptr())) return std::nullopt;
            excludes.push_back(py::to_utf8(e));
        }
    }
    tw::stack::ScanReaders readers;
    tw::stack::ScanOptions options;
    options.modules = modules;
    return tw::stack::scan(py::fspath(directory), excludes, readers, printer(), options);
}

// The report's total of the original estimator over the original store, natively.
std::optional<double> native_total(nb::handle reckoner, const std::vector<Value> &records) {
    if (!untouched(g_reckoner, reckoner.type()) || !plain_instance(reckoner, "db")) return std::nullopt;
    nb::object db = reckoner.attr("db");
    if (!untouched(g_ratebook, db.type()) || !plain_instance(db, "db_path")) return std::nullopt;
    nb::object path = db.attr("db_path");
    if (!PyUnicode_Check(path.ptr())) return std::nullopt;
    try {
        std::unique_ptr<tw::reckon::RateSource> source;
        if (records.size() >= tw::rate::kSnapshotFrom) source = std::make_unique<tw::rate::SnapshotSource>(py::to_utf8(path));
        else source = std::make_unique<tw::rate::StoreSource>(py::to_utf8(path));
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

void say(const std::string &text) { py::print_line(text); }

std::string money(nb::handle value) {
    return py::to_utf8(nb::module_::import_("builtins").attr("format")(value, ".2f"));
}

// Whether the developer sees what is written to `out`: not so when a hook framework collects
// the hook's output to show it after the hook ends.
bool writes_to_terminal(nb::handle out) {
    try {
        return tw::term::is_controlling_terminal(nb::cast<int>(out.attr("fileno")()));
    } catch (nb::python_error &e) {
        if (e.matches(PyExc_KeyboardInterrupt)) throw;
        return false;
    } catch (const nb::cast_error &) {
        return false;
    }
}

// The prompt written on the terminal device too; a failure leaves it on standard output only.
void echo_to_terminal(nb::handle builtins, const char *device, nb::handle prompt_msg) {
    try {
        nb::object dev = builtins.attr("open")(device, "w");
        dev.attr("write")(prompt_msg);
        dev.attr("close")();
    } catch (nb::python_error &e) {
        if (e.matches(PyExc_KeyboardInterrupt)) throw;
    }
}

nb::object get_controlling_terminal_input(nb::handle prompt_msg) {
    nb::module_ builtins = nb::module_::import_("builtins");
    nb::module_ sys = nb::module_::import_("sys");
    bool windows = py::to_utf8(nb::module_::import_("os").attr("name")) == "nt";
    nb::object tty;
    try {
        tty = builtins.attr("open")(windows ? "CON" : "/dev/tty", "r");
        nb::object out = sys.attr("stdout");
        out.attr("write")(prompt_msg);
        out.attr("flush")();
        if (!writes_to_terminal(out)) echo_to_terminal(builtins, windows ? "CON" : "/dev/tty", prompt_msg);
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

int run_hook(nb::handle directory, nb::handle threshold, bool strict, nb::handle exclude, bool modules) {
    say(std::string(kPrefix) + "Scanning '" + py::to_utf8(nb::str(directory)) + "' for cost changes...");
    // With the original reader and estimator the records stay native; any replacement on the
    // module or on the classes is called through the host as usual.
    nb::object reader = nb::getattr(g_module, "StackReader");
    std::optional<std::vector<Value>> records;
    nb::object resources;
    if (untouched(g_reader, reader)) {
        py::GcPause pause;
        records = native_scan(directory, exclude, modules);
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
    int exceeded = PyObject_RichCompareBool(total.ptr(), threshold.ptr(), Py_GT);
    if (exceeded < 0) throw nb::python_error();
    if (!exceeded) {
        say(std::string(kPrefix) + "Cost changes are within safety limits. Proceeding...");
        return 0;
    }
    say("\n[Tally-Warden WARNING] Projected cost ($" + money(total) + ") exceeds the safety threshold of $" +
        money(threshold) + "!");
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

// "tally-warden X.Y.Z" from the installed package's metadata, read only when asked for.
std::string version_line() {
    nb::module_ metadata = nb::module_::import_("importlib.metadata");
    try {
        return "tally-warden " + py::to_utf8(metadata.attr("version")("tally-warden"));
    } catch (nb::python_error &e) {
        if (!e.matches(metadata.attr("PackageNotFoundError"))) throw;
        return "tally-warden (version unknown: package metadata not found)";
    }
}

void main_entry() {
    nb::module_ argparse = nb::module_::import_("argparse");
    nb::object parser = argparse.attr("ArgumentParser")("description"_a = "Tally-Warden pre-commit cost linter hook.");
    parser.attr("add_argument")("directory", "nargs"_a = "?", "default"_a = ".",
                                "help"_a = "Directory to scan (default: current directory)");
    parser.attr("add_argument")("-t", "--threshold", "type"_a = nb::module_::import_("builtins").attr("float"),
                                "default"_a = 100.0,
                                "help"_a = "Monthly cost warning threshold in USD (default: $100.00)");
    parser.attr("add_argument")("--strict", "action"_a = "store_true",
                                "help"_a = "Fail in non-interactive mode if threshold is exceeded");
    parser.attr("add_argument")("--exclude", "nargs"_a = "*", "default"_a = nb::list(),
                                "help"_a = "Directories/paths to exclude from scanning");
    parser.attr("add_argument")("--modules", "action"_a = "store_true",
                                "help"_a = "Evaluate module calls: price what each call instantiates");
    parser.attr("add_argument")("--version", "action"_a = "store_true", "help"_a = "show the version and exit");
    nb::object args = parser.attr("parse_args")();
    if (nb::bool_(args.attr("version"))) {
        say(version_line());
        nb::module_::import_("sys").attr("exit")(0);
    }
    nb::object run = nb::getattr(g_module, "run_hook");
    nb::object code;
    try {
        code = nb::bool_(args.attr("modules"))
                   ? run(args.attr("directory"), args.attr("threshold"), args.attr("strict"),
                         "exclude"_a = args.attr("exclude"), "modules"_a = true)
                   : run(args.attr("directory"), args.attr("threshold"), args.attr("strict"),
                         "exclude"_a = args.attr("exclude"));
    } catch (nb::python_error &e) {
        // Ctrl-C before the prompt (the prompt handles its own): one line, and the status
        // of a process ended by SIGINT.
        if (!e.matches(PyExc_KeyboardInterrupt)) throw;
        say(std::string(kPrefix) + "Interrupted; commit aborted.");
        code = nb::int_(130);
    }
    nb::module_::import_("sys").attr("exit")(code);
}

}  // namespace

NB_MODULE(hookgate, m) {
    g_module = m;
    m.attr("StackReader") = nb::module_::import_("tally_warden.stackreader").attr("StackReader");
    m.attr("Reckoner") = nb::module_::import_("tally_warden.reckoner").attr("Reckoner");
    g_reader = original(m.attr("StackReader"));
    g_reckoner = original(m.attr("Reckoner"));
    g_ratebook = original(nb::module_::import_("tally_warden.ratebook").attr("Ratebook"));

    m.def("get_controlling_terminal_input", [](nb::handle prompt_msg) {
        return get_controlling_terminal_input(prompt_msg);
    }, nb::sig("def get_controlling_terminal_input(prompt_msg: str) -> str"), nb::arg("prompt_msg"));
    m.def("run_hook", [](nb::handle directory, nb::handle threshold, nb::handle strict, nb::handle exclude,
                         nb::handle modules) {
        int s = PyObject_IsTrue(strict.ptr());
        if (s < 0) throw nb::python_error();
        int mods = PyObject_IsTrue(modules.ptr());
        if (mods < 0) throw nb::python_error();
        return run_hook(directory, threshold, s == 1, exclude, mods == 1);
    },
        nb::sig("def run_hook(directory: str | os.PathLike[str], threshold: float, strict: bool = False, exclude: list[str] | None = None, *, modules: bool = False) -> int"),
        nb::arg("directory").none(), nb::arg("threshold").none(), nb::arg("strict").none() = false,
        nb::arg("exclude").none() = nb::none(), nb::kw_only(), nb::arg("modules").none() = false);
    m.def("main", &main_entry, nb::sig("def main() -> typing.NoReturn"));
}
