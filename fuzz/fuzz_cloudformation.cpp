// The YAML reader and the conversion of the template it reads.
#include "check.h"
#include "core/stackreader/formats.h"

using namespace tw;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string_view text(reinterpret_cast<const char *>(data), size);
    if (!fuzz::valid_utf8(text)) return 0;
    Value doc = stack::parse_yaml(text);
    fuzz::check_utf8(doc, "yaml value");
    if (!doc.is_map()) return 0;
    try {
        for (const Value &r : stack::read_cloudformation(json::Node(&doc))) fuzz::check_utf8(r, "record");
    } catch (const stack::ShapeError &) {
        // A template of the wrong shape is reported by the caller.
    }
    return 0;
}
