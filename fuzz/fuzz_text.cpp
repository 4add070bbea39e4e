// The text rules: on valid UTF-8 every result is valid UTF-8, and the rules keep their
// documented relations.
#include <cmath>

#include "check.h"

using namespace tw;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string_view raw(reinterpret_cast<const char *>(data), size);
    std::string replaced = pytext::utf8_replace(raw);
    fuzz::check_text(replaced, "utf8_replace");
    if (fuzz::valid_utf8(raw)) fuzz::check(replaced == raw, "utf8_replace changed valid text", raw);
    std::string_view text = replaced;

    std::string lowered = pytext::lower(text);
    fuzz::check_text(lowered, "lower");
    std::string_view stripped = pytext::strip(text);
    fuzz::check_text(stripped, "strip");
    fuzz::check(pytext::strip(stripped) == stripped, "strip is not idempotent", text);
    for (std::string_view line : pytext::splitlines(text)) fuzz::check_text(line, "splitlines");
    for (std::string_view line : pytext::split_newlines(text)) fuzz::check_text(line, "split_newlines");
    std::string translated = pytext::translate_newlines(text);
    fuzz::check_text(translated, "translate_newlines");
    fuzz::check(translated.find('\r') == std::string::npos, "translate_newlines left a CR", text);

    if (auto d = pytext::parse_float(text); d && std::isfinite(*d)) {
        std::string r = pytext::repr_double(*d);
        auto back = pytext::parse_float(r);
        fuzz::check(back && (*back == *d || (std::isnan(*back) && std::isnan(*d))), "repr does not round-trip", r);
        fuzz::check_text(pytext::format_fixed(*d, 2), "format_fixed");
    }
    if (auto i = pytext::parse_int(text)) fuzz::check_text(pytext::str_of(*i), "int text");
    return 0;
}
