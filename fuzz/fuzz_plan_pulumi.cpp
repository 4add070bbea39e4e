// The plan, Pulumi and CloudFormation readers over any decoded JSON document.
#include "check.h"
#include "core/json.h"
#include "core/stackreader/formats.h"

using namespace tw;

namespace {
template <class F> void records(F &&read, bool text_ok) {
    try {
        for (const Value &r : read())
            if (text_ok) fuzz::check_utf8(r, "record");
    } catch (const stack::ShapeError &) {
        // Wrong shapes are reported by the caller as a file error.
    }
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string_view text(reinterpret_cast<const char *>(data), size);
    json::Document doc;
    std::string error;
    if (!json::load(text, doc, error)) return 0;
    json::Node root = doc.root();
    if (!root.is_map()) return 0;
    bool text_ok = !fuzz::may_hold_surrogates(text);
    stack::route_json(root);
    records([&] { return stack::plan_values(stack::read_plan(root)); }, text_ok);
    records([&] { return stack::read_pulumi(root); }, text_ok);
    records([&] { return stack::read_cloudformation(root); }, text_ok);
    return 0;
}
