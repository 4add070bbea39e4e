#include "bindings/hotspotter_walk.h"

#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "core/pytext.h"

namespace tw::py::hotspot {

namespace core = tw::hotspot;

namespace {

// Interned attribute names, kept for the life of the process.
struct Names {
    PyObject *fields, *lineno, *func, *id, *value, *attr, *elts, *keys, *names, *name;
    PyObject *asname, *module, *targets, *target, *context_expr, *optional_vars, *arg, *annotation;
    PyObject *iter, *orelse, *generators;
    PyObject *loop_depth, *loop_nodes, *function_stack, *warnings, *lines, *filepath;
    PyObject *visit, *generic_visit, *get_call_name, *is_expensive_call, *add_warning;
    PyObject *strip, *append, *pop, *empty;
    PyObject *k_file, *k_line, *k_type, *k_severity, *k_message, *k_snippet;
    PyObject *deprecated_const[5];
} S;

// Host types and the native operations of the tracer class (borrowed: the class dict and
// the module's `_natives` tuple keep them alive).
struct Globals {
    PyTypeObject *AST, *List, *Dict, *Name, *Attribute, *Call;
    // Nodes that tracing reads without a handler of the class, and the displays and
    // constants that make a value local.
    PyTypeObject *ImportFrom, *AnnAssign, *withitem, *arg, *Await, *Constant, *ListComp;
    std::vector<PyTypeObject *> literals;
    PyObject *nv_visit_constant;
    PyObject *visit, *generic_visit, *function_def, *loop_for, *loop_while, *list_comp, *call, *assign, *import;
    PyObject *get_call_name, *is_expensive_call, *add_warning;
} G;

PyObject *intern(const char *s) {
    PyObject *o = PyUnicode_InternFromString(s);
    if (!o) throw nb::python_error();
    return o;
}

// What a node kind's handler is, resolved against the tracer's class.
enum class H : uint8_t {
    Generic, Python, FunctionDef, For, While, ListComp, Call, Assign, Import,
    // Generic visits that first record what tracing needs.
    ImportFrom, AnnAssign, WithItem, Arg
};

struct TypeInfo {
    PyTypeObject *type = nullptr;
    H kind = H::Generic;
    bool has_fields = false;
    // Fields can be read from the instance dict: generic attribute access, and no data
    // descriptor on the type for any field name.
    bool dict_fields = false;
    std::vector<PyObject *> fields;  // owned
    PyObject *bound = nullptr;       // owned; the bound handler for H::Python
};

// Per-walk state: handler resolution and field names per node type, cached once per walk.
class Ctx {
public:
    PyObject *self = nullptr;
    Ctx *prev = nullptr;
    bool visit_native = true, generic_native = true, add_warning_native = true, call_name_native = true,
         expensive_native = true;
    core::Scope scope;
    // Calls inside the chain of a call already reported by a loop rule (`a().b()` is one).
    std::unordered_set<PyObject *> chained;
    // Parts of a loop that run once per run of the loop, not per iteration: the iterable of a
    // for statement or of a comprehension's first generator, and the else part. `once_active`
    // counts those being walked.
    std::unordered_set<PyObject *> once;
    int64_t once_active = 0;

    ~Ctx() {
        for (auto &ti : infos_) {
            for (PyObject *f : ti->fields) Py_DECREF(f);
            Py_XDECREF(ti->bound);
            Py_XDECREF(reinterpret_cast<PyObject *>(ti->type));
        }
        for (auto &v : extra_fields_)
            for (PyObject *f : v) Py_DECREF(f);
        Py_XDECREF(inst_dict_);
        Py_XDECREF(cls_);
        Py_XDECREF(self);
    }

    bool init(PyObject *s) {
        self = s;
        Py_INCREF(self);
        cls_ = reinterpret_cast<PyObject *>(Py_TYPE(self));
        Py_INCREF(cls_);
        if (Py_TYPE(self)->tp_dictoffset != 0) {
            inst_dict_ = PyObject_GenericGetDict(self, nullptr);
            if (!inst_dict_) PyErr_Clear();
        }
        bool from_inst = false;
        auto native = [&](PyObject *name, PyObject *fn) {
            PyObject *raw = lookup(name, from_inst);
            return raw == fn && !from_inst;
        };
        visit_native = native(S.visit, G.visit);
        generic_native = native(S.generic_visit, G.generic_visit);
        add_warning_native = native(S.add_warning, G.add_warning);
        call_name_native = native(S.get_call_name, G.get_call_name);
        expensive_native = native(S.is_expensive_call, G.is_expensive_call);
        return !PyErr_Occurred();
    }

    TypeInfo *info(PyTypeObject *t) {
        size_t mask = slots_.size() - 1;
        size_t h = (reinterpret_cast<uintptr_t>(t) >> 4) & mask;
        while (slots_[h]) {
            if (slots_[h]->type == t) return slots_[h];
            h = (h + 1) & mask;
        }
        TypeInfo *ti = resolve(t);
        if (!ti) return nullptr;
        slots_[h] = ti;
        if (++used_ * 2 > slots_.size()) rehash();
        return ti;
    }

    // Field names of a node whose type has none (read from the instance, as the host does).
    const std::vector<PyObject *> *instance_fields(PyObject *node) {
        PyObject *f = PyObject_GetAttr(node, S.fields);
        if (!f) return nullptr;
        PyObject *seq = PySequence_Fast(f, "_fields must be a sequence");
        Py_DECREF(f);
        if (!seq) return nullptr;
        std::vector<PyObject *> v;
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq); ++i) {
            PyObject *x = PySequence_Fast_GET_ITEM(seq, i);
            Py_INCREF(x);
            v.push_back(x);
        }
        Py_DECREF(seq);
        extra_fields_.push_back(std::move(v));
        return &extra_fields_.back();
    }

private:
    PyObject *cls_ = nullptr;
    PyObject *inst_dict_ = nullptr;
    std::vector<std::unique_ptr<TypeInfo>> infos_;
    std::vector<TypeInfo *> slots_ = std::vector<TypeInfo *>(256, nullptr);
    size_t used_ = 0;
    std::deque<std::vector<PyObject *>> extra_fields_;

