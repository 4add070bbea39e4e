// Bindings of the plan JSON, CloudFormation and Pulumi readers. Every operation is a
// classmethod that dispatches through the class it was called on: where the class resolves
// a reader to the native function, the document stays native; where a subclass overrides
// one, the document is converted and the override is called through the host.
#include <unordered_map>

#include "bindings/common.h"
#include "core/fsutil.h"
#include "core/stackreader/cloudformation.h"
#include "core/stackreader/formats.h"
#include "core/stackreader/yaml.h"

namespace tw::py {

namespace {

using json::Node;
using stack::JsonKind;

enum Fn { kPlanData, kPulumiData, kCfData, kYaml, kFnCount };
const char *const kFnNames[kFnCount] = {"parse_plan_json_data", "parse_pulumi_json_data",
                                        "parse_cloudformation_data", "parse_yaml"};
PyObject *g_native[kFnCount];  // the native function objects, kept for the module's life

bool native(nb::handle cls, Fn f) { return resolves_to(cls, kFnNames[f], g_native[f]); }

// Host text of UTF-8 text; text with surrogates (from host text passed in) goes the long way.
nb::object str_obj(std::string_view s) {
    PyObject *o = PyUnicode_DecodeUTF8(s.data(), Py_ssize_t(s.size()), nullptr);
    if (o) return nb::steal(o);
    PyErr_Clear();
    return from_utf8(s);
}

// Host objects of a decoded document, converted in one pass over the tape with an explicit
// stack; map keys are shared between maps, as the host's decoder does.
class TapeConverter {
public:
    nb::object convert(Node n) {
        if (!n.on_tape()) return to_python(*n.value());
        const uint64_t *tape = n.tape();
        const uint8_t *strings = n.strings();
        size_t i = n.index();
        char t = Node::tape_type(tape[i]);
        if (t != '{' && t != '[') return scalar(tape, strings, i);
        nb::object result = open(tape[i]);
        struct Frame {
            PyObject *obj;  // borrowed: owned by its parent (or by result)
            bool map;
            Py_ssize_t next;
        };
        std::vector<Frame> stack{{result.ptr(), t == '{', 0}};
        size_t end = uint32_t(tape[i]);
        ++i;
        while (i < end) {
            char c = Node::tape_type(tape[i]);
            if (c == '}' || c == ']') {
                Frame &f = stack.back();
                if (!f.map && f.next != PyList_GET_SIZE(f.obj)) {
                    // Fewer elements than counted (never expected): drop the empty slots.
                    if (PyList_SetSlice(f.obj, f.next, PyList_GET_SIZE(f.obj), nullptr) != 0)
                        throw nb::python_error();
                }
                stack.pop_back();
                ++i;
                continue;
            }
            Frame &top = stack.back();
            PyObject *key = nullptr;
            if (top.map) {
                key = memo_key(Node::tape_str(tape, strings, i));
                ++i;
                c = Node::tape_type(tape[i]);
            }
            bool container = c == '{' || c == '[';
            nb::object child = container ? open(tape[i]) : scalar(tape, strings, i);
            PyObject *borrowed = child.ptr();
            if (top.map) {
                if (PyDict_SetItem(top.obj, key, borrowed) != 0) throw nb::python_error();
            } else if (top.next < PyList_GET_SIZE(top.obj)) {
                PyList_SET_ITEM(top.obj, top.next++, child.release().ptr());
            } else {
                if (PyList_Append(top.obj, borrowed) != 0) throw nb::python_error();
                ++top.next;
            }
            if (container) {
                stack.push_back({borrowed, c == '{', 0});
                ++i;
            } else {
                i = Node::after(tape, i);
            }
        }
        return result;
    }

private:
    std::unordered_map<std::string_view, nb::object> memo_;

    PyObject *memo_key(std::string_view k) {
        auto it = memo_.find(k);
        if (it != memo_.end()) return it->second.ptr();
        return memo_.emplace(k, str_obj(k)).first->second.ptr();
    }

    static nb::object open(uint64_t w) {
        if (Node::tape_type(w) == '{') return nb::steal(PyDict_New());
        // The element count is stored with the bracket (saturated for very long lists).
        uint32_t count = uint32_t((w >> 32) & 0xFFFFFF);
        if (count == 0xFFFFFF) count = 0;
        PyObject *l = PyList_New(count);
        if (!l) throw nb::python_error();
        return nb::steal(l);
    }

