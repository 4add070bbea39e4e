// Bindings of the plan JSON, CloudFormation and Pulumi readers.
#include "bindings/common.h"

namespace tw::py {

void bind_stackreader_formats(nb::module_ &, nb::handle) {}

}  // namespace tw::py
