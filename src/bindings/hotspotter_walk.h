// The Python syntax-tree tracer of the source analyser: a subclass of the host's
// ast.NodeVisitor whose walk and handlers run natively over the host's tree objects.
#pragma once

#include "bindings/common.h"
#include "core/hotspotter/rules.h"

namespace tw::py::hotspot {

// Creates the tracer class in `mod`; returns it.
nb::object init_tracer(nb::module_ &mod);

// A Finding dict: file, line, type, severity, message, code_snippet.
nb::object make_finding(nb::handle file, const tw::hotspot::Finding &f);

// Interned text for the static type and severity words of findings (borrowed).
PyObject *static_text(std::string_view s);

}  // namespace tw::py::hotspot