    // The raw attribute as getattr(self, name) would find it for a function: the instance
    // dict first, then the class's MRO. Borrowed.
    PyObject *lookup(PyObject *name, bool &from_inst) {
        from_inst = false;
        if (inst_dict_) {
            PyObject *v = PyDict_GetItemWithError(inst_dict_, name);
            if (v) {
                from_inst = true;
                return v;
            }
            if (PyErr_Occurred()) return nullptr;
        }
        return _PyType_Lookup(reinterpret_cast<PyTypeObject *>(cls_), name);
    }

    void rehash() {
        std::vector<TypeInfo *> old(slots_.size() * 2, nullptr);
        old.swap(slots_);
        size_t mask = slots_.size() - 1;
        for (TypeInfo *ti : old) {
            if (!ti) continue;
            size_t h = (reinterpret_cast<uintptr_t>(ti->type) >> 4) & mask;
            while (slots_[h]) h = (h + 1) & mask;
            slots_[h] = ti;
        }
    }

    static H traced_kind(PyTypeObject *t) {
        if (t == G.ImportFrom) return H::ImportFrom;
        if (t == G.AnnAssign) return H::AnnAssign;
        if (t == G.withitem) return H::WithItem;
        if (t == G.arg) return H::Arg;
        return H::Generic;
    }

    TypeInfo *resolve(PyTypeObject *t) {
        auto ti = std::make_unique<TypeInfo>();
        ti->type = t;
        Py_INCREF(reinterpret_cast<PyObject *>(t));
        TypeInfo *raw_ti = ti.get();
        infos_.push_back(std::move(ti));
        PyObject *f = PyObject_GetAttr(reinterpret_cast<PyObject *>(t), S.fields);
        if (f) {
            PyObject *seq = PySequence_Fast(f, "_fields must be a sequence");
            Py_DECREF(f);
            if (!seq) return nullptr;
            for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq); ++i) {
                PyObject *x = PySequence_Fast_GET_ITEM(seq, i);
                Py_INCREF(x);
                raw_ti->fields.push_back(x);
            }
            Py_DECREF(seq);
            raw_ti->has_fields = true;
            raw_ti->dict_fields = t->tp_getattro == PyObject_GenericGetAttr && t->tp_dictoffset > 0;
            for (PyObject *name : raw_ti->fields) {
                if (!PyUnicode_Check(name)) {
                    raw_ti->dict_fields = false;
                    continue;
                }
                PyObject *cattr = _PyType_Lookup(t, name);
                if (cattr && Py_TYPE(cattr)->tp_descr_set) raw_ti->dict_fields = false;
            }
        } else if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
        } else {
            return nullptr;
        }
        PyObject *tn = PyType_GetName(t);
        if (!tn) return nullptr;
        PyObject *mname = PyUnicode_FromFormat("visit_%U", tn);
        Py_DECREF(tn);
        if (!mname) return nullptr;
        PyUnicode_InternInPlace(&mname);
        bool from_inst = false;
        PyObject *raw = lookup(mname, from_inst);
        if (!raw && PyErr_Occurred()) {
            Py_DECREF(mname);
            return nullptr;
        }
        H kind = H::Python;
        if (!raw) kind = traced_kind(t);
        else if (from_inst) kind = H::Python;
        else if (raw == G.function_def) kind = H::FunctionDef;
        else if (raw == G.loop_for) kind = H::For;
        else if (raw == G.loop_while) kind = H::While;
        else if (raw == G.list_comp) kind = H::ListComp;
        else if (raw == G.call) kind = H::Call;
        else if (raw == G.assign) kind = H::Assign;
        else if (raw == G.import) kind = H::Import;
        else if (raw == G.nv_visit_constant) {
            // The base visitor's constant handler only forwards to the handlers of the old
            // constant node names; without any of them it is the generic visit.
            kind = H::Generic;
            for (PyObject *dn : S.deprecated_const) {
                bool fi = false;
                if (lookup(dn, fi)) kind = H::Python;
            }
        }
        if (kind == H::Python) {
            raw_ti->bound = PyObject_GetAttr(self, mname);
            if (!raw_ti->bound) {
                Py_DECREF(mname);
                return nullptr;
            }
        }
        Py_DECREF(mname);
        raw_ti->kind = kind;
        return raw_ti;
    }
};

thread_local Ctx *current_ctx = nullptr;

// Entry from the host into a native operation of the tracer: reuses the context of a walk
// already running on the same tracer, and counts against the host's recursion limit.
class Entry {
public:
    explicit Entry(PyObject *self) {
        if (Py_EnterRecursiveCall(" while visiting a syntax tree")) throw nb::python_error();
        if (current_ctx && current_ctx->self == self) {
            ctx_ = current_ctx;
            return;
        }
        own_.emplace();
        if (!own_->init(self)) {
            Py_LeaveRecursiveCall();
            throw nb::python_error();
        }
        own_->prev = current_ctx;
        current_ctx = &*own_;
        ctx_ = &*own_;
    }
    ~Entry() {
        if (own_ && current_ctx == &*own_) current_ctx = own_->prev;
        Py_LeaveRecursiveCall();
    }
    Ctx &ctx() { return *ctx_; }

private:
    std::optional<Ctx> own_;
    Ctx *ctx_ = nullptr;
};

// ---- small host helpers: each returns false / nullptr with the host's error set ----

bool get_int64(PyObject *o, int64_t &out) {
    out = PyLong_AsLongLong(o);
    return !(out == -1 && PyErr_Occurred());
}

bool attr_int64(PyObject *obj, PyObject *name, int64_t &out) {
    PyObject *v = PyObject_GetAttr(obj, name);
    if (!v) return false;
    bool ok = get_int64(v, out);
    Py_DECREF(v);
    return ok;
}

bool call_method1(PyObject *obj, PyObject *name, PyObject *arg) {
    PyObject *r = PyObject_CallMethodOneArg(obj, name, arg);
    if (!r) return false;
    Py_DECREF(r);
    return true;
}

