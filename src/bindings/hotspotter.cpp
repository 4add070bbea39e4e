// Source analyser front end: the Hotspotter entry points, the per-file analyses and the
// module's tables and patterns.
#include <set>

#include "bindings/common.h"
#include "bindings/hotspotter_walk.h"
#include "core/fsutil.h"
#include "core/hotspotter/report.h"
#include "core/hotspotter/rules.h"
#include "core/hotspotter/suppress.h"
#include "core/names.h"
#include "core/pytext.h"

using namespace nb::literals;
namespace core = tw::hotspot;

namespace {

using tw::py::hotspot::make_finding;

PyObject *g_module_dict = nullptr;  // the module's globals, kept for the life of the process

nb::list to_list(nb::handle file, const std::vector<core::Finding> &found) {
    nb::list out;
    for (const auto &f : found) out.append(make_finding(file, f));
    return out;
}

nb::list one_finding(nb::handle file, const core::Finding &f) {
    nb::list out;
    out.append(make_finding(file, f));
    return out;
}

bool too_deep(const nb::python_error &e) { return e.matches(PyExc_RecursionError) || e.matches(PyExc_MemoryError); }

std::string reason_of(const nb::python_error &e) { return tw::py::to_utf8(nb::str(e.value())); }

// The findings of a list whose line carries a suppression comment for their type, dropped.
nb::object without_silenced(nb::object found, const std::vector<std::string_view> &lines, core::CommentStyle style) {
    if (!PyList_CheckExact(found.ptr())) return found;
    nb::list kept;
    for (nb::handle f : nb::borrow<nb::list>(found)) {
        if (PyDict_CheckExact(f.ptr())) {
            PyObject *line = PyDict_GetItemString(f.ptr(), "line");
            PyObject *type = PyDict_GetItemString(f.ptr(), "type");
            if (line && type && PyLong_CheckExact(line) && PyUnicode_Check(type)) {
                int overflow = 0;
                long long ln = PyLong_AsLongLongAndOverflow(line, &overflow);
                if (!overflow && core::silenced(lines, ln, tw::py::to_utf8(type), style)) continue;
            }
        }
        kept.append(f);
    }
    return kept;
}

nb::object trace_python_file(nb::handle filepath) {
    std::string path = tw::py::fspath(filepath);
    std::string bytes, error;
    if (!core::read_file(path, bytes, error)) return one_finding(filepath, core::read_error_finding(error));
    std::string text = core::decode_source(bytes, true);
    bytes.clear();
    bytes.shrink_to_fit();

    // Lines as the parser numbers them (the text's line ends are already "\n").
    std::vector<std::string_view> parts = tw::pytext::split_newlines(text);
    nb::object lines = nb::steal(PyList_New(Py_ssize_t(parts.size())));
    if (!lines.is_valid()) throw nb::python_error();
    for (size_t i = 0; i < parts.size(); ++i) {
        PyObject *s = PyUnicode_DecodeUTF8(parts[i].data(), Py_ssize_t(parts[i].size()), nullptr);
        if (!s) throw nb::python_error();
        PyList_SET_ITEM(lines.ptr(), Py_ssize_t(i), s);
    }
    nb::object source = nb::steal(PyUnicode_DecodeUTF8(text.data(), Py_ssize_t(text.size()), nullptr));
    if (!source.is_valid()) throw nb::python_error();
    // The text is kept only when a line may carry a suppression comment.
    bool marked = core::mentions_suppression(text);
    if (!marked) {
        parts.clear();
        text.clear();
        text.shrink_to_fit();
    }

    nb::object tree;
    try {
        nb::object parse = nb::module_::import_("ast").attr("parse");
        tree = parse(source, "filename"_a = filepath);
    } catch (nb::python_error &e) {
        if (e.matches(PyExc_SyntaxError)) {
            nb::object lineno = e.value().attr("lineno");
            nb::object msg = e.value().attr("msg");
            int64_t ln = 0;
            if (PyObject_IsTrue(lineno.ptr()) == 1) ln = nb::cast<int64_t>(lineno);
            return one_finding(filepath, core::syntax_error_finding(ln, tw::py::to_utf8(nb::str(msg))));
        }
        if (too_deep(e)) return one_finding(filepath, core::analysis_error_finding(reason_of(e)));
        throw;
    }
    // The tracer class is looked up in the module's globals at each call.
    PyObject *tracer_cls = PyDict_GetItemString(g_module_dict, "PythonASTTracer");
    if (!tracer_cls) throw nb::attribute_error("PythonASTTracer");
    nb::object tracer = nb::handle(tracer_cls)(filepath, lines);
    try {
        tracer.attr("visit")(tree);
    } catch (nb::python_error &e) {
        if (too_deep(e)) return one_finding(filepath, core::analysis_error_finding(reason_of(e)));
        throw;
    }
    nb::object warnings = tracer.attr("warnings");
    return marked ? without_silenced(warnings, parts, core::CommentStyle::Hash) : warnings;
}

nb::list trace_js_file(nb::handle filepath) { return to_list(filepath, core::trace_js(tw::py::fspath(filepath))); }
nb::list trace_tf_file(nb::handle filepath) { return to_list(filepath, core::trace_tf(tw::py::fspath(filepath))); }

// The path as text: str(path) of a path object, or the text itself.
nb::object path_text(nb::handle path) {
    nb::object p = nb::steal(PyOS_FSPath(path.ptr()));
    if (!p.is_valid()) throw nb::python_error();
    if (PyBytes_Check(p.ptr())) {
        PyObject *s = PyUnicode_DecodeFSDefaultAndSize(PyBytes_AS_STRING(p.ptr()), PyBytes_GET_SIZE(p.ptr()));
        if (!s) throw nb::python_error();
        return nb::steal(s);
    }
    return p;
}

nb::object dispatch(nb::handle cls, nb::handle path) {
    nb::object text = path_text(path);
    switch (core::analysis_for(tw::py::to_utf8(text))) {
        case core::Analysis::Python: return cls.attr("trace_python_file")(text);
        case core::Analysis::Js: return cls.attr("trace_js_file")(text);
        case core::Analysis::Tf: return cls.attr("trace_tf_file")(text);
        default: return nb::list();
    }
}

nb::list trace_directory(nb::handle cls, nb::handle directory) {
    std::string root = tw::py::fspath(directory);
    nb::list out;
    nb::object path_cls = nb::module_::import_("pathlib").attr("Path");
    nb::object dispatch_fn = cls.attr("_dispatch");
    nb::object extend = out.attr("extend");
    core::walk_files(root, {}, [&](const std::string &p) { extend(dispatch_fn(path_cls(tw::py::from_utf8(p)))); });
    return out;
}

std::vector<std::string> texts(nb::handle seq) {
    std::vector<std::string> out;
    for (nb::handle h : seq) out.push_back(tw::py::fspath(h));
    return out;
}

// The command's walk: every path in turn (each file once), directories named in `exclude`
// skipped below each; returns the findings, the number of files analysed and a line for
// each directory that could not be read.
nb::tuple scan(nb::handle paths, nb::handle exclude) {
    PyObject *cls = PyDict_GetItemString(g_module_dict, "Hotspotter");
    if (!cls) throw nb::attribute_error("Hotspotter");
    nb::object dispatch_fn = nb::handle(cls).attr("_dispatch");
    nb::object path_cls = nb::module_::import_("pathlib").attr("Path");
    std::vector<std::string> skip = texts(exclude);
    std::set<std::string> done;
    nb::list out;
    nb::object extend = out.attr("extend");
    int64_t files = 0;
    nb::list errors;
    for (const std::string &root : texts(paths)) {
        core::walk_files(root, skip, [&](const std::string &p) {
            if (!done.insert(p).second || core::analysis_for(p) == core::Analysis::None) return;
            ++files;
            extend(dispatch_fn(path_cls(tw::py::from_utf8(p))));
        }, [&](const std::string &dir, const std::string &error) {
            errors.append(tw::py::from_utf8(tw::names::printable("Error reading directory " + dir + ": " + error)));
        });
    }
    return nb::make_tuple(out, files, errors);
}

int rank_option(const std::string &word) {
    if (word == "NEVER") return 0;
    int r = core::severity_rank(word);
    if (r == 0) throw nb::value_error(("unknown severity: " + word).c_str());
    return r;
}

// Renders the findings as the command shows them; returns the text and the exit status.
nb::tuple report(nb::handle findings, int64_t files, nb::str format_word, nb::str min_severity, nb::str fail_on,
                 nb::handle select, nb::handle ignore, nb::handle cwd, nb::str version, nb::str information_uri) {
    std::string format = tw::py::to_utf8(format_word);
    core::ReportFormat fmt;
    if (format == "text") fmt = core::ReportFormat::Text;
    else if (format == "json") fmt = core::ReportFormat::Json;
    else if (format == "sarif") fmt = core::ReportFormat::Sarif;
    else throw nb::value_error(("unknown format: " + format).c_str());
    core::ReportOptions opts;
    opts.min_rank = rank_option(tw::py::to_utf8(min_severity));
    opts.fail_rank = rank_option(tw::py::to_utf8(fail_on));
    for (nb::handle h : select) opts.select.push_back(tw::py::to_utf8(h));
    for (nb::handle h : ignore) opts.ignore.push_back(tw::py::to_utf8(h));
    opts.cwd = tw::py::fspath(cwd);
    opts.tool_version = tw::py::to_utf8(version);
    opts.information_uri = tw::py::to_utf8(information_uri);
    std::vector<core::Reported> found;
    for (nb::handle f : findings) {
        core::Reported r;
        r.file = tw::py::fspath(f["file"]);
        r.line = nb::cast<int64_t>(f["line"]);
        r.type = tw::py::to_utf8(nb::str(f["type"]));
        r.severity = tw::py::to_utf8(nb::str(f["severity"]));
        r.message = tw::py::to_utf8(nb::str(f["message"]));
        r.snippet = tw::py::to_utf8(nb::str(f["code_snippet"]));
        found.push_back(std::move(r));
    }
    core::ReportOutcome out = core::report(found, files, fmt, opts);
    return nb::make_tuple(tw::py::from_utf8(out.text), out.status);
}

nb::list type_codes() {
    nb::list l;
    for (const core::RuleInfo &r : core::kRules) l.append(tw::py::from_utf8(r.id));
    return l;
}

template <size_t N>
nb::list text_list(const std::array<std::string_view, N> &table) {
    nb::list l;
    for (std::string_view s : table) l.append(tw::py::from_utf8(s));
    return l;
}

}  // namespace

