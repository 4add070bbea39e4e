// Module stackreader: the class StackReader over the reader core.
#include "bindings/common.h"
#include "core/fsutil.h"
#include "core/pytext.h"
#include "core/stackreader/reader.h"

using namespace tw;

namespace tw::py {
void bind_stackreader_formats(nb::module_ &, nb::handle);
}

namespace {

// Module-lifetime references to the native operations (never released).
nb::handle g_parse_tf_file, g_parse_vars, g_resolve, g_parse_json, g_parse_cfn;

const stack::Sink &printer() {
    static const stack::Sink sink = [](std::string_view line) { py::print_line(line); };
    return sink;
}

std::string path_arg(const char *func, const char *param, nb::handle h) {
    if (!PyUnicode_Check(h.ptr()) && !nb::hasattr(h, "__fspath__")) py::type_error(func, param, "str", h);
    return py::fspath(h);
}

Map map_arg(const char *func, const char *param, nb::handle h) {
    if (h.is_none()) return Map();
    if (!PyDict_Check(h.ptr())) py::type_error(func, param, "dict", h);
    return py::from_python(h).as_map();
}

void extend(nb::list &out, const std::vector<Value> &records) {
    for (const auto &r : records) out.append(py::to_python(r));
}

// The resolver for a class: native unless the class replaced resolve_value.
std::optional<stack::Resolver> resolver_for(nb::handle cls, const Map &variables, const Map &locals) {
    if (py::resolves_to(cls, "resolve_value", g_resolve)) return std::nullopt;
    nb::object vars = py::to_python(Value(variables)), locs = py::to_python(Value(locals));
    nb::object fn = cls.attr("resolve_value");
    return stack::Resolver([fn, vars, locs](const Value &v) {
        return py::from_python(fn(py::to_python(v), vars, locs));
    });
}

std::vector<Value> tf_file(nb::handle cls, const std::string &path, const Map &variables, const Map &locals) {
    auto resolver = resolver_for(cls, variables, locals);
    return stack::parse_tf_file(path, variables, locals, printer(), resolver ? &*resolver : nullptr);
}

nb::object variables_pair(const std::pair<Map, Map> &p) {
    return nb::make_tuple(py::to_python(Value(p.first)), py::to_python(Value(p.second)));
}

std::pair<Map, Map> pair_from_host(nb::handle result) {
    nb::tuple t = nb::tuple(result);
    if (nb::len(t) != 2) throw nb::value_error("parse_variables_and_locals must return (variables, locals)");
    Value a = py::from_python(t[0]), b = py::from_python(t[1]);
    return {a.is_map() ? a.as_map() : Map(), b.is_map() ? b.as_map() : Map()};
}

// The scan's readers: the native ones, or the class's own where it replaced them.
class HostReaders : public stack::ScanReaders {
public:
    explicit HostReaders(nb::handle cls)
        : cls_(cls),
          native_vars_(py::resolves_to(cls, "parse_variables_and_locals", g_parse_vars)),
          native_tf_(py::resolves_to(cls, "parse_tf_file", g_parse_tf_file)),
          native_json_(py::resolves_to(cls, "parse_json_file", g_parse_json)),
          native_cfn_(py::resolves_to(cls, "parse_cloudformation", g_parse_cfn)),
          native_resolve_(py::resolves_to(cls, "resolve_value", g_resolve)) {}

    bool native_terraform() const override { return native_vars_ && native_tf_ && native_resolve_; }

    std::pair<Map, Map> variables(const std::string &root, const std::vector<std::string> *tf_files,
                                  std::unordered_map<std::string, std::string> &texts) override {
        if (native_vars_) return ScanReaders::variables(root, tf_files, texts);
        return pair_from_host(cls_.attr("parse_variables_and_locals")(py::from_utf8(root)));
    }
    std::vector<Value> tf_file(const std::string &path, const Map &variables, const Map &locals,
                               const std::string *text, const stack::Sink &out) override {
        if (native_tf_) {
            auto resolver = resolver_for(cls_, variables, locals);
            if (!resolver) return ScanReaders::tf_file(path, variables, locals, text, out);
            if (text) return stack::parse_tf_text(pytext::strip_bom(*text), variables, locals, &*resolver);
            return stack::parse_tf_file(path, variables, locals, out, &*resolver);
        }
        if (!host_vars_.is_valid()) {
            host_vars_ = py::to_python(Value(variables));
            host_locals_ = py::to_python(Value(locals));
        }
        return records_from_host(cls_.attr("parse_tf_file")(py::from_utf8(path), host_vars_, host_locals_));
    }
    std::vector<Value> json_file(const std::string &path, const stack::Sink &out) override {
        if (native_json_) return ScanReaders::json_file(path, out);
        return records_from_host(cls_.attr("parse_json_file")(py::from_utf8(path)));
    }
    std::vector<Value> cloudformation(const std::string &path, const stack::Sink &out) override {
        if (native_cfn_) return ScanReaders::cloudformation(path, out);
        return records_from_host(cls_.attr("parse_cloudformation")(py::from_utf8(path)));
    }

private:
    static std::vector<Value> records_from_host(nb::handle records) {
        std::vector<Value> out;
        for (nb::handle r : records) out.push_back(py::from_python(r));
        return out;
    }