// self.<name>.append(item)
bool attr_append(PyObject *self, PyObject *name, PyObject *item) {
    PyObject *l = PyObject_GetAttr(self, name);
    if (!l) return false;
    bool ok = PyList_CheckExact(l) ? PyList_Append(l, item) == 0 : call_method1(l, S.append, item);
    Py_DECREF(l);
    return ok;
}

// self.<name>.pop()
bool attr_pop(PyObject *self, PyObject *name) {
    PyObject *l = PyObject_GetAttr(self, name);
    if (!l) return false;
    PyObject *r = PyObject_CallMethodNoArgs(l, S.pop);
    Py_DECREF(l);
    if (!r) return false;
    Py_DECREF(r);
    return true;
}

// self.<name> += delta
bool attr_add(PyObject *self, PyObject *name, long delta) {
    PyObject *v = PyObject_GetAttr(self, name);
    if (!v) return false;
    PyObject *d = PyLong_FromLong(delta < 0 ? -delta : delta);
    if (!d) {
        Py_DECREF(v);
        return false;
    }
    PyObject *n = delta < 0 ? PyNumber_InPlaceSubtract(v, d) : PyNumber_InPlaceAdd(v, d);
    Py_DECREF(v);
    Py_DECREF(d);
    if (!n) return false;
    int rc = PyObject_SetAttr(self, name, n);
    Py_DECREF(n);
    return rc == 0;
}

bool utf8_of(PyObject *s, std::string &out, const char *what) {
    if (!PyUnicode_Check(s)) {
        PyErr_Format(PyExc_TypeError, "%s must be str, not %s", what, Py_TYPE(s)->tp_name);
        return false;
    }
    Py_ssize_t n = 0;
    const char *p = PyUnicode_AsUTF8AndSize(s, &n);
    if (!p) return false;
    out.assign(p, size_t(n));
    return true;
}

PyObject *new_text(std::string_view s) {
    return PyUnicode_DecodeUTF8(s.data(), Py_ssize_t(s.size()), "surrogateescape");
}

// ---- tracer operations ----

// The finding as the tracer records it: the snippet is the numbered line, stripped.
bool native_add_warning(PyObject *self, PyObject *lineno, PyObject *wtype, PyObject *severity, PyObject *message) {
    PyObject *lines = PyObject_GetAttr(self, S.lines);
    if (!lines) return false;
    PyObject *snippet = nullptr;
    int64_t ln = 0;
    bool in_range = false;
    if (PyLong_Check(lineno)) {
        int overflow = 0;
        ln = PyLong_AsLongLongAndOverflow(lineno, &overflow);
        if (!overflow && ln > 0) {
            Py_ssize_t n = PyObject_Size(lines);
            if (n < 0) {
                Py_DECREF(lines);
                return false;
            }
            in_range = ln <= n;
        }
    }
    if (in_range) {
        PyObject *line = PySequence_GetItem(lines, Py_ssize_t(ln - 1));
        if (line) {
            snippet = PyObject_CallMethodNoArgs(line, S.strip);
            Py_DECREF(line);
        }
    } else {
        snippet = S.empty;
        Py_INCREF(snippet);
    }
    Py_DECREF(lines);
    if (!snippet) return false;
    PyObject *file = PyObject_GetAttr(self, S.filepath);
    PyObject *d = file ? PyDict_New() : nullptr;
    bool ok = d && PyDict_SetItem(d, S.k_file, file) == 0 && PyDict_SetItem(d, S.k_line, lineno) == 0 &&
              PyDict_SetItem(d, S.k_type, wtype) == 0 && PyDict_SetItem(d, S.k_severity, severity) == 0 &&
              PyDict_SetItem(d, S.k_message, message) == 0 && PyDict_SetItem(d, S.k_snippet, snippet) == 0;
    Py_XDECREF(file);
    Py_DECREF(snippet);
    if (ok) ok = attr_append(self, S.warnings, d);
    Py_XDECREF(d);
    return ok;
}

bool add_warning(Ctx &c, int64_t lineno, const core::Finding &f) {
    PyObject *ln = PyLong_FromLongLong(lineno);
    PyObject *msg = ln ? new_text(f.message) : nullptr;
    if (!msg) {
        Py_XDECREF(ln);
        return false;
    }
    PyObject *type = static_text(f.type), *sev = static_text(f.severity);
    bool ok;
    if (c.add_warning_native) {
        ok = native_add_warning(c.self, ln, type, sev, msg);
    } else {
        PyObject *r = PyObject_CallMethodObjArgs(c.self, S.add_warning, ln, type, sev, msg, nullptr);
        ok = r != nullptr;
        Py_XDECREF(r);
    }
    Py_DECREF(ln);
    Py_DECREF(msg);
    return ok;
}

// Dotted name of a callee expression, built without recursion.
bool is_literal(PyObject *node) {
    for (PyTypeObject *t : G.literals)
        if (Py_IS_TYPE(node, t)) return true;
    return false;
}

// `base_kind` receives where the name starts: at a name, a literal or anything else.
bool native_call_name(PyObject *func, std::string &out, core::Base *base_kind = nullptr) {
    std::vector<PyObject *> parts;  // owned attribute names, nullptr for a call
    auto release = [&] {
        for (PyObject *p : parts) Py_XDECREF(p);
    };
    PyObject *cur = func;
    Py_INCREF(cur);
    std::string base;
    if (base_kind) *base_kind = core::Base::Name;
    for (;;) {
        if (PyObject_TypeCheck(cur, G.Name)) {
            PyObject *id = PyObject_GetAttr(cur, S.id);
            Py_DECREF(cur);
            bool ok = id && utf8_of(id, base, "Name.id");
            Py_XDECREF(id);
            if (!ok) {
                release();
                return false;
            }
            break;
        }
        PyObject *next;
        if (PyObject_TypeCheck(cur, G.Attribute)) {
            PyObject *attr = PyObject_GetAttr(cur, S.attr);
            if (!attr) {
                Py_DECREF(cur);
                release();
                return false;
            }
            parts.push_back(attr);
            next = PyObject_GetAttr(cur, S.value);
        } else if (PyObject_TypeCheck(cur, G.Call)) {
            parts.push_back(nullptr);
            next = PyObject_GetAttr(cur, S.func);
        } else {
            if (base_kind) *base_kind = is_literal(cur) ? core::Base::Literal : core::Base::Other;
            Py_DECREF(cur);
            break;
        }
        Py_DECREF(cur);
        if (!next) {
            release();
            return false;
        }
        cur = next;
    }
    out = std::move(base);
    std::string attr;
    for (auto it = parts.rbegin(); it != parts.rend(); ++it) {
        if (!*it) {
            out += "()";
            continue;
        }
        if (!utf8_of(*it, attr, "Attribute.attr")) {
            release();
            return false;
        }
        if (out.empty()) out = attr;
        else {
            out += '.';
            out += attr;
        }
    }
    release();
    return true;
}