    static nb::object scalar(const uint64_t *tape, const uint8_t *strings, size_t i) {
        switch (Node::tape_type(tape[i])) {
            case '"': return str_obj(Node::tape_str(tape, strings, i));
            case 'l': {
                int64_t x;
                std::memcpy(&x, &tape[i + 1], sizeof x);
                return nb::steal(PyLong_FromLongLong(x));
            }
            case 'u': {
                uint64_t x;
                std::memcpy(&x, &tape[i + 1], sizeof x);
                return nb::steal(PyLong_FromUnsignedLongLong(x));
            }
            case 'd': {
                double d;
                std::memcpy(&d, &tape[i + 1], sizeof d);
                return nb::steal(PyFloat_FromDouble(d));
            }
            case 't': return nb::borrow(Py_True);
            case 'f': return nb::borrow(Py_False);
            default: return nb::none();
        }
    }
};

struct SvHash {
    using is_transparent = void;
    size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
};

nb::object checked(PyObject *o) {
    if (!o) throw nb::python_error();
    return nb::steal(o);
}

// Host text objects for map keys, made once per distinct key.
class KeyMemo {
public:
    PyObject *get(std::string_view k) {
        auto it = keys_.find(k);
        if (it == keys_.end()) it = keys_.emplace(std::string(k), str_obj(k)).first;
        return it->second.ptr();
    }

private:
    std::unordered_map<std::string, nb::object, SvHash, std::equal_to<>> keys_;
};

// Host objects of a YAML document, built iteratively.
nb::object doc_to_py(const stack::yaml::Doc &doc, uint32_t item, KeyMemo &keys) {
    using Kind = stack::yaml::Doc::Kind;
    auto scalar = [&](const stack::yaml::Doc::Item &it) -> nb::object {
        switch (it.kind) {
            case Kind::Int: return checked(PyLong_FromLongLong(it.i));
            case Kind::Float: return checked(PyFloat_FromDouble(it.d));
            case Kind::Big: return checked(PyLong_FromString(doc.big(it.big).c_str(), nullptr, 10));
            default: return str_obj(it.text);
        }
    };
    const auto &top = doc.item(item);
    if (top.kind != Kind::Map && top.kind != Kind::List) return scalar(top);
    auto open = [&](const stack::yaml::Doc::Item &it) {
        return checked(it.kind == Kind::Map ? PyDict_New() : PyList_New(it.count));
    };
    nb::object result = open(top);
    struct Frame {
        PyObject *obj;  // borrowed: owned by its parent (or by result)
        bool map;
        uint32_t next;
        Py_ssize_t pos;
    };
    std::vector<Frame> stack{{result.ptr(), top.kind == Kind::Map, top.first, 0}};
    while (!stack.empty()) {
        Frame &f = stack.back();
        if (f.next == stack::yaml::Doc::kNone) {
            stack.pop_back();
            continue;
        }
        const auto &en = doc.entry(f.next);
        f.next = en.next;
        const auto &it = doc.item(en.value);
        bool container = it.kind == Kind::Map || it.kind == Kind::List;
        nb::object child = container ? open(it) : scalar(it);
        PyObject *borrowed = child.ptr();
        if (f.map) {
            if (PyDict_SetItem(f.obj, keys.get(en.key), borrowed) != 0) throw nb::python_error();
        } else {
            PyList_SET_ITEM(f.obj, f.pos++, child.release().ptr());
        }
        if (container) stack.push_back({borrowed, it.kind == Kind::Map, it.first, 0});
    }
    return result;
}

// A read-only view of a host object for the CloudFormation conversion (borrowed: valid
// while the object it views lives unchanged).
class PyNode {
public:
    static inline KeyMemo *lookup_keys = nullptr;  // set while a conversion runs

