// The Terraform reader: a line scanner that finds resource blocks and reads the
// assignments inside them, counting braces to find where a block ends.
#include "core/fsutil.h"
#include "core/pytext.h"
#include "core/stackreader/reader.h"
#include "core/stackreader/tfmodel.h"

namespace tw::stack {

const char *const kResourcePattern = R"re(resource\s+"([^"]+)"\s+"([^"]+)"\s*\{)re";
const char *const kAssignmentPattern = R"re(^\s*([a-zA-Z0-9_\-]+)\s*=\s*(.+)$)re";

std::vector<Value> parse_tf_text(std::string_view text, const Map &variables, const Map &locals,
                                 const Resolver *resolver, const Sink *out) {
    std::vector<Value> records;
    Scope scope;
    scope.vars = &variables;
    scope.locals = &locals;
    read_tf_model(text, [&](TfResource &&res) {
        instantiate_resource(std::move(res), scope, nullptr, false, "", resolver, records, out);
    });
    return records;
}

std::vector<Value> parse_tf_file(const std::string &path, const Map &variables, const Map &locals, const Sink &out,
                                 const Resolver *resolver) {
    std::string text, error;
    if (!fs::read_utf8(path, text, error)) {
        out("Error reading file " + path + ": " + error);
        return {};
    }
    return parse_tf_text(pytext::strip_bom(text), variables, locals, resolver, &out);
}

}  // namespace tw::stack