// Remembers the calls of the chain below `node` (a().b().c()): one finding covers them.
bool mark_chain(Ctx &c, PyObject *node) {
    PyObject *cur = PyObject_GetAttr(node, S.func);
    while (cur && PyObject_TypeCheck(cur, G.Attribute)) {
        PyObject *value = PyObject_GetAttr(cur, S.value);
        Py_DECREF(cur);
        cur = value;
        if (cur && PyObject_TypeCheck(cur, G.Call)) {
            c.chained.insert(cur);  // borrowed: the tree keeps the node alive for the walk
            PyObject *f = PyObject_GetAttr(cur, S.func);
            Py_DECREF(cur);
            cur = f;
        }
    }
    if (!cur) return false;
    Py_DECREF(cur);
    return true;
}

// The dotted name of an expression as tracing reads values: calls marked "()", an awaited
// value read through its await.
bool value_name(PyObject *value, std::string &out, core::Base &base, bool &literal) {
    literal = is_literal(value);
    if (literal && PyObject_TypeCheck(value, G.Constant)) {
        // None, numbers and booleans are placeholders, not values whose methods are known.
        PyObject *v = PyObject_GetAttr(value, S.value);
        if (!v) return false;
        literal = PyUnicode_Check(v) || PyBytes_Check(v);
        Py_DECREF(v);
        if (!literal) base = core::Base::Other;
        return true;
    }
    if (literal) return true;
    if (PyObject_TypeCheck(value, G.Await)) {
        PyObject *inner = PyObject_GetAttr(value, S.value);
        if (!inner) return false;
        bool ok = value_name(inner, out, base, literal);
        Py_DECREF(inner);
        return ok;
    }
    return native_call_name(value, out, &base);
}

// target = value for tracing; targets other than names and attributes of names are skipped.
bool record_assign(Ctx &c, PyObject *target, PyObject *value) {
    if (c.scope.empty()) return true;
    if (!PyObject_TypeCheck(target, G.Name) && !PyObject_TypeCheck(target, G.Attribute)) return true;
    std::string t, v;
    core::Base tb = core::Base::Name, vb = core::Base::Name;
    bool literal = false;
    if (!native_call_name(target, t, &tb)) return false;
    if (tb != core::Base::Name || t.find('(') != std::string::npos) return true;
    if (!value_name(value, v, vb, literal)) return false;
    c.scope.assign(t, v, vb, literal);
    return true;
}

// A name's annotation as text: a dotted name, or the text of a string annotation.
bool annotation_text(PyObject *annotation, std::string &out) {
    if (annotation == Py_None) return true;
    if (PyObject_TypeCheck(annotation, G.Constant)) {
        PyObject *v = PyObject_GetAttr(annotation, S.value);
        if (!v) return false;
        bool ok = !PyUnicode_Check(v) || utf8_of(v, out, "annotation");
        Py_DECREF(v);
        return ok;
    }
    core::Base b = core::Base::Name;
    if (!native_call_name(annotation, out, &b)) return false;
    if (b != core::Base::Name) out.clear();
    return true;
}

// Reads field `name` of `node` and passes it (borrowed) to `use`.
template <class F>
bool with_field(PyObject *node, PyObject *name, F &&use) {
    PyObject *v = PyObject_GetAttr(node, name);
    if (!v) return false;
    bool ok = use(v);
    Py_DECREF(v);
    return ok;
}

bool text_field(PyObject *node, PyObject *name, std::string &out) {
    return with_field(node, name, [&](PyObject *v) { return v == Py_None || utf8_of(v, out, "name"); });
}

bool visit_import_from(Ctx &c, PyObject *node) {
    std::string module;
    if (!text_field(node, S.module, module)) return false;
    return with_field(node, S.names, [&](PyObject *names) {
        PyObject *seq = PySequence_Fast(names, "names must be a sequence");
        if (!seq) return false;
        bool ok = true;
        for (Py_ssize_t i = 0; ok && i < PySequence_Fast_GET_SIZE(seq); ++i) {
            PyObject *alias = PySequence_Fast_GET_ITEM(seq, i);
            std::string name, asname;
            ok = text_field(alias, S.name, name) && text_field(alias, S.asname, asname);
            if (ok && name != "*") c.scope.import_from(module, name, asname);
        }
        Py_DECREF(seq);
        return ok;
    });
}

bool visit_ann_assign(Ctx &c, PyObject *node) {
    if (c.scope.empty()) return true;
    return with_field(node, S.target, [&](PyObject *target) {
        return with_field(node, S.value, [&](PyObject *value) {
            if (value != Py_None) return record_assign(c, target, value);
            if (!PyObject_TypeCheck(target, G.Name)) return true;
            std::string name, type;
            return text_field(target, S.id, name) && with_field(node, S.annotation, [&](PyObject *a) {
                       if (!annotation_text(a, type)) return false;
                       c.scope.annotate(name, type);
                       return true;
                   });
        });
    });
}

bool visit_with_item(Ctx &c, PyObject *node) {
    return with_field(node, S.optional_vars, [&](PyObject *target) {
        if (target == Py_None) return true;
        return with_field(node, S.context_expr, [&](PyObject *value) { return record_assign(c, target, value); });
    });
}