    explicit PyNode(PyObject *o) : o_(o) {}
    bool is_map() const { return PyDict_Check(o_); }
    bool is_list() const { return PyList_Check(o_); }
    bool is_str() const { return PyUnicode_Check(o_); }
    const char *type_name() const { return Py_TYPE(o_)->tp_name; }
    PyObject *ptr() const { return o_; }
    std::string_view str() const {
        Py_ssize_t n = 0;
        const char *p = PyUnicode_AsUTF8AndSize(o_, &n);
        if (!p) throw nb::python_error();
        return {p, size_t(n)};
    }
    std::optional<PyNode> find(std::string_view k) const {
        nb::object own;
        PyObject *key = lookup_keys ? lookup_keys->get(k) : (own = str_obj(k)).ptr();
        PyObject *v = PyDict_GetItemWithError(o_, key);
        if (!v) {
            if (PyErr_Occurred()) throw nb::python_error();
            return std::nullopt;
        }
        return PyNode(v);
    }
    // Entries with text keys (other keys cannot name anything the conversion reads).
    std::vector<std::pair<std::string_view, PyNode>> items() const {
        std::vector<std::pair<std::string_view, PyNode>> out;
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        while (PyDict_Next(o_, &pos, &k, &v))
            if (PyUnicode_Check(k)) out.emplace_back(PyNode(k).str(), PyNode(v));
        return out;
    }
    template <class F> void each(F &&f) const {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(o_); ++i) f(PyNode(PyList_GET_ITEM(o_, i)));
    }

private:
    PyObject *o_;
};

// Builds CloudFormation records as host objects, sharing the template's own values.
struct PyOut {
    using Obj = nb::object;
    TapeConverter conv;
    KeyMemo keys;
    nb::object k_provider = str_obj("provider"), k_type = str_obj("type"), k_name = str_obj("name"),
               k_props = str_obj("properties");

    nb::object map() { return checked(PyDict_New()); }
    void set(nb::object &m, std::string_view k, const nb::object &v) {
        if (PyDict_SetItem(m.ptr(), keys.get(k), v.ptr()) != 0) throw nb::python_error();
    }
    nb::object from(const PyNode &n) { return nb::borrow(n.ptr()); }
    nb::object from(const Node &n) { return conv.convert(n); }
    nb::object from(const stack::yaml::DocNode &n) { return doc_to_py(*n.doc(), n.index(), keys); }
    nb::object record(const std::string &provider, const std::string &type, std::string_view name,
                      nb::object props) {
        nb::dict d;
        d[k_provider] = str_obj(provider);
        d[k_type] = str_obj(type);
        d[k_name] = str_obj(name);
        d[k_props] = std::move(props);
        return d;
    }
};

template <class N> nb::list cf_to_py(const N &data) {
    py::GcPause pause;
    KeyMemo lookups;
    KeyMemo *outer = PyNode::lookup_keys;
    PyNode::lookup_keys = &lookups;
    struct Restore {
        KeyMemo *outer;
        ~Restore() { PyNode::lookup_keys = outer; }
    } restore{outer};
    PyOut b;
    nb::list out;
    for (auto &r : stack::cf::convert(data, b)) out.append(r);
    return out;
}

nb::list values_to_py(const std::vector<Value> &records) {
    py::GcPause pause;
    nb::list out;
    for (const Value &r : records) out.append(to_python(r));
    return out;
}

nb::list plan_to_py(const std::vector<stack::PlanRecord> &records) {
    py::GcPause pause;
    TapeConverter conv;
    nb::list out;
    nb::object k_provider = str_obj("provider"), k_type = str_obj("type"), k_name = str_obj("name"),
               k_props = str_obj("properties");
    for (const auto &r : records) {
        nb::dict d;
        d[k_provider] = str_obj(r.provider);
        d[k_type] = r.type ? conv.convert(*r.type) : nb::none();
        d[k_name] = r.name ? conv.convert(*r.name) : nb::none();
        d[k_props] = r.properties ? conv.convert(*r.properties) : nb::object(nb::dict());
        out.append(d);
    }
    return out;
}

// Raises the host exception for a reader's shape error.
[[noreturn]] void raise_shape(const stack::ShapeError &e) {
    PyErr_SetString(dynamic_cast<const stack::AttrError *>(&e) ? PyExc_AttributeError : PyExc_TypeError, e.what());
    throw nb::python_error();
}

// The reader for a kind of document, by name.
Fn reader_of(JsonKind k) {
    switch (k) {
        case JsonKind::Plan: return kPlanData;
        case JsonKind::Pulumi: return kPulumiData;
        default: return kCfData;
    }
}

// Runs a reader on a decoded document through `cls`. Throws ShapeError (native) or the
// host's exception (override).
nb::object run_reader(nb::handle cls, Fn f, Node doc) {
    if (native(cls, f)) {
        switch (f) {
            case kPlanData: return plan_to_py(stack::read_plan(doc));
            case kPulumiData: return values_to_py(stack::read_pulumi(doc));
            default: return cf_to_py(doc);
        }
    }
    nb::object data;
    {
        py::GcPause pause;
        TapeConverter conv;
        data = conv.convert(doc);
    }
    return cls.attr(kFnNames[f])(data);
}

// Runs `body`; a shape error or a host exception (not a BaseException such as
// KeyboardInterrupt) becomes the reader's error line and an empty list.
template <class F> nb::object guarded(std::string_view prefix, const std::string &path, F &&body) {
    std::string text;
    try {
        return body();
    } catch (const stack::ShapeError &e) {
        text = e.what();
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_Exception)) throw;
        nb::object s = nb::steal(PyObject_Str(e.value().ptr()));
        if (!s.is_valid()) throw nb::python_error();
        text = to_utf8(s);
    }
    print_line(std::string(prefix) + path + ": " + text);
    return nb::list();
}

