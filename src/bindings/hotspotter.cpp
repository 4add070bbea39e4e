// Source analyser front end: the Hotspotter entry points, the per-file analyses and the
// module's tables and patterns.
#include "bindings/common.h"
#include "bindings/hotspotter_walk.h"
#include "core/fsutil.h"
#include "core/hotspotter/rules.h"
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
    text.clear();
    text.shrink_to_fit();

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
    return tracer.attr("warnings");
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
    core::walk_files(root, [&](const std::string &p) { extend(dispatch_fn(path_cls(tw::py::from_utf8(p)))); });
    return out;
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