bool visit_arg(Ctx &c, PyObject *node) {
    if (c.scope.empty()) return true;
    std::string name, type;
    if (!text_field(node, S.arg, name)) return false;
    return with_field(node, S.annotation, [&](PyObject *a) {
        if (!annotation_text(a, type)) return false;
        c.scope.annotate(name, type);
        return true;
    });
}

bool visit_call(Ctx &c, PyObject *node) {
    PyObject *func = PyObject_GetAttr(node, S.func);
    if (!func) return false;
    std::string name;
    bool ok;
    core::Base base = core::Base::Name;
    if (c.call_name_native) {
        ok = native_call_name(func, name, &base);
    } else {
        PyObject *r = PyObject_CallMethodOneArg(c.self, S.get_call_name, func);
        ok = r && utf8_of(r, name, "call name");
        Py_XDECREF(r);
    }
    Py_DECREF(func);
    if (!ok) return false;
    std::string lower = pytext::is_ascii_lower(name) ? name : pytext::lower(name);
    int64_t depth = 0;
    if (!attr_int64(c.self, S.loop_depth, depth)) return false;
    // What runs once per run of a loop is not inside that loop.
    depth -= c.once_active + (!c.once.empty() && c.once.count(node));
    if (depth <= 0 && !core::is_blocking_sleep(lower)) return true;
    bool expensive = false;
    if (depth > 0) {
        if (c.expensive_native) {
            expensive = core::is_expensive_call(lower);
        } else {
            PyObject *ls = new_text(lower);
            PyObject *r = ls ? PyObject_CallMethodOneArg(c.self, S.is_expensive_call, ls) : nullptr;
            Py_XDECREF(ls);
            if (!r) return false;
            int t = PyObject_IsTrue(r);
            Py_DECREF(r);
            if (t < 0) return false;
            expensive = t;
        }
    }
    int64_t lineno = 0;
    if (!attr_int64(node, S.lineno, lineno)) return false;
    int64_t loop_line = lineno;
    if (depth > 0 && expensive) {
        PyObject *nodes = PyObject_GetAttr(c.self, S.loop_nodes);
        if (!nodes) return false;
        Py_ssize_t n = PyObject_Size(nodes);
        if (n > 0) {
            PyObject *last = PySequence_GetItem(nodes, n - 1);
            ok = last && attr_int64(last, S.lineno, loop_line);
            Py_XDECREF(last);
        } else {
            ok = n == 0;
        }
        Py_DECREF(nodes);
        if (!ok) return false;
    }
    core::CallTrace trace;
    bool in_chain = !c.chained.empty() && c.chained.count(node);
    if (depth > 0 && !in_chain) trace = c.scope.trace(name, base);
    else trace.origin = core::Origin::Local;  // already reported with its chain: no loop finding
    std::vector<core::Finding> found;
    core::call_findings(name, lower, depth, loop_line, expensive, trace, lineno, found);
    bool loop_finding = false;
    for (const auto &f : found) {
        loop_finding = loop_finding || f.type != "BLOCKING_SLEEP";
        if (!add_warning(c, lineno, f)) return false;
    }
    return !loop_finding || mark_chain(c, node);
}

// Size of the list or dict display in `value`, or -1.
bool display_size(PyObject *value, Py_ssize_t &size) {
    size = -1;
    PyObject *items = nullptr;
    if (PyObject_TypeCheck(value, G.List)) items = PyObject_GetAttr(value, S.elts);
    else if (PyObject_TypeCheck(value, G.Dict)) items = PyObject_GetAttr(value, S.keys);
    else return true;
    if (!items) return false;
    size = PyObject_Size(items);
    Py_DECREF(items);
    return size >= 0;
}

bool visit_assign(Ctx &c, PyObject *node) {
    PyObject *value = PyObject_GetAttr(node, S.value);
    if (!value) return false;
    Py_ssize_t size = -1;
    bool ok = display_size(value, size) && (c.scope.empty() || with_field(node, S.targets, [&](PyObject *targets) {
        if (!PyList_Check(targets)) return true;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(targets); ++i)
            if (!record_assign(c, PyList_GET_ITEM(targets, i), value)) return false;
        return true;
    }));
    Py_DECREF(value);
    if (!ok) return false;
    if (size <= 500) return true;
    int64_t lineno = 0;
    if (!attr_int64(node, S.lineno, lineno)) return false;
    core::Finding f;
    if (!core::large_literal_finding(size, lineno, f)) return true;
    return add_warning(c, lineno, f);
}

bool visit_import(Ctx &c, PyObject *node) {
    PyObject *names = PyObject_GetAttr(node, S.names);
    if (!names) return false;
    PyObject *it = PyObject_GetIter(names);
    Py_DECREF(names);
    if (!it) return false;
    bool ok = true;
    std::optional<int64_t> lineno;
    while (PyObject *alias = PyIter_Next(it)) {
        PyObject *name = PyObject_GetAttr(alias, S.name);
        if (!name) {
            Py_DECREF(alias);
            ok = false;
            break;
        }
        std::string n, asname;
        bool heavy = false;
        if (PyUnicode_Check(name)) {
            ok = utf8_of(name, n, "alias.name") && text_field(alias, S.asname, asname);
            heavy = ok && core::is_heavy_module(n);
            if (ok) c.scope.import_module(n, asname);
        }
        Py_DECREF(name);
        Py_DECREF(alias);
        if (!ok) break;
        if (!heavy) continue;
        if (!lineno) {
            int64_t v = 0;
            if (!attr_int64(node, S.lineno, v)) {
                ok = false;
                break;
            }
            lineno = v;
        }
        core::Finding f;
        core::heavy_import_finding(n, *lineno, f);
        if (!add_warning(c, *lineno, f)) {
            ok = false;
            break;
        }
    }
    Py_DECREF(it);
    return ok && !PyErr_Occurred();
}

