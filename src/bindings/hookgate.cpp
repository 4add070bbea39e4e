// Module hookgate: the pre-commit hook. It scans, prices, prints the projected cost and
// asks the developer to confirm a commit whose cost exceeds the threshold.
#include "bindings/common.h"

using namespace tw;
using namespace nb::literals;

namespace {

constexpr const char *kPrefix = "[Tally-Warden] ";
constexpr const char *kSeparator = "----------------------------------------------------------------------";
constexpr const char *kPrompt = "[Tally-Warden] High-cost change detected. Type 'confirm' to proceed: ";

nb::handle g_module;  // this module (never released)

void say(const std::string &text) { py::print_line(text); }

std::string money(nb::handle value) {
    return py::to_utf8(nb::module_::import_("builtins").attr("format")(value, ".2f"));
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

int run_hook(nb::handle directory, nb::handle threshold, bool strict, nb::handle exclude) {
    say(std::string(kPrefix) + "Scanning '" + py::to_utf8(nb::str(directory)) + "' for cost changes...");
    nb::object reader = nb::getattr(g_module, "StackReader");
    nb::object resources = reader.attr("parse_tf_dir")(directory, "exclude_patterns"_a = exclude);
    if (!nb::bool_(resources)) {
        say(std::string(kPrefix) + "No Terraform/plan resources found. Hook passed.");
        return 0;
    }
    nb::object reckoner = nb::getattr(g_module, "Reckoner")();
    nb::object report = reckoner.attr("estimate_total_costs")(resources);
    nb::object total = report["total_monthly_cost"];
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
    nb::object args = parser.attr("parse_args")();
    nb::object code = nb::getattr(g_module, "run_hook")(args.attr("directory"), args.attr("threshold"),
                                                        args.attr("strict"), "exclude"_a = args.attr("exclude"));
    nb::module_::import_("sys").attr("exit")(code);
}

}  // namespace

NB_MODULE(hookgate, m) {
    g_module = m;
    m.attr("StackReader") = nb::module_::import_("tally_warden.stackreader").attr("StackReader");
    m.attr("Reckoner") = nb::module_::import_("tally_warden.reckoner").attr("Reckoner");

    m.def("get_controlling_terminal_input", [](nb::handle prompt_msg) {
        return get_controlling_terminal_input(prompt_msg);
    }, nb::arg("prompt_msg"));
    m.def("run_hook", [](nb::handle directory, nb::handle threshold, nb::handle strict, nb::handle exclude) {
        int s = PyObject_IsTrue(strict.ptr());
        if (s < 0) throw nb::python_error();
        return run_hook(directory, threshold, s == 1, exclude);
    }, nb::arg("directory").none(), nb::arg("threshold").none(), nb::arg("strict").none() = false, nb::arg("exclude").none() = nb::none());
    m.def("main", &main_entry);
}
