// Terraform text: variables and locals, their resolution, and the resource scan over it.
#include "check.h"
#include "core/stackreader/reader.h"

using namespace tw;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string_view text(reinterpret_cast<const char *>(data), size);
    // The reader hands only decoded text to the scanner.
    if (!fuzz::valid_utf8(text)) return 0;
    text = pytext::strip_bom(text);
    Map variables, locals;
    stack::collect_variables_and_locals(text, variables, locals);
    stack::resolve_locals(variables, locals);
    fuzz::check_utf8(Value(variables), "variable");
    fuzz::check_utf8(Value(locals), "local");
    for (const Value &r : stack::parse_tf_text(text, variables, locals)) fuzz::check_utf8(r, "record");
    // Each line as a value to resolve against what the text declared.
    for (std::string_view line : pytext::splitlines(text))
        fuzz::check_utf8(stack::resolve_value(Value(std::string(line)), variables, locals), "resolved value");
    return 0;
}