// Records the parts of a loop node that run once (see Ctx::once).
bool mark_once(Ctx &c, PyObject *node, bool for_loop) {
    auto add_list = [&](PyObject *l) {
        if (PyList_Check(l))
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(l); ++i) c.once.insert(PyList_GET_ITEM(l, i));
        return true;
    };
    if (PyObject_TypeCheck(node, G.ListComp)) {
        return with_field(node, S.generators, [&](PyObject *gens) {
            if (!PyList_Check(gens) || PyList_GET_SIZE(gens) == 0) return true;
            return with_field(PyList_GET_ITEM(gens, 0), S.iter, [&](PyObject *it) {
                c.once.insert(it);
                return true;
            });
        });
    }
    if (for_loop && !with_field(node, S.iter, [&](PyObject *it) {
            c.once.insert(it);
            return true;
        }))
        return false;
    return with_field(node, S.orelse, add_list);
}

// The part of a handler that comes before the generic visit of its node.
bool pre_action(Ctx &c, H kind, PyObject *node) {
    switch (kind) {
        case H::FunctionDef: return attr_append(c.self, S.function_stack, node);
        case H::For:
        case H::While:
            return attr_add(c.self, S.loop_depth, 1) && attr_append(c.self, S.loop_nodes, node) &&
                   mark_once(c, node, kind == H::For);
        case H::ListComp: return attr_add(c.self, S.loop_depth, 1) && mark_once(c, node, false);
        case H::Call: return visit_call(c, node);
        case H::Assign: return visit_assign(c, node);
        case H::Import: return visit_import(c, node);
        case H::ImportFrom: return visit_import_from(c, node);
        case H::AnnAssign: return visit_ann_assign(c, node);
        case H::WithItem: return visit_with_item(c, node);
        case H::Arg: return visit_arg(c, node);
        default: return true;
    }
}

// The part of a handler that comes after the generic visit of its node.
bool post_action(Ctx &c, H kind) {
    switch (kind) {
        case H::FunctionDef: return attr_pop(c.self, S.function_stack);
        case H::For:
        case H::While: return attr_pop(c.self, S.loop_nodes) && attr_add(c.self, S.loop_depth, -1);
        case H::ListComp: return attr_add(c.self, S.loop_depth, -1);
        default: return true;
    }
}

inline bool is_ast(PyObject *o) {
    if (o == Py_None || PyUnicode_CheckExact(o) || PyLong_CheckExact(o)) return false;
    return PyObject_TypeCheck(o, G.AST);
}

// Depth-first walk on an explicit stack: each frame is a node whose children are being
// visited, with the handler tail to run once they are done.
class Walker {
public:
    explicit Walker(Ctx &c) : c_(c) { stack_.reserve(32); }
    ~Walker() {
        for (Frame &f : stack_) {
            Py_XDECREF(f.list);
            Py_DECREF(f.node);
        }
    }

    // The native generic visit of `node` (a new reference, stolen), then `post`.
    bool push(PyObject *node, const TypeInfo *ti, H post) {
        const std::vector<PyObject *> *fields = ti && ti->has_fields ? &ti->fields : c_.instance_fields(node);
        if (!fields) {
            Py_DECREF(node);
            return false;
        }
        if (fields->empty() && post == H::Generic) {
            Py_DECREF(node);
            return true;
        }
        bool dict_fields = ti && ti->has_fields && ti->dict_fields;
        bool once = !c_.once.empty() && c_.once.count(node);
        c_.once_active += once;
        stack_.push_back({node, fields, post, dict_fields, once, 0, nullptr, 0});
        return true;
    }

    // The generic visit inside a handler: native, or the class's own generic_visit.
    bool generic(PyObject *node, const TypeInfo *ti, H post) {
        if (c_.generic_native) return push(node, ti, post);
        bool ok = call_method1(c_.self, S.generic_visit, node) && post_action(c_, post);
        Py_DECREF(node);
        return ok;
    }

    // self.visit(node) of a child (a new reference, stolen).
    bool dispatch(PyObject *node) {
        if (!c_.visit_native) {
            bool ok = call_method1(c_.self, S.visit, node);
            Py_DECREF(node);
            return ok;
        }
        return dispatch_native(node);
    }

    bool dispatch_native(PyObject *node) {
        TypeInfo *ti = c_.info(Py_TYPE(node));
        if (!ti) {
            Py_DECREF(node);
            return false;
        }
        switch (ti->kind) {
            case H::Python: {
                PyObject *r = PyObject_CallOneArg(ti->bound, node);
                Py_DECREF(node);
                if (!r) return false;
                Py_DECREF(r);
                return true;
            }
            case H::Generic: return generic(node, ti, H::Generic);
            default:
                if (!pre_action(c_, ti->kind, node)) {
                    Py_DECREF(node);
                    return false;
                }
                return generic(node, ti, ti->kind);
        }
    }

    bool run() {
        while (!stack_.empty()) {
            PyObject *child = nullptr;
            int r = next_child(stack_.back(), child);
            if (r < 0) return false;
            if (r == 0) {
                Frame f = stack_.back();
                stack_.pop_back();
                c_.once_active -= f.once;
                Py_XDECREF(f.list);
                bool ok = post_action(c_, f.post);
                Py_DECREF(f.node);
                if (!ok) return false;
                continue;
            }
            if (!dispatch(child)) return false;
        }
        return true;
    }

private:
    struct Frame {
        PyObject *node;
        const std::vector<PyObject *> *fields;
        H post;
        bool dict_fields;
        bool once;
        uint32_t field;
        PyObject *list;
        Py_ssize_t index;
    };
    Ctx &c_;
    std::vector<Frame> stack_;

