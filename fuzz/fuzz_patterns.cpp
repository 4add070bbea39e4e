// The JavaScript/TypeScript and Terraform pattern rules of the source analyser.
#include "check.h"
#include "core/hotspotter/rules.h"

using namespace tw;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string text = hotspot::decode_source(std::string_view(reinterpret_cast<const char *>(data), size), false);
    fuzz::check_text(text, "decoded source");
    for (auto *trace : {&hotspot::trace_js_text, &hotspot::trace_tf_text}) {
        for (const auto &f : trace(text)) {
            fuzz::check(f.line >= 1, "finding without a line");
            fuzz::check_text(f.message, "finding message");
            fuzz::check_text(f.snippet, "finding snippet");
        }
    }
    return 0;
}
