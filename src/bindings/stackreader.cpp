#include "bindings/common.h"

namespace tw::py {
void bind_stackreader_formats(nb::module_ &, nb::handle);
}

NB_MODULE(stackreader, m) {
    nb::object cls = tw::py::make_class(m, "StackReader", "Reads infrastructure-as-code files into Resource records.");
    tw::py::bind_stackreader_formats(m, cls);
}