    // The next child node in field order (1, `child` a new reference), none left (0), or an
    // error (-1). A field is read only when the previous ones have been visited.
    static int next_child(Frame &f, PyObject *&child) {
        for (;;) {
            if (f.list) {
                if (f.index < PyList_GET_SIZE(f.list)) {
                    PyObject *item = PyList_GET_ITEM(f.list, f.index++);
                    if (is_ast(item)) {
                        Py_INCREF(item);
                        child = item;
                        return 1;
                    }
                    continue;
                }
                Py_CLEAR(f.list);
            }
            if (f.field >= f.fields->size()) return 0;
            PyObject *name = (*f.fields)[f.field++];
            PyObject *v = nullptr;
            if (f.dict_fields) {
                PyObject *d = *reinterpret_cast<PyObject **>(reinterpret_cast<char *>(f.node) +
                                                             Py_TYPE(f.node)->tp_dictoffset);
                if (d) {
                    v = PyDict_GetItemWithError(d, name);
                    if (v) Py_INCREF(v);
                    else if (PyErr_Occurred()) return -1;
                }
            }
            if (!v) v = PyObject_GetAttr(f.node, name);
            if (!v) {
                if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
                PyErr_Clear();
                continue;
            }
            if (PyList_Check(v)) {
                f.list = v;
                f.index = 0;
                continue;
            }
            if (is_ast(v)) {
                child = v;
                return 1;
            }
            Py_DECREF(v);
        }
    }
};

// ---- the operations bound on the class ----

void tracer_init(nb::handle self, nb::handle filepath, nb::handle source_lines) {
    nb::setattr(self, "filepath", filepath);
    nb::setattr(self, "lines", source_lines);
    nb::setattr(self, "warnings", nb::list());
    nb::setattr(self, "loop_depth", nb::int_(0));
    nb::setattr(self, "loop_nodes", nb::list());
    nb::setattr(self, "_function_stack", nb::list());
}

nb::object tracer_visit(nb::handle self, nb::handle node) {
    Entry e(self.ptr());
    Walker w(e.ctx());
    TypeInfo *ti = e.ctx().info(Py_TYPE(node.ptr()));
    if (!ti) throw nb::python_error();
    // A handler defined in the host returns its own result.
    if (ti->kind == H::Python) {
        PyObject *r = PyObject_CallOneArg(ti->bound, node.ptr());
        if (!r) throw nb::python_error();
        return nb::steal(r);
    }
    Py_INCREF(node.ptr());
    if (!w.dispatch_native(node.ptr()) || !w.run()) throw nb::python_error();
    return nb::none();
}

void tracer_generic_visit(nb::handle self, nb::handle node) {
    Entry e(self.ptr());
    Walker w(e.ctx());
    TypeInfo *ti = e.ctx().info(Py_TYPE(node.ptr()));
    if (!ti) throw nb::python_error();
    Py_INCREF(node.ptr());
    if (!w.push(node.ptr(), ti, H::Generic) || !w.run()) throw nb::python_error();
}

void run_handler(H kind, nb::handle self, nb::handle node) {
    Entry e(self.ptr());
    Walker w(e.ctx());
    if (!pre_action(e.ctx(), kind, node.ptr())) throw nb::python_error();
    TypeInfo *ti = e.ctx().info(Py_TYPE(node.ptr()));
    if (!ti) throw nb::python_error();
    Py_INCREF(node.ptr());
    if (!w.generic(node.ptr(), ti, kind) || !w.run()) throw nb::python_error();
}

nb::object tracer_get_call_name(nb::handle self, nb::handle node) {
    (void)self;
    std::string name;
    if (!native_call_name(node.ptr(), name)) throw nb::python_error();
    return from_utf8(name);
}

bool tracer_is_expensive_call(nb::handle self, nb::str name_lower) {
    (void)self;
    return core::is_expensive_call(to_utf8(name_lower));
}

void tracer_add_warning(nb::handle self, nb::handle lineno, nb::handle wtype, nb::handle severity,
                        nb::handle message) {
    if (!native_add_warning(self.ptr(), lineno.ptr(), wtype.ptr(), severity.ptr(), message.ptr()))
        throw nb::python_error();
}

void init_names() {
    S = Names{};
    S.fields = intern("_fields");
    S.lineno = intern("lineno");
    S.func = intern("func");
    S.id = intern("id");
    S.value = intern("value");
    S.attr = intern("attr");
    S.elts = intern("elts");
    S.keys = intern("keys");
    S.names = intern("names");
    S.name = intern("name");
    S.asname = intern("asname");
    S.module = intern("module");
    S.targets = intern("targets");
    S.target = intern("target");
    S.context_expr = intern("context_expr");
    S.optional_vars = intern("optional_vars");
    S.arg = intern("arg");
    S.annotation = intern("annotation");
    S.iter = intern("iter");
    S.orelse = intern("orelse");
    S.generators = intern("generators");
    S.loop_depth = intern("loop_depth");
    S.loop_nodes = intern("loop_nodes");
    S.function_stack = intern("_function_stack");
    S.warnings = intern("warnings");
    S.lines = intern("lines");
    S.filepath = intern("filepath");
    S.visit = intern("visit");
    S.generic_visit = intern("generic_visit");
    S.get_call_name = intern("_get_call_name");
    S.is_expensive_call = intern("_is_expensive_call");
    S.add_warning = intern("_add_warning");
    S.strip = intern("strip");
    S.append = intern("append");
    S.pop = intern("pop");
    S.empty = intern("");
    S.k_file = intern("file");
    S.k_line = intern("line");
    S.k_type = intern("type");
    S.k_severity = intern("severity");
    S.k_message = intern("message");
    S.k_snippet = intern("code_snippet");
    const char *dep[] = {"visit_Num", "visit_Str", "visit_Bytes", "visit_NameConstant", "visit_Ellipsis"};
    for (int i = 0; i < 5; ++i) S.deprecated_const[i] = intern(dep[i]);
}

}  // namespace

PyObject *static_text(std::string_view s) {
    static std::unordered_map<std::string, PyObject *> cache;
    auto it = cache.find(std::string(s));
    if (it != cache.end()) return it->second;
    PyObject *o = new_text(s);
    if (!o) throw nb::python_error();
    PyUnicode_InternInPlace(&o);
    cache.emplace(std::string(s), o);
    return o;
}

