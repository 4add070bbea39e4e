// JSON decoding into property values with the results of the host's json module for valid
// documents: keys in document order, a repeated key keeps its first position and takes its
// last value, integers stay integers of any size, numbers with a fraction or an exponent are
// floats. The non-standard literals NaN and Infinity are rejected as invalid JSON.
#pragma once

#include <string>
#include <string_view>

#include "core/value.h"

namespace tw::json {

// Nesting deeper than this is reported as an error instead of being decoded.
constexpr size_t kMaxDepth = 1024;

// Decodes `text` (which must be valid UTF-8). Returns false with `error` set on failure.
bool parse(std::string_view text, Value &out, std::string &error);

// Reads a file as UTF-8 and decodes it; `error` gets the read, decode or parse error text.
bool parse_file(const std::string &path, Value &out, std::string &error);

}  // namespace tw::json
