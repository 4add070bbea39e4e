#include "bindings/common.h"

using namespace tw;

NB_MODULE(ratebook, m) {
    nb::object cls = py::make_class(m, "Ratebook", "doc");
    py::add_attr(cls, "hello", nb::cpp_function([](nb::handle self, int x) { return nb::str("hi {} {}").format(self.attr("db_path"), x); }, nb::is_method(), nb::name("hello"), nb::arg("x") = 3));
    py::add_classmethod(cls, "cm", nb::cpp_function([](nb::handle cls) { return cls.attr("__name__"); }, nb::name("cm")));
}
