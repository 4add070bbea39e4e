// Module hookgate: the pre-commit hook's command line, and the host's collaborators (the
// module's StackReader, Reckoner and get_controlling_terminal_input, original or replaced)
// adapted to the core's flow (core/gate), which decides.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <memory>
#include <optional>

#include <nanobind/stl/string.h>

#include "bindings/common.h"
#include "core/commit/commit.h"
#include "core/fsutil.h"
#include "core/gate/gate.h"
#include "core/names.h"
#include "core/ratebook/store.h"
#include "core/stackreader/reader.h"
#include "core/terminal.h"

using namespace tw;
using namespace nb::literals;

namespace {


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

void say(const std::string &text) { print(text); }

void say_err(const std::string &text) {
    nb::object err = nb::module_::import_("sys").attr("stderr");
    if (err.is_none()) return;
    err.attr("write")(py::from_utf8(text + "\n"));
    err.attr("flush")();
}

double as_double(nb::handle v) {
    double d = PyFloat_AsDouble(v.ptr());
    if (d == -1.0 && PyErr_Occurred()) throw nb::python_error();
    return d;
}

// The exclusion values natively; false when `exclude` is not None or a list of text (the
// reader itself then reports it).
bool native_excludes(nb::handle exclude, std::vector<std::string> &out) {
    if (exclude.is_none()) return true;
    if (!PyList_Check(exclude.ptr())) return false;
    for (nb::handle e : exclude) {
        if (!PyUnicode_Check(e.ptr())) {
            out.clear();
            return false;
        }
        out.push_back(py::to_utf8(e));
    }
    return true;
}

// The core's scan, with the host's cyclic collector paused while it builds records.
struct PausedReader : gate::NativeReader {
    using NativeReader::NativeReader;
    gate::Records scan(const gate::Tree &tree, const tw::stack::Sink &sink) override {
        py::GcPause pause;
        return NativeReader::scan(tree, sink);
    }
};

// The list a replaced reader returned.
struct PyRecords : gate::HostRecords {
    nb::object list;
    explicit PyRecords(nb::object l) : list(std::move(l)) {}
    bool empty() const override { return !nb::bool_(list); }
};

// The module's StackReader (replaced, or called with arguments of other types): its
// parse_tf_dir, called on the class.
class PyReader : public gate::Reader {
public:
    PyReader(nb::object reader, nb::handle directory, nb::handle exclude, bool modules)
        : reader_(std::move(reader)), directory_(nb::borrow(directory)), exclude_(nb::borrow(exclude)),
          modules_(modules) {}
    gate::Records scan(const gate::Tree &tree, const tw::stack::Sink &) override {
        nb::object dir = tree.given ? directory_ : nb::object(py::from_utf8(tree.root));
        // The modules keyword only when asked, so that replaced readers without it still work.
        nb::object found = tree.given && modules_
                               ? reader_.attr("parse_tf_dir")(dir, "exclude_patterns"_a = exclude_, "modules"_a = true)
                               : reader_.attr("parse_tf_dir")(dir, "exclude_patterns"_a = exclude_);
        gate::Records r;
        r.host = std::make_shared<PyRecords>(std::move(found));
        return r;
    }

private:
    nb::object reader_, directory_, exclude_;
    bool modules_;
};

// The original store behind the original estimator, natively; null when either was replaced.
std::unique_ptr<gate::Store> native_store(nb::handle reckoner, size_t records) {
    if (!untouched(g_reckoner, reckoner.type()) || !plain_instance(reckoner, "db")) return nullptr;
    nb::object db = reckoner.attr("db");
    if (!untouched(g_ratebook, db.type()) || !plain_instance(db, "db_path")) return nullptr;
    nb::object path = db.attr("db_path");
    if (!PyUnicode_Check(path.ptr())) return nullptr;
    if (records >= tw::rate::kSnapshotFrom) return std::make_unique<tw::rate::SnapshotSource>(py::to_utf8(path));
    return std::make_unique<tw::rate::StoreSource>(py::to_utf8(path));
}

std::string text_of(nb::handle v) { return v.is_none() ? std::string("None") : py::to_utf8(nb::str(v)); }

// The module's Reckoner, constructed with no arguments when first needed.
class PyEstimator : public gate::Estimator {
public:
    std::unique_ptr<gate::Store> store(size_t records) override {
        try {
            return native_store(reckoner(), records);
        } catch (const std::exception &) {
            return nullptr;  // a store that cannot be opened: the estimator reports it itself
        }
    }
    gate::Totals report(const gate::Records &records, bool listed) override {
        nb::handle r = reckoner();
        nb::object list;
        if (records.host) list = static_cast<const PyRecords &>(*records.host).list;
        else {
            py::GcPause pause;
            nb::list converted;
            for (const auto &v : records.values) converted.append(py::to_python(v));
            list = converted;
        }
        nb::object report = r.attr("estimate_total_costs")(list);
        gate::Totals t;
        t.total = as_double(report["total_monthly_cost"]);
        if (!listed) return t;
        nb::object resources = nb::getattr(report, "get", nb::none()).is_none() ? nb::none() : report.attr("get")("resources");
        if (resources.is_none()) return t;
        for (nb::handle item : resources)
            t.resources.push_back({text_of(item.attr("get")("type")), text_of(item.attr("get")("name")),
                                   text_of(item.attr("get")("region", "")), text_of(item.attr("get")("basis", "")),
                                   as_double(item.attr("get")("monthly_cost", 0.0))});
        return t;
    }

private:
    nb::handle reckoner() {
        if (!reckoner_.is_valid()) reckoner_ = nb::getattr(g_module, "Reckoner")();
        return reckoner_;
    }
    nb::object reckoner_;
};

// Messages through the host's sys.stdout; the question through the module's
// get_controlling_terminal_input; the document on the standard output of the call's start.
class PyTerminal : public gate::Terminal {
public:
    void say(const std::string &line) override { print(line); }
    void warn(const std::string &line) override { say_err(line); }
    gate::Answer ask(const std::string &prompt) override {
        try {
            nb::object answer = nb::getattr(g_module, "get_controlling_terminal_input")(nb::str(prompt.c_str())).attr("lower")();
            return {gate::Answer::Kind::Line, py::to_utf8(answer)};
        } catch (nb::python_error &e) {
            if (e.matches(PyExc_KeyboardInterrupt)) return {gate::Answer::Kind::Interrupted, {}};
            if (e.matches(PyExc_EOFError) || e.matches(PyExc_OSError)) return {gate::Answer::Kind::NoInput, {}};
            throw;
        }
    }
    void document(const std::string &doc) override {
        if (stdout_.is_none()) return;
        stdout_.attr("write")(py::from_utf8(doc));
        stdout_.attr("flush")();
    }

private:
    nb::object stdout_ = nb::module_::import_("sys").attr("stdout");
};

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

// An interrupt that git met or that arrived while it ran, raised as the host's own.
[[noreturn]] void raise_interrupt() {
    if (!PyErr_Occurred() && PyErr_CheckSignals() == 0) PyErr_SetNone(PyExc_KeyboardInterrupt);
    throw nb::python_error();
}

// Ctrl-C anywhere but at the prompt (which answers it itself): one line, and the status of a
// process ended by SIGINT.
constexpr int kInterruptedStatus = 130;
void say_interrupted() { say(gate::line("Interrupted; commit aborted.")); }


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

// run_hook: the collaborators the module holds now, adapted to the core's flow.
int run_hook(nb::handle directory, const gate::Options &o, nb::handle exclude, bool modules, bool diff) {
    std::vector<std::string> excludes;
    bool native_args = native_excludes(exclude, excludes);
    PyTerminal terminal;
    std::optional<MessagesToStderr> quiet;
    if (o.json) quiet.emplace();
    // With the original reader and estimator the records stay native; any replacement on the
    // module or on the classes is called through the host as usual.
    nb::object cls = nb::getattr(g_module, "StackReader");
    std::unique_ptr<gate::Reader> reader;
    if (untouched(g_reader, cls) && native_args && (diff || PyUnicode_Check(directory.ptr())))
        reader = std::make_unique<PausedReader>(excludes, modules);
    else
        reader = std::make_unique<PyReader>(cls, directory, exclude, modules);
    PyEstimator estimator;
    if (!diff) return gate::run(o, *reader, estimator, terminal);
    gate::GitChange change(py::fspath(directory), o.base, o.head, excludes, modules);
    try {
        return gate::run_diff(o, change, *reader, estimator, terminal);
    } catch (const tw::commit::Interrupted &) {
        raise_interrupt();
    }
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
    say_err(gate::line("Standard output was closed; commit aborted."));
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
        note(gate::line("'" + last + "' after --exclude was taken as a directory to exclude, and '.' is "
             "scanned; to scan '" + last + "', write it before the option: " + cmd));
    }
    std::string dir = py::fspath(directory);
    for (const auto &v : tw::stack::unmatched_excludes(dir, values))
        note(gate::line("--exclude '" + v + "' matches no directory under '" + dir + "'; it excludes nothing."));
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
                                "help"_a = "With --base, price the tree of REF against its merge base with --base "
                                           "(git diff BASE...REF) instead of the staged change; implies --diff");
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
    // --base B --head H prices a branch's change, so --head implies --diff.
    if (!args.attr("head").is_none()) {
        if (args.attr("base").is_none()) parser.attr("error")("--head needs --base");
        args.attr("diff") = nb::bool_(true);
    }
    bool diff = bool(nb::bool_(args.attr("diff")));
    if (!diff && (!args.attr("base").is_none() || !args.attr("max_total").is_none()))
        parser.attr("error")("--base and --max-total need --diff");
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
        gate::Options o;
        o.shown = py::to_utf8(nb::str(directory));
        o.threshold = as_double(threshold);
        o.strict = s == 1;
        o.base = base;
        if (!head.is_none()) o.head = py::to_utf8(nb::str(head));
        if (!max_total.is_none()) o.max_total = as_double(max_total);
        o.breakdown = breakdown;
        o.json = format != "text";
        o.markdown = format == "markdown";
        if (!output.is_none()) o.output = py::fspath(output);
        return run_hook(directory, o, exclude, modules, diff);
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
