#include "bindings/common.h"

#include <unordered_map>
#include <vector>

namespace tw::py {

std::string to_utf8(nb::handle s) {
    Py_ssize_t n = 0;
    const char *p = PyUnicode_AsUTF8AndSize(s.ptr(), &n);
    if (p) return std::string(p, size_t(n));
    PyErr_Clear();
    PyObject *b = PyUnicode_AsEncodedString(s.ptr(), "utf-8", "surrogateescape");
    if (!b) {
        PyErr_Clear();
        b = PyUnicode_AsEncodedString(s.ptr(), "utf-8", "surrogatepass");
        if (!b) throw nb::python_error();
    }
    std::string out(PyBytes_AS_STRING(b), size_t(PyBytes_GET_SIZE(b)));
    Py_DECREF(b);
    return out;
}

namespace {
// Whether the text holds the three-byte form of a surrogate (a lone surrogate of decoded
// JSON text, or of host text passed through).
bool has_surrogate(std::string_view s) {
    for (size_t i = s.find('\xED'); i != std::string_view::npos && i + 1 < s.size(); i = s.find('\xED', i + 1))
        if (static_cast<unsigned char>(s[i + 1]) >= 0xA0) return true;
    return false;
}
}  // namespace

nb::str from_utf8(std::string_view s) {
    if (has_surrogate(s)) {
        PyObject *o = PyUnicode_DecodeUTF8(s.data(), Py_ssize_t(s.size()), "surrogatepass");
        if (o) return nb::steal<nb::str>(o);
        PyErr_Clear();
    }
    PyObject *o = PyUnicode_DecodeUTF8(s.data(), Py_ssize_t(s.size()), "surrogateescape");
    if (!o) throw nb::python_error();
    return nb::steal<nb::str>(o);
}

namespace {
nb::object scalar_to_python(const Value &v) {
    switch (v.kind()) {
        case Value::Kind::Null: return nb::none();
        case Value::Kind::Bool: return nb::bool_(v.as_bool());
        case Value::Kind::Int: return nb::steal(PyLong_FromLongLong(v.as_int()));
        case Value::Kind::BigInt: {
            PyObject *o = PyLong_FromString(v.as_bigint().digits.c_str(), nullptr, 10);
            if (!o) throw nb::python_error();
            return nb::steal(o);
        }
        case Value::Kind::Float: return nb::steal(PyFloat_FromDouble(v.as_float()));
        case Value::Kind::Str: return from_utf8(v.as_str());
        default: return nb::none();
    }
}
}  // namespace

namespace {
// Map keys repeat across records ("provider", "instance_type", ...): one shared str each.
PyObject *key_str(const std::string &key) {
    static std::unordered_map<std::string, PyObject *> cache;
    constexpr size_t kMaxKeys = 8192, kMaxKeyBytes = 64;
    if (key.size() <= kMaxKeyBytes) {
        auto it = cache.find(key);
        if (it != cache.end()) {
            Py_INCREF(it->second);
            return it->second;
        }
    }
    PyObject *o = from_utf8(key).release().ptr();
    if (key.size() <= kMaxKeyBytes && cache.size() < kMaxKeys) {
        PyUnicode_InternInPlace(&o);
        Py_INCREF(o);
        cache.emplace(key, o);
    }
    return o;
}
}  // namespace

nb::object key_to_python(const std::string &key) { return nb::steal(key_str(key)); }

nb::object to_python(const Value &root) {
    if (!root.is_list() && !root.is_map()) return scalar_to_python(root);
    // Iterative, so that deeply nested values cannot exhaust the native stack.
    struct Frame {
        const Value *v;
        size_t next;
        nb::object obj;
    };
    auto make = [](const Value &v) -> nb::object {
        if (v.is_list()) return nb::steal(PyList_New(0));
        return nb::steal(PyDict_New());
    };
    std::vector<Frame> stack;
    stack.push_back({&root, 0, make(root)});
    nb::object result = stack.back().obj;
    while (!stack.empty()) {
        Frame &f = stack.back();
        const Value *child = nullptr;
        nb::object key;
        if (f.v->is_list()) {
            const auto &l = f.v->as_list();
            if (f.next >= l.size()) {
                stack.pop_back();
                continue;
            }
            child = &l[f.next++];
        } else {
            const auto &m = f.v->as_map();
            if (f.next >= m.size()) {
                stack.pop_back();
                continue;
            }
            const auto &item = *(m.begin() + long(f.next++));
            key = nb::steal(key_str(item.first));
            child = &item.second;
        }
        nb::object co = (child->is_list() || child->is_map()) ? make(*child) : scalar_to_python(*child);
        if (f.v->is_list()) {
            if (PyList_Append(f.obj.ptr(), co.ptr()) != 0) throw nb::python_error();
        } else {
            if (PyDict_SetItem(f.obj.ptr(), key.ptr(), co.ptr()) != 0) throw nb::python_error();
        }
        if (child->is_list() || child->is_map()) stack.push_back({child, 0, co});
    }
    return result;
}

namespace {
bool scalar_from_python(nb::handle h, Value &out) {
    PyObject *o = h.ptr();
    if (o == Py_None) {
        out = Value();
    } else if (PyBool_Check(o)) {
        out = Value(o == Py_True);
    } else if (PyLong_Check(o)) {
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
        if (overflow) {
            nb::object s = nb::steal(PyObject_Str(o));
            if (!s.is_valid()) throw nb::python_error();
            out = Value(BigInt{to_utf8(s)});
        } else {
            if (v == -1 && PyErr_Occurred()) throw nb::python_error();
            out = Value(int64_t(v));
        }
    } else if (PyFloat_Check(o)) {
        out = Value(PyFloat_AS_DOUBLE(o));
    } else if (PyUnicode_Check(o)) {
        out = Value(to_utf8(h));
    } else {
        return false;
    }
    return true;
}
}  // namespace

Value from_python(nb::handle root) {
    Value out;
    if (scalar_from_python(root, out)) return out;
    // Containers: dicts become maps, lists and tuples become lists; anything else is None.
    // Iterative, so that deeply nested values cannot exhaust the native stack.
    struct Frame {
        nb::object src;  // a dict, or a list/tuple (a tuple kept as its list)
        Value *dst;
        Py_ssize_t pos;
        bool is_map;
    };
    std::vector<Frame> stack;
    auto open = [&stack](nb::handle h, Value &dst) {
        if (PyDict_Check(h.ptr())) {
            dst = make_map();
            stack.push_back({nb::borrow(h), &dst, 0, true});
        } else if (PyList_Check(h.ptr()) || PyTuple_Check(h.ptr())) {
            dst = make_list();
            nb::object l = PyList_Check(h.ptr()) ? nb::borrow(h) : nb::steal(PySequence_List(h.ptr()));
            dst.as_list().reserve(size_t(PyList_GET_SIZE(l.ptr())));
            stack.push_back({l, &dst, 0, false});
        } else {
            dst = Value();
        }
    };
    open(root, out);
    while (!stack.empty()) {
        Frame &f = stack.back();
        Value *dst;
        PyObject *val;
        if (f.is_map) {
            PyObject *k;
            if (!PyDict_Next(f.src.ptr(), &f.pos, &k, &val)) {
                stack.pop_back();
                continue;
            }
            std::string key;
            if (PyUnicode_Check(k)) {
                key = to_utf8(k);
            } else {
                nb::object s = nb::steal(PyObject_Str(k));
                if (!s.is_valid()) throw nb::python_error();
                key = to_utf8(s);
            }
            Map &m = f.dst->as_map();
            m.set(key, Value());
            dst = m.find(key);
        } else {
            if (f.pos >= PyList_GET_SIZE(f.src.ptr())) {
                stack.pop_back();
                continue;
            }
            val = PyList_GET_ITEM(f.src.ptr(), f.pos++);
            List &l = f.dst->as_list();
            l.emplace_back();
            dst = &l.back();
        }
        // `dst` stays valid: its container is not touched again until this child is complete.
        if (!scalar_from_python(val, *dst)) open(val, *dst);
    }
    return out;
}

void write_stdout(std::string_view text, bool flush) {
    nb::object out = nb::module_::import_("sys").attr("stdout");
    if (out.is_none()) return;
    out.attr("write")(from_utf8(text));
    if (flush) out.attr("flush")();
}

void print_line(std::string_view text) {
    std::string s(text);
    s += '\n';
    write_stdout(s);
}

nb::object make_class(nb::module_ &mod, const char *name, const char *doc, nb::handle base) {
    nb::dict ns;
    ns["__module__"] = mod.attr("__name__");
    ns["__qualname__"] = name;
    ns["__doc__"] = doc ? nb::object(nb::str(doc)) : nb::none();
    nb::tuple bases = base.is_valid() ? nb::make_tuple(base) : nb::make_tuple();
    nb::object type = nb::borrow(reinterpret_cast<PyObject *>(&PyType_Type));
    nb::object cls = type(nb::str(name), bases, ns);
    mod.attr(name) = cls;
    return cls;
}

void add_static(nb::handle cls, const char *name, nb::object fn) {
    nb::object sm = nb::steal(PyStaticMethod_New(fn.ptr()));
    nb::setattr(cls, name, sm);
}

void add_classmethod(nb::handle cls, const char *name, nb::object fn) {
    nb::object cm = nb::steal(PyClassMethod_New(fn.ptr()));
    nb::setattr(cls, name, cm);
}

void add_attr(nb::handle cls, const char *name, nb::object fn) { nb::setattr(cls, name, fn); }

bool resolves_to(nb::handle owner, const char *name, nb::handle native) {
    // Look the raw attribute up along the MRO without binding it.
    nb::object mro = owner.attr("__mro__");
    for (nb::handle klass : mro) {
        PyObject *d = reinterpret_cast<PyTypeObject *>(klass.ptr())->tp_dict;
        PyObject *v = d ? PyDict_GetItemString(d, name) : nullptr;
        if (!v) continue;
        if (v == native.ptr()) return true;
        if (PyObject_TypeCheck(v, &PyStaticMethod_Type) || PyObject_TypeCheck(v, &PyClassMethod_Type)) {
            nb::object inner = nb::steal(PyObject_GetAttrString(v, "__func__"));
            if (!inner.is_valid()) {
                PyErr_Clear();
                return false;
            }
            return inner.ptr() == native.ptr();
        }
        return false;
    }
    return false;
}

[[noreturn]] void type_error(const char *func, const char *param, const char *expected, nb::handle got) {
    std::string msg = std::string(func) + "() argument '" + param + "' must be " + expected + ", not " +
                      nb::type_name(got.type()).c_str();
    throw nb::type_error(msg.c_str());
}

std::string text_arg(const char *func, const char *param, nb::handle h) {
    if (!PyUnicode_Check(h.ptr())) type_error(func, param, "str", h);
    return to_utf8(h);
}

std::string fspath(nb::handle h) {
    nb::object p = nb::steal(PyOS_FSPath(h.ptr()));
    if (!p.is_valid()) throw nb::python_error();
    if (PyBytes_Check(p.ptr())) return std::string(PyBytes_AS_STRING(p.ptr()), size_t(PyBytes_GET_SIZE(p.ptr())));
    return to_utf8(p);
}

}  // namespace tw::py
