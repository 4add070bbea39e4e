// The JSON decoder: the fast decoder and the fallback give the same value wherever both
// accept a document, and the fast one accepts nothing the fallback rejects.
#include "check.h"
#include "core/json.h"

using namespace tw;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string_view text(reinterpret_cast<const char *>(data), size);
    json::Document doc;
    std::string error, fallback_error;
    bool loaded = json::load(text, doc, error);
    Value slow;
    bool slow_ok = fuzz::valid_utf8(text) && json::parse_fallback(text, slow, fallback_error);
    if (!loaded) {
        if (text.starts_with("\xEF\xBB\xBF")) return 0;  // rejected before either decoder runs
        fuzz::check(!slow_ok, "fallback accepts a rejected document", text);
        fuzz::check(!error.empty(), "rejected without an error text", text);
        return 0;
    }
    Value fast = json::to_value(doc.root());
    if (doc.root().on_tape()) fuzz::check(slow_ok, "fast decoder accepts what the fallback rejects", text);
    if (slow_ok) fuzz::check(fast == slow, "decoders disagree", text);
    if (!fuzz::may_hold_surrogates(text)) fuzz::check_utf8(fast, "decoded text");
    return 0;
}