nb::object make_finding(nb::handle file, const core::Finding &f) {
    nb::dict d;
    d[nb::handle(S.k_file)] = file;
    d[nb::handle(S.k_line)] = nb::int_(f.line);
    d[nb::handle(S.k_type)] = nb::handle(static_text(f.type));
    d[nb::handle(S.k_severity)] = nb::handle(static_text(f.severity));
    d[nb::handle(S.k_message)] = from_utf8(f.message);
    d[nb::handle(S.k_snippet)] = from_utf8(f.snippet);
    return d;
}

nb::object init_tracer(nb::module_ &mod) {
    init_names();
    nb::module_ ast = nb::module_::import_("ast");
    auto type_of = [&](const char *n) {
        nb::object t = ast.attr(n);
        return reinterpret_cast<PyTypeObject *>(t.ptr());
    };
    G.AST = type_of("AST");
    G.List = type_of("List");
    G.Dict = type_of("Dict");
    G.Name = type_of("Name");
    G.Attribute = type_of("Attribute");
    G.Call = type_of("Call");
    G.ListComp = type_of("ListComp");
    G.ImportFrom = type_of("ImportFrom");
    G.AnnAssign = type_of("AnnAssign");
    G.withitem = type_of("withitem");
    G.arg = type_of("arg");
    G.Await = type_of("Await");
    G.Constant = type_of("Constant");
    G.literals.clear();
    for (const char *n : {"Constant", "JoinedStr", "List", "Dict", "Set", "Tuple", "ListComp", "SetComp", "DictComp",
                          "GeneratorExp"})
        G.literals.push_back(type_of(n));
    nb::object visitor = ast.attr("NodeVisitor");
    nb::object nv_const = nb::borrow(PyDict_GetItemString(reinterpret_cast<PyTypeObject *>(visitor.ptr())->tp_dict,
                                                          "visit_Constant"));
    G.nv_visit_constant = nv_const.ptr();

    nb::object cls = make_class(mod, "PythonASTTracer",
                                "Multi-pattern AST visitor for Python cost and efficiency anti-patterns.", visitor);
    auto method = [&](const char *name, auto &&fn, auto... extra) {
        nb::object f = nb::cpp_function(std::forward<decltype(fn)>(fn), nb::is_method(), nb::name(name), extra...);
        add_attr(cls, name, f);
        return f;
    };
    nb::list natives;
    natives.append(method("__init__", &tracer_init, nb::arg("filepath"), nb::arg("source_lines"),
        nb::sig("def __init__(self, filepath: str, source_lines: list[str]) -> None")));
    nb::object visit = method("visit", &tracer_visit, nb::arg("node"),
        nb::sig("def visit(self, node: ast.AST) -> typing.Any"));
    nb::object generic = method("generic_visit", &tracer_generic_visit, nb::arg("node"),
        nb::sig("def generic_visit(self, node: ast.AST) -> None"));
    nb::object fdef = method(
        "visit_FunctionDef", [](nb::handle s, nb::handle n) { run_handler(H::FunctionDef, s, n); }, nb::arg("node"),
        nb::sig("def visit_FunctionDef(self, node: ast.FunctionDef | ast.AsyncFunctionDef) -> None"));
    add_attr(cls, "visit_AsyncFunctionDef", fdef);
    nb::object vfor =
        method("visit_For", [](nb::handle s, nb::handle n) { run_handler(H::For, s, n); }, nb::arg("node"),
            nb::sig("def visit_For(self, node: ast.For) -> None"));
    nb::object vwhile =
        method("visit_While", [](nb::handle s, nb::handle n) { run_handler(H::While, s, n); }, nb::arg("node"),
            nb::sig("def visit_While(self, node: ast.While) -> None"));
    nb::object vlc = method(
        "visit_ListComp", [](nb::handle s, nb::handle n) { run_handler(H::ListComp, s, n); }, nb::arg("node"),
        nb::sig("def visit_ListComp(self, node: ast.ListComp) -> None"));
    nb::object vcall =
        method("visit_Call", [](nb::handle s, nb::handle n) { run_handler(H::Call, s, n); }, nb::arg("node"),
            nb::sig("def visit_Call(self, node: ast.Call) -> None"));
    nb::object vassign =
        method("visit_Assign", [](nb::handle s, nb::handle n) { run_handler(H::Assign, s, n); }, nb::arg("node"),
            nb::sig("def visit_Assign(self, node: ast.Assign) -> None"));
    nb::object vimport =
        method("visit_Import", [](nb::handle s, nb::handle n) { run_handler(H::Import, s, n); }, nb::arg("node"),
            nb::sig("def visit_Import(self, node: ast.Import) -> None"));
    nb::object gcn = method("_get_call_name", &tracer_get_call_name, nb::arg("node"));
    nb::object iec = method("_is_expensive_call", &tracer_is_expensive_call, nb::arg("name_lower"));
    nb::object aw = method("_add_warning", &tracer_add_warning, nb::arg("lineno"), nb::arg("wtype"),
                           nb::arg("severity"), nb::arg("message"));
    G.visit = visit.ptr();
    G.generic_visit = generic.ptr();
    G.function_def = fdef.ptr();
    G.loop_for = vfor.ptr();
    G.loop_while = vwhile.ptr();
    G.list_comp = vlc.ptr();
    G.call = vcall.ptr();
    G.assign = vassign.ptr();
    G.import = vimport.ptr();
    G.get_call_name = gcn.ptr();
    G.is_expensive_call = iec.ptr();
    G.add_warning = aw.ptr();
    for (nb::handle h : {visit, generic, fdef, vfor, vwhile, vlc, vcall, vassign, vimport, gcn, iec, aw, nv_const})
        natives.append(h);
    for (const char *n : {"AST", "List", "Dict", "Name", "Attribute", "Call", "ImportFrom", "AnnAssign", "withitem", "arg",
                          "Await", "Constant", "JoinedStr", "Set", "Tuple", "ListComp", "SetComp", "DictComp",
                          "GeneratorExp"})
        natives.append(ast.attr(n));
    // Keeps every object whose identity the walk compares alive as long as the module.
    mod.attr("_natives") = nb::tuple(natives);
    return cls;
}

}  // namespace tw::py::hotspot