NB_MODULE(hotspotter, m) {
    m.doc() = "Static analysis of application source code for cloud cost anti-patterns.";
    tw::py::hotspot::init_tracer(m);
    g_module_dict = PyModule_GetDict(m.ptr());
    Py_INCREF(g_module_dict);

    m.attr("_EXPENSIVE_TRIGGERS") = text_list(core::kExpensiveTriggers);
    m.attr("_LARGE_DATA_TRIGGERS") = text_list(core::kLargeDataTriggers);
    m.attr("_THREAD_UNSAFE_TRIGGERS") = text_list(core::kThreadUnsafeTriggers);
    m.attr("EXPENSIVE_INSTANCE_KEYWORDS") = text_list(core::kExpensiveInstanceKeywords);
    nb::object compile = nb::module_::import_("re").attr("compile");
    m.attr("JS_LOOP_PATTERN") = compile(tw::py::from_utf8(core::kJsLoopPattern));
    m.attr("JS_API_PATTERN") = compile(tw::py::from_utf8(core::kJsApiPattern));
    m.attr("JS_SYNC_PATTERN") = compile(tw::py::from_utf8(core::kJsSyncPattern));
    m.attr("JS_LARGE_OBJ_PATTERN") = compile(tw::py::from_utf8(core::kJsLargeObjPattern));

    m.def("_trace_js_file", &trace_js_file, "filepath"_a);
    m.def("_scan", &scan, "paths"_a, "exclude"_a);
    m.def("_report", &report, "findings"_a, "files"_a, "format"_a, "min_severity"_a, "fail_on"_a, "select"_a,
          "ignore"_a, "cwd"_a, "version"_a, "information_uri"_a);
    m.attr("_TYPES") = type_codes();
    m.def("_trace_tf_file", &trace_tf_file, "filepath"_a, "Scans Terraform HCL for common cost anti-patterns.");

    nb::object cls = tw::py::make_class(
        m, "Hotspotter", "Multi-language, multi-pattern static analyzer for cloud cost and efficiency issues.");
    tw::py::add_classmethod(cls, "trace_directory",
                            nb::cpp_function(&trace_directory, nb::name("trace_directory"), "cls"_a, "directory"_a,

nb::sig("def trace_directory(cls, directory: str | os.PathLike[str]) -> list[dict[str, typing.Any]]"),
                                             "Findings of every supported source file under a directory."));
    tw::py::add_classmethod(cls, "_dispatch", nb::cpp_function(&dispatch, nb::name("_dispatch"), "cls"_a, "path"_a));
    tw::py::add_static(cls, "trace_python_file",
                       nb::cpp_function(&trace_python_file, nb::name("trace_python_file"), "filepath"_a,

nb::sig("def trace_python_file(filepath: str | os.PathLike[str]) -> list[dict[str, typing.Any]]"),
"Findings of one Python source file, from its syntax tree."));
    tw::py::add_static(cls, "trace_js_file", nb::cpp_function(&trace_js_file, nb::name("trace_js_file"), "filepath"_a,

nb::sig("def trace_js_file(filepath: str | os.PathLike[str]) -> list[dict[str, typing.Any]]"),
"Scans JavaScript/TypeScript for common cost anti-patterns."));
    tw::py::add_static(cls, "trace_tf_file", nb::cpp_function(&trace_tf_file, nb::name("trace_tf_file"), "filepath"_a,

nb::sig("def trace_tf_file(filepath: str | os.PathLike[str]) -> list[dict[str, typing.Any]]"),
"Scans Terraform HCL for common cost anti-patterns."));
    tw::py::add_static(cls, "trace_generic_file",
                       nb::cpp_function(&trace_js_file, nb::name("trace_generic_file"), "filepath"_a,

nb::sig("def trace_generic_file(filepath: str | os.PathLike[str]) -> list[dict[str, typing.Any]]"),
"Scans a source file of another language with the JavaScript/TypeScript rules."));
}
