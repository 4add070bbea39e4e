// Text rules that behave as the Python host's do, on UTF-8 text: str.strip, str.lower,
// str.splitlines, int(), float(), repr(float), round(x, 2) and the float format codes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/value.h"

namespace tw::pytext {

// Decodes one code point at s[i] (valid UTF-8 assumed); advances i.
char32_t next_cp(std::string_view s, size_t &i);
void append_utf8(std::string &out, char32_t cp);
size_t count_cps(std::string_view s);

// str.isspace() of one code point.
bool is_space(char32_t cp);

// str.strip() / lstrip() / rstrip() with no argument (Unicode white space).
std::string_view strip(std::string_view s);
std::string_view lstrip(std::string_view s);
std::string_view rstrip(std::string_view s);

// A character of a Terraform identifier: ASCII letters, digits, '_' and '-'.
inline bool is_ident_char(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
}

// str.lower() (full Unicode mapping).
std::string lower(std::string_view s);
bool is_ascii_lower(std::string_view s);

// str.splitlines() without keepends.
std::vector<std::string_view> splitlines(std::string_view s);

// Splitting at LF, CR LF and CR only (universal newlines), without keepends; a final line
// end gives no empty last line.
std::vector<std::string_view> split_newlines(std::string_view s);

// Text as open() in text mode returns it: "\r\n" and "\r" become "\n".
std::string translate_newlines(std::string_view s);

// UTF-8 validation. On failure returns the Python error text, such as
// "'utf-8' codec can't decode byte 0xff in position 0: invalid start byte".
std::optional<std::string> utf8_error(std::string_view s);
// bytes.decode("utf-8", "replace"): every maximal invalid subsequence becomes U+FFFD.
std::string utf8_replace(std::string_view s);
// The length of the valid UTF-8 sequence that starts at s[i] (1 for ASCII); 0 when none does.
size_t utf8_valid_at(std::string_view s, size_t i);
// Drops a leading UTF-8 byte-order mark.
std::string_view strip_bom(std::string_view s);

// int(text): a whole number (int64 or BigInt), or nothing when int() would raise.
std::optional<Value> parse_int(std::string_view s);
// float(text): nothing when float() would raise.
std::optional<double> parse_float(std::string_view s);

// repr(float).
std::string repr_double(double d);
// round(x, 2).
double round2(double d);
// format(x, ".Nf") for N >= 0.
std::string format_fixed(double d, int digits);
// format(x, ",.0f").
std::string format_grouped0(double d);

// str() of a number or text value as Python prints it (used where a value is rendered).
std::string str_of(const Value &v);

}  // namespace tw::pytext