    nb::handle cls_;
    bool native_vars_, native_tf_, native_json_, native_cfn_, native_resolve_;
    nb::object host_vars_, host_locals_;
};

nb::list parse_tf_dir(nb::handle cls, nb::handle directory_obj, nb::handle excludes_obj, nb::handle modules_obj) {
    py::GcPause pause;
    std::string directory = path_arg("parse_tf_dir", "directory", directory_obj);
    std::vector<std::string> excludes;
    if (!excludes_obj.is_none()) {
        if (!PyList_Check(excludes_obj.ptr())) py::type_error("parse_tf_dir", "exclude_patterns", "list", excludes_obj);
        for (nb::handle e : excludes_obj) {
            if (!PyUnicode_Check(e.ptr())) py::type_error("parse_tf_dir", "exclude_patterns", "list of str", e);
            excludes.push_back(py::to_utf8(e));
        }
    }
    stack::ScanOptions options;
    int modules = PyObject_IsTrue(modules_obj.ptr());
    if (modules < 0) throw nb::python_error();
    options.modules = modules == 1;
    HostReaders readers(cls);
    nb::list out;
    extend(out, stack::scan(directory, excludes, readers, printer(), options));
    return out;
}

}  // namespace

NB_MODULE(stackreader, m) {
    // The patterns as the host's compiled patterns, made on first use: importing the host's
    // re module costs the hook more than the whole scan of a small repository.
    nb::handle mod = m;
    m.def("__getattr__", [mod](nb::str name) -> nb::object {
        std::string n = py::to_utf8(name);
        const char *text = n == "RESOURCE_PATTERN"     ? stack::kResourcePattern
                           : n == "ASSIGNMENT_PATTERN" ? stack::kAssignmentPattern
                                                       : nullptr;
        if (!text) {
            std::string msg = "module 'tally_warden.stackreader' has no attribute '" + n + "'";
            throw nb::attribute_error(msg.c_str());
        }
        nb::object compiled = nb::module_::import_("re").attr("compile")(text);
        nb::setattr(mod, name, compiled);
        return compiled;
    }, nb::arg("name"));
    nb::set excludes;
    for (const char *e : stack::kDefaultExcludes) excludes.add(e);
    m.attr("default_excludes") = excludes;

    nb::object cls = py::make_class(m, "StackReader",
                                    "Finds infrastructure-as-code files and turns each declared resource into a record.");

    py::add_classmethod(cls, "parse_tf_dir", nb::cpp_function(
        [](nb::handle cls, nb::handle directory, nb::handle exclude_patterns, nb::handle modules) {
            return parse_tf_dir(cls, directory, exclude_patterns, modules);
        },
        nb::name("parse_tf_dir"),
        nb::sig("def parse_tf_dir(cls, directory: str | os.PathLike[str], exclude_patterns: list[str] | None = None, *, modules: bool = False) -> list[dict[str, typing.Any]]"),
        nb::arg("cls"), nb::arg("directory"), nb::arg("exclude_patterns").none() = nb::none(),
        nb::kw_only(), nb::arg("modules").none() = nb::bool_(false)));

    g_parse_tf_file = nb::cpp_function(
        [](nb::handle cls, nb::handle filepath, nb::handle variables, nb::handle locals_dict) {
            std::string path = path_arg("parse_tf_file", "filepath", filepath);
            Map v = map_arg("parse_tf_file", "variables", variables);
            Map l = map_arg("parse_tf_file", "locals_dict", locals_dict);
            nb::list out;
            extend(out, tf_file(cls, path, v, l));
            return out;
        },
        nb::name("parse_tf_file"),
        nb::sig("def parse_tf_file(cls, filepath: str | os.PathLike[str], variables: dict[str, typing.Any] | None = None, locals_dict: dict[str, typing.Any] | None = None) -> list[dict[str, typing.Any]]"),
        nb::arg("cls"), nb::arg("filepath"), nb::arg("variables").none() = nb::none(),
        nb::arg("locals_dict").none() = nb::none()).release();
    py::add_classmethod(cls, "parse_tf_file", nb::borrow(g_parse_tf_file));

    g_parse_vars = nb::cpp_function(
        [](nb::handle, nb::handle directory) {
            return variables_pair(stack::parse_variables_and_locals(
                path_arg("parse_variables_and_locals", "directory", directory)));
        },
        nb::name("parse_variables_and_locals"),
        nb::sig("def parse_variables_and_locals(cls, directory: str | os.PathLike[str]) -> tuple[dict[str, typing.Any], dict[str, typing.Any]]"),
        nb::arg("cls"), nb::arg("directory")).release();
    py::add_classmethod(cls, "parse_variables_and_locals", nb::borrow(g_parse_vars));

    g_resolve = nb::cpp_function(
        [](nb::handle val, nb::handle variables, nb::handle locals_dict) -> nb::object {
            if (!PyUnicode_Check(val.ptr())) return nb::borrow(val);
            Map v = map_arg("resolve_value", "variables", variables);
            Map l = map_arg("resolve_value", "locals_dict", locals_dict);
            return py::to_python(stack::resolve_value(py::from_python(val), v, l));
        },
        nb::name("resolve_value"),
        nb::sig("def resolve_value(val: typing.Any, variables: dict[str, typing.Any] | None, locals_dict: dict[str, typing.Any] | None) -> typing.Any"),
        nb::arg("val").none(), nb::arg("variables").none(), nb::arg("locals_dict").none()).release();
    py::add_static(cls, "resolve_value", nb::borrow(g_resolve));

    py::bind_stackreader_formats(m, cls);

    // The readers of the other formats, as the scan calls them natively.
    auto native_of = [&](const char *name) -> nb::handle {
        PyObject *d = reinterpret_cast<PyTypeObject *>(cls.ptr())->tp_dict;
        PyObject *v = PyDict_GetItemString(d, name);
        if (!v) return nb::handle();
        nb::object f = nb::steal(PyObject_GetAttrString(v, "__func__"));
        if (!f.is_valid()) {
            PyErr_Clear();
            return nb::handle(v).inc_ref();
        }
        return f.release();
    };
    g_parse_json = native_of("parse_json_file");
    g_parse_cfn = native_of("parse_cloudformation");
}