std::string path_arg(const char *func, nb::handle h) {
    if (PyUnicode_Check(h.ptr())) return to_utf8(h);
    if (!PyBytes_Check(h.ptr()) && PyObject_HasAttrString(h.ptr(), "__fspath__")) {
        nb::object p = nb::steal(PyOS_FSPath(h.ptr()));
        if (!p.is_valid()) throw nb::python_error();
        if (PyUnicode_Check(p.ptr())) return to_utf8(p);
    }
    type_error(func, "filepath", "str", h);
}

void check_dict(const char *func, nb::handle data) {
    if (!PyDict_Check(data.ptr())) type_error(func, "data", "dict", data);
}

// Reads a file known to be of one kind (plan or Pulumi export).
nb::object parse_known(nb::handle cls, nb::handle filepath, const char *func, Fn f, std::string_view prefix) {
    std::string path = path_arg(func, filepath);
    json::Document doc;
    return guarded(prefix, path, [&]() -> nb::object {
        std::string error;
        if (!json::load_file(path, doc, error)) throw stack::ShapeError(error);
        return run_reader(cls, f, doc.root());
    });
}

nb::object parse_json_file(nb::handle cls, nb::handle filepath) {
    std::string path = path_arg("parse_json_file", filepath);
    json::Document doc;
    std::string error;
    if (!json::load_file(path, doc, error)) {
        print_line(std::string(stack::kJsonFileError) + path + ": " + error);
        return nb::list();
    }
    JsonKind kind = stack::route_json(doc.root());
    if (kind == JsonKind::None) return nb::list();
    return guarded(stack::kJsonFileError, path, [&] { return run_reader(cls, reader_of(kind), doc.root()); });
}

nb::object parse_cloudformation(nb::handle cls, nb::handle filepath) {
    std::string path = path_arg("parse_cloudformation", filepath);
    std::string text, error;
    if (!stack::read_template_text(path, text, error)) {
        print_line(std::string(stack::kCfReadError) + path + ": " + error);
        return nb::list();
    }
    if (stack::template_is_json(text)) {
        json::Document doc;
        return guarded(stack::kCfJsonError, path, [&]() -> nb::object {
            std::string err;
            if (!json::load(text, doc, err)) throw stack::ShapeError(err);
            return run_reader(cls, kCfData, doc.root());
        });
    }
    return guarded(stack::kCfYamlError, path, [&]() -> nb::object {
        nb::object root;
        if (native(cls, kYaml)) {
            stack::yaml::Doc doc(text);
            if (native(cls, kCfData)) return cf_to_py(stack::yaml::DocNode(&doc, doc.root()));
            py::GcPause pause;
            KeyMemo keys;
            root = doc_to_py(doc, doc.root(), keys);
        } else {
            root = cls.attr(kFnNames[kYaml])(from_utf8(text));
            if (native(cls, kCfData)) return cf_to_py(PyNode(root.ptr()));
        }
        return cls.attr(kFnNames[kCfData])(root);
    });
}

template <class Read> nb::object read_data(const char *func, nb::handle data, Read &&read) {
    check_dict(func, data);
    Value v = from_python(data);
    try {
        return read(Node(&v));
    } catch (const stack::ShapeError &e) {
        raise_shape(e);
    }
}

nb::dict type_map(std::span<const stack::TypePair> pairs) {
    nb::dict d;
    for (const auto &[k, v] : pairs) d[k] = v;
    return d;
}

}  // namespace

