// Shared translation between the core and the host: values, text, output and the
// construction of plain Python classes whose operations are native functions.
#pragma once

#include <nanobind/nanobind.h>

#include <string>
#include <string_view>

#include "core/value.h"

namespace nb = nanobind;

namespace tw::py {

// Text from the host: UTF-8, with lone surrogates of undecodable file names escaped back.
std::string to_utf8(nb::handle s);
// Text to the host (file names that are not UTF-8 come back with surrogate escapes).
nb::str from_utf8(std::string_view s);

nb::object to_python(const Value &v);
// A dict key: the same interned str for the same key text.
nb::object key_to_python(const std::string &key);
Value from_python(nb::handle h);

// print(text) through the host's current sys.stdout.
void print_line(std::string_view text);
void write_stdout(std::string_view text, bool flush = false);

// A plain Python class `name` in module `mod`, deriving from `base` (object when null).
nb::object make_class(nb::module_ &mod, const char *name, const char *doc, nb::handle base = nb::handle());
void add_static(nb::handle cls, const char *name, nb::object fn);
void add_classmethod(nb::handle cls, const char *name, nb::object fn);
void add_attr(nb::handle cls, const char *name, nb::object fn);

// True when `owner` (a class) resolves `name` to the function object `native` itself, so
// that the native implementation may be used without a round trip through the host.
bool resolves_to(nb::handle owner, const char *name, nb::handle native);

// Raises the host's TypeError naming a parameter and its expected type.
[[noreturn]] void type_error(const char *func, const char *param, const char *expected, nb::handle got);

// Pauses the host's cyclic garbage collector while many new containers are built.
struct GcPause {
    int was_enabled = PyGC_Disable();
    GcPause() = default;
    GcPause(const GcPause &) = delete;
    GcPause &operator=(const GcPause &) = delete;
    ~GcPause() {
        if (was_enabled) PyGC_Enable();
    }
};

// A text argument, or the host's TypeError naming the parameter.
std::string text_arg(const char *func, const char *param, nb::handle h);

// The host's os.fspath() of a str or path-like object, as text.
std::string fspath(nb::handle h);

}  // namespace tw::py