void bind_stackreader_formats(nb::module_ &m, nb::handle cls) {
    m.attr("CF_TYPE_MAP") = type_map(stack::cf_type_map());
    m.attr("PULUMI_TYPE_MAP") = type_map(stack::pulumi_type_map());

    auto add = [&](const char *name, nb::object fn, int slot = -1) {
        if (slot >= 0) g_native[slot] = fn.inc_ref().ptr();
        add_classmethod(cls, name, fn);
    };
    add("parse_json_file",
        nb::cpp_function([](nb::handle c, nb::handle p) { return parse_json_file(c, p); }, nb::arg("cls"),
                         nb::arg("filepath"), nb::name("parse_json_file"),
                         nb::sig("def parse_json_file(cls, filepath: str | os.PathLike[str]) -> list[dict[str, typing.Any]]"),
                         "Reads one .json file as a plan, a Pulumi export or a CloudFormation template."));
    add("parse_plan_json",
        nb::cpp_function(
            [](nb::handle c, nb::handle p) {
                return parse_known(c, p, "parse_plan_json", kPlanData, stack::kPlanError);
            },
            nb::arg("cls"), nb::arg("filepath"), nb::name("parse_plan_json"),
            nb::sig("def parse_plan_json(cls, filepath: str | os.PathLike[str]) -> list[dict[str, typing.Any]]"),
            "Reads a Terraform plan JSON file."));
    add("parse_pulumi_json",
        nb::cpp_function(
            [](nb::handle c, nb::handle p) {
                return parse_known(c, p, "parse_pulumi_json", kPulumiData, stack::kPulumiError);
            },
            nb::arg("cls"), nb::arg("filepath"), nb::name("parse_pulumi_json"),
            nb::sig("def parse_pulumi_json(cls, filepath: str | os.PathLike[str]) -> list[dict[str, typing.Any]]"),
            "Reads a Pulumi stack export."));
    add("parse_plan_json_data",
        nb::cpp_function(
            [](nb::handle, nb::handle data) {
                return read_data("parse_plan_json_data", data,
                                 [](Node n) -> nb::object { return plan_to_py(stack::read_plan(n)); });
            },
            nb::arg("cls"), nb::arg("data"), nb::name("parse_plan_json_data"),
            nb::sig("def parse_plan_json_data(cls, data: typing.Any) -> list[dict[str, typing.Any]]"),
            "Resource records of a decoded Terraform plan."),
        kPlanData);
    add("parse_pulumi_json_data",
        nb::cpp_function(
            [](nb::handle, nb::handle data) {
                return read_data("parse_pulumi_json_data", data,
                                 [](Node n) -> nb::object { return values_to_py(stack::read_pulumi(n)); });
            },
            nb::arg("cls"), nb::arg("data"), nb::name("parse_pulumi_json_data"),
            nb::sig("def parse_pulumi_json_data(cls, data: typing.Any) -> list[dict[str, typing.Any]]"),
            "Resource records of a decoded Pulumi stack export."),
        kPulumiData);
    add("parse_cloudformation_data",
        nb::cpp_function(
            [](nb::handle, nb::handle data) {
                check_dict("parse_cloudformation_data", data);
                return cf_to_py(PyNode(data.ptr()));
            },
            nb::arg("cls"), nb::arg("data"), nb::name("parse_cloudformation_data"),
            nb::sig("def parse_cloudformation_data(cls, data: typing.Any) -> list[dict[str, typing.Any]]"),
            "Resource records of a decoded CloudFormation template."),
        kCfData);
    add("parse_cloudformation",
        nb::cpp_function([](nb::handle c, nb::handle p) { return parse_cloudformation(c, p); }, nb::arg("cls"),
                         nb::arg("filepath"), nb::name("parse_cloudformation"),
                         nb::sig("def parse_cloudformation(cls, filepath: str | os.PathLike[str]) -> list[dict[str, typing.Any]]"),
                         "Reads a CloudFormation template in JSON or YAML."));
    add("parse_yaml",
        nb::cpp_function(
            [](nb::handle, nb::handle text) {
                if (!PyUnicode_Check(text.ptr())) type_error("parse_yaml", "text", "str", text);
                std::string utf8 = to_utf8(text);
                stack::yaml::Doc doc(utf8);
                py::GcPause pause;
                KeyMemo keys;
                return doc_to_py(doc, doc.root(), keys);
            },
            nb::arg("cls"), nb::arg("text"), nb::name("parse_yaml"),
            nb::sig("def parse_yaml(cls, text: str) -> dict[str, typing.Any]"),
            "The root map of a YAML document, read by indentation."),
        kYaml);
}

}  // namespace tw::py
