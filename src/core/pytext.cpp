#include "core/pytext.h"

#include <algorithm>
#include <charconv>
#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <system_error>
#include <locale.h>

namespace tw::pytext {

#include "core/unicode_tables.inc"

char32_t next_cp(std::string_view s, size_t &i) {
    unsigned char c = s[i];
    if (c < 0x80) {
        ++i;
        return c;
    }
    int n = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : 1;
    char32_t cp = c & (0x3F >> n);
    ++i;
    for (int k = 0; k < n && i < s.size(); ++k, ++i) cp = (cp << 6) | (static_cast<unsigned char>(s[i]) & 0x3F);
    return cp;
}

void append_utf8(std::string &out, char32_t cp) {
    if (cp < 0x80) {
        out += char(cp);
    } else if (cp < 0x800) {
        out += char(0xC0 | (cp >> 6));
        out += char(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += char(0xE0 | (cp >> 12));
        out += char(0x80 | ((cp >> 6) & 0x3F));
        out += char(0x80 | (cp & 0x3F));
    } else {
        out += char(0xF0 | (cp >> 18));
        out += char(0x80 | ((cp >> 12) & 0x3F));
        out += char(0x80 | ((cp >> 6) & 0x3F));
        out += char(0x80 | (cp & 0x3F));
    }
}

size_t count_cps(std::string_view s) {
    size_t n = 0;
    for (unsigned char c : s) n += (c & 0xC0) != 0x80;
    return n;
}

bool is_space(char32_t cp) {
    if (cp < 0x80) return cp == ' ' || (cp >= 0x09 && cp <= 0x0D) || (cp >= 0x1C && cp <= 0x1F);
    return std::binary_search(std::begin(kSpaceChars), std::end(kSpaceChars), cp);
}

namespace {
// Length of the white space run ending at byte `end` (exclusive), in bytes.
size_t trailing_space_len(std::string_view s, size_t end) {
    size_t i = end;
    while (i > 0) {
        unsigned char c = s[i - 1];
        if (c < 0x80) {
            if (!is_space(c)) break;
            --i;
            continue;
        }
        size_t j = i - 1;
        while (j > 0 && (static_cast<unsigned char>(s[j]) & 0xC0) == 0x80) --j;
        size_t k = j;
        if (!is_space(next_cp(s, k))) break;
        i = j;
    }
    return end - i;
}
}  // namespace

std::string_view lstrip(std::string_view s) {
    size_t i = 0;
    while (i < s.size()) {
        unsigned char c = s[i];
        if (c < 0x80) {
            if (!is_space(c)) break;
            ++i;
            continue;
        }
        size_t k = i;
        if (!is_space(next_cp(s, k))) break;
        i = k;
    }
    return s.substr(i);
}

std::string_view rstrip(std::string_view s) { return s.substr(0, s.size() - trailing_space_len(s, s.size())); }

std::string_view strip(std::string_view s) { return rstrip(lstrip(s)); }

bool is_ascii_lower(std::string_view s) {
    for (unsigned char c : s)
        if (c >= 0x80 || (c >= 'A' && c <= 'Z')) return false;
    return true;
}

namespace {
bool in_ranges(const CpRange *first, const CpRange *last, char32_t cp) {
    auto it = std::upper_bound(first, last, cp, [](char32_t x, const CpRange &r) { return x < r.first; });
    return it != first && cp <= (it - 1)->last;
}
bool case_ignorable(char32_t cp) { return in_ranges(std::begin(kCaseIgnorable), std::end(kCaseIgnorable), cp); }
bool cased(char32_t cp) { return in_ranges(std::begin(kCased), std::end(kCased), cp); }

// Unicode's Final_Sigma context of the sigma at s[start, end): a cased letter before it and
// none after it, skipping case-ignorable characters both ways.
bool final_sigma(std::string_view s, size_t start, size_t end) {
    bool before = false;
    for (size_t j = start; j > 0;) {
        --j;
        while (j > 0 && (static_cast<unsigned char>(s[j]) & 0xC0) == 0x80) --j;
        size_t k = j;
        char32_t c = next_cp(s, k);
        if (case_ignorable(c)) continue;
        before = cased(c);
        break;
    }
    if (!before) return false;
    for (size_t k = end; k < s.size();) {
        char32_t c = next_cp(s, k);
        if (case_ignorable(c)) continue;
        return !cased(c);
    }
    return true;
}
}  // namespace

std::string lower(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    size_t i = 0;
    while (i < s.size()) {
        unsigned char c = s[i];
        if (c < 0x80) {
            out += (c >= 'A' && c <= 'Z') ? char(c + 32) : char(c);
            ++i;
            continue;
        }
        size_t start = i;
        char32_t cp = next_cp(s, i);
        // Final sigma: Python maps U+03A3 to U+03C2 at the end of a cased word.
        auto it = std::lower_bound(std::begin(kLower), std::end(kLower), cp,
                                   [](const LowerEntry &e, char32_t x) { return e.cp < x; });
        if (it != std::end(kLower) && it->cp == cp) {
            if (cp == 0x3A3 && final_sigma(s, start, i)) {
                out += "\xcf\x82";
                continue;
            }
            out += it->utf8;
        } else {
            out.append(s.substr(start, i - start));
        }
    }
    return out;
}

namespace {
// Byte length of a line boundary of str.splitlines at s[i], or 0.
size_t boundary_len(std::string_view s, size_t i) {
    unsigned char c = s[i];
    switch (c) {
        case '\n': case '\v': case '\f': case 0x1C: case 0x1D: case 0x1E: return 1;
        case '\r': return (i + 1 < s.size() && s[i + 1] == '\n') ? 2 : 1;
        case 0xC2: return (i + 1 < s.size() && static_cast<unsigned char>(s[i + 1]) == 0x85) ? 2 : 0;
        case 0xE2:
            if (i + 2 < s.size() && static_cast<unsigned char>(s[i + 1]) == 0x80) {
                unsigned char d = s[i + 2];
                if (d == 0xA8 || d == 0xA9) return 3;
            }
            return 0;
        default: return 0;
    }
}
}  // namespace

std::vector<std::string_view> splitlines(std::string_view s) {
    std::vector<std::string_view> out;
    size_t start = 0, i = 0;
    while (i < s.size()) {
        size_t n = boundary_len(s, i);
        if (n) {
            out.push_back(s.substr(start, i - start));
            i += n;
            start = i;
        } else {
            ++i;
        }
    }
    if (start < s.size()) out.push_back(s.substr(start));
    return out;
}

std::vector<std::string_view> split_newlines(std::string_view s) {
    std::vector<std::string_view> out;
    out.reserve(s.size() / 24 + 1);
    const char *base = s.data(), *end = base + s.size();
    if (std::memchr(base, '\r', s.size()) == nullptr) {
        // Only line feeds: let memchr find them.
        const char *p = base;
        while (p < end) {
            auto *nl = static_cast<const char *>(std::memchr(p, '\n', size_t(end - p)));
            if (!nl) {
                out.emplace_back(p, size_t(end - p));
                break;
            }
            out.emplace_back(p, size_t(nl - p));
            p = nl + 1;
        }
        return out;
    }
    size_t start = 0, i = 0;
    while (i < s.size()) {
        char c = s[i];
        if (c == '\n' || c == '\r') {
            out.push_back(s.substr(start, i - start));
            i += (c == '\r' && i + 1 < s.size() && s[i + 1] == '\n') ? 2 : 1;
            start = i;
        } else {
            ++i;
        }
    }
    if (start < s.size()) out.push_back(s.substr(start));
    return out;
}

std::string translate_newlines(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\r') {
            out += '\n';
            if (i + 1 < s.size() && s[i + 1] == '\n') ++i;
        } else {
            out += s[i];
        }
    }
    return out;
}

namespace {
// Length of the valid sequence at s[i], or 0; `bad_len` receives the length of the maximal
// invalid subpart and `truncated` whether it ran into the end of the input.
size_t utf8_seq(std::string_view s, size_t i, size_t &bad_len, bool &truncated) {
    auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    unsigned char c = b(i);
    truncated = false;
    bad_len = 1;
    if (c < 0x80) return 1;
    int need;
    unsigned char lo = 0x80, hi = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) need = 1;
    else if (c >= 0xE0 && c <= 0xEF) {
        need = 2;
        if (c == 0xE0) lo = 0xA0;
        if (c == 0xED) hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        need = 3;
        if (c == 0xF0) lo = 0x90;
        if (c == 0xF4) hi = 0x8F;
    } else {
        return 0;
    }
    size_t k = i + 1;
    for (int n = 0; n < need; ++n, ++k) {
        if (k >= s.size()) {
            truncated = true;
            bad_len = k - i;
            return 0;
        }
        unsigned char d = b(k);
        unsigned char l = n == 0 ? lo : 0x80, h = n == 0 ? hi : 0xBF;
        if (d < l || d > h) {
            bad_len = k - i;
            return 0;
        }
    }
    return need + 1;
}
}  // namespace

std::optional<std::string> utf8_error(std::string_view s) {
    size_t i = 0;
    while (i < s.size()) {
        // Eight ASCII bytes at a time.
        if (i + 8 <= s.size()) {
            uint64_t w;
            std::memcpy(&w, s.data() + i, 8);
            if ((w & 0x8080808080808080ull) == 0) {
                i += 8;
                continue;
            }
        }
        if (static_cast<unsigned char>(s[i]) < 0x80) {
            ++i;
            continue;
        }
        size_t bad = 0;
        bool trunc = false;
        size_t n = utf8_seq(s, i, bad, trunc);
        if (n) {
            i += n;
            continue;
        }
        char buf[160];
        unsigned char c = s[i];
        const char *reason = trunc ? "unexpected end of data"
                             : (c >= 0x80 && c < 0xC2) || c > 0xF4 ? "invalid start byte"
                                                                    : "invalid continuation byte";
        if (bad > 1)
            std::snprintf(buf, sizeof buf, "'utf-8' codec can't decode bytes in position %zu-%zu: %s", i,
                          i + bad - 1, reason);
        else
            std::snprintf(buf, sizeof buf, "'utf-8' codec can't decode byte 0x%02x in position %zu: %s", c, i,
                          reason);
        return std::string(buf);
    }
    return std::nullopt;
}

std::string utf8_replace(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    size_t i = 0;
    while (i < s.size()) {
        if (static_cast<unsigned char>(s[i]) < 0x80) {
            out += s[i++];
            continue;
        }
        size_t bad = 0;
        bool trunc = false;
        size_t n = utf8_seq(s, i, bad, trunc);
        if (n) {
            out.append(s.substr(i, n));
            i += n;
        } else {
            out += "\xEF\xBF\xBD";
            i += bad;
        }
    }
    return out;
}

size_t utf8_valid_at(std::string_view s, size_t i) {
    if (static_cast<unsigned char>(s[i]) < 0x80) return 1;
    size_t bad = 0;
    bool trunc = false;
    return utf8_seq(s, i, bad, trunc);
}

std::string_view strip_bom(std::string_view s) {
    if (s.size() >= 3 && s.substr(0, 3) == "\xEF\xBB\xBF") return s.substr(3);
    return s;
}

namespace {
// The host's transformation before numeric parsing: Unicode decimal digits become ASCII
// digits and white space becomes a blank; any other non-ASCII character makes it invalid.
bool to_ascii_number_text(std::string_view s, std::string &out) {
    out.clear();
    out.reserve(s.size());
    size_t i = 0;
    while (i < s.size()) {
        unsigned char c = s[i];
        if (c < 0x80) {
            out += char(c);
            ++i;
            continue;
        }
        char32_t cp = next_cp(s, i);
        if (is_space(cp)) {
            out += ' ';
            continue;
        }
        auto it = std::upper_bound(std::begin(kDigitZeros), std::end(kDigitZeros), cp);
        if (it != std::begin(kDigitZeros) && cp - *(it - 1) < 10) {
            out += char('0' + (cp - *(it - 1)));
            continue;
        }
        return false;
    }
    return true;
}

bool ascii_space(char c) { return c == ' ' || (c >= 0x09 && c <= 0x0D); }

std::string_view ascii_strip(std::string_view s) {
    while (!s.empty() && ascii_space(s.front())) s.remove_prefix(1);
    while (!s.empty() && ascii_space(s.back())) s.remove_suffix(1);
    return s;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Copies a run of digits with single underscores between digits; false on a misplaced "_".
bool take_digits(std::string_view s, size_t &i, std::string &out) {
    size_t start = i;
    while (i < s.size()) {
        if (is_digit(s[i])) {
            out += s[i++];
        } else if (s[i] == '_' && i > start && is_digit(s[i - 1]) && i + 1 < s.size() && is_digit(s[i + 1])) {
            ++i;
        } else {
            break;
        }
    }
    return i > start && s[i - 1] != '_';
}

constexpr size_t kMaxIntDigits = 4300;  // the host's int_max_str_digits default

// The common start of int() and float(): the transformed, stripped text and its sign.
bool number_text(std::string_view text, std::string &buf, std::string_view &s, size_t &i, bool &neg) {
    if (!to_ascii_number_text(text, buf)) return false;
    s = ascii_strip(buf);
    i = 0;
    neg = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) neg = s[i++] == '-';
    return true;
}
}  // namespace

std::optional<Value> parse_int(std::string_view text) {
    std::string buf;
    std::string_view s;
    size_t i;
    bool neg;
    if (!number_text(text, buf, s, i, neg)) return std::nullopt;
    std::string digits;
    if (!take_digits(s, i, digits) || i != s.size()) return std::nullopt;
    size_t nz = digits.find_first_not_of('0');
    if (nz == std::string::npos) return Value(int64_t(0));
    digits.erase(0, nz);
    if (digits.size() > kMaxIntDigits) return std::nullopt;
    if (digits.size() <= 18) {
        int64_t v = 0;
        for (char c : digits) v = v * 10 + (c - '0');
        return Value(neg ? -v : v);
    }
    std::string signed_digits = (neg ? "-" : "") + digits;
    int64_t v = 0;
    auto [p, ec] = std::from_chars(signed_digits.data(), signed_digits.data() + signed_digits.size(), v);
    if (ec == std::errc() && p == signed_digits.data() + signed_digits.size()) return Value(v);
    return Value(BigInt{signed_digits});
}

namespace {
locale_t c_locale() {
    static locale_t loc = newlocale(LC_ALL_MASK, "C", (locale_t)0);
    return loc;
}

bool iequals(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if ((a[i] | 0x20) != b[i]) return false;
    return true;
}
}  // namespace

std::optional<double> parse_float(std::string_view text) {
    std::string buf;
    std::string_view s;
    size_t i;
    bool neg;
    if (!number_text(text, buf, s, i, neg)) return std::nullopt;
    std::string_view rest = s.substr(i);
    if (iequals(rest, "inf") || iequals(rest, "infinity")) return neg ? -HUGE_VAL : HUGE_VAL;
    if (iequals(rest, "nan")) return neg ? -std::nan("") : std::nan("");
    std::string clean = neg ? "-" : "";
    bool int_part = false, frac_part = false;
    if (i < s.size() && is_digit(s[i])) {
        if (!take_digits(s, i, clean)) return std::nullopt;
        int_part = true;
    }
    if (i < s.size() && s[i] == '.') {
        clean += '.';
        ++i;
        if (i < s.size() && is_digit(s[i])) {
            if (!take_digits(s, i, clean)) return std::nullopt;
            frac_part = true;
        }
    }
    if (!int_part && !frac_part) return std::nullopt;
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        clean += 'e';
        ++i;
        if (i < s.size() && (s[i] == '+' || s[i] == '-')) clean += s[i++];
        if (!(i < s.size() && is_digit(s[i])) || !take_digits(s, i, clean)) return std::nullopt;
    }
    if (i != s.size()) return std::nullopt;
    return strtod_l(clean.c_str(), nullptr, c_locale());
}

std::string repr_double(double d) {
    if (std::isnan(d)) return "nan";
    if (std::isinf(d)) return d < 0 ? "-inf" : "inf";
    if (d == 0) return std::signbit(d) ? "-0.0" : "0.0";
    char buf[64];
    auto res = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::scientific);
    std::string_view sci(buf, res.ptr - buf);
    bool neg = sci.front() == '-';
    if (neg) sci.remove_prefix(1);
    size_t e = sci.find('e');
    std::string digits;
    for (char c : sci.substr(0, e))
        if (c != '.') digits += c;
    int exp10 = std::atoi(std::string(sci.substr(e + 1)).c_str());
    int decpt = exp10 + 1;
    std::string out = neg ? "-" : "";
    if (decpt <= -4 || decpt > 16) {
        out += digits[0];
        if (digits.size() > 1) {
            out += '.';
            out += digits.substr(1);
        }
        char eb[16];
        std::snprintf(eb, sizeof eb, "e%c%02d", exp10 < 0 ? '-' : '+', std::abs(exp10));
        out += eb;
    } else if (decpt <= 0) {
        out += "0.";
        out.append(size_t(-decpt), '0');
        out += digits;
    } else if (size_t(decpt) >= digits.size()) {
        out += digits;
        out.append(size_t(decpt) - digits.size(), '0');
        out += ".0";
    } else {
        out += digits.substr(0, decpt);
        out += '.';
        out += digits.substr(decpt);
    }
    return out;
}

double round2(double d) {
    if (!std::isfinite(d) || d == 0) return d;
    if constexpr (std::numeric_limits<long double>::digits >= 61) {
        // d * 100 is exact in the wider type; rounding it to an integer, ties to even, is the
        // decimal rounding of the exact value, and one division gives the nearest double.
        if (std::fabs(d) < 9.0e13) {
            long double n = std::nearbyintl(static_cast<long double>(d) * 100.0L);
            if (n == 0) return std::copysign(0.0, d);
            return static_cast<double>(n) / 100.0;
        }
    }
    // printf rounds the exact binary value, ties to even; reading back is correctly rounded.
    char buf[400];
    std::snprintf(buf, sizeof buf, "%.2f", d);
    double r = strtod_l(buf, nullptr, c_locale());
    if (r == 0) return std::copysign(0.0, d);
    return r;
}

std::string format_fixed(double d, int digits) {
    if (std::isnan(d)) return "nan";
    if (std::isinf(d)) return d < 0 ? "-inf" : "inf";
    // Exact like printf's %.*f, without its cost.
    char buf[128];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::fixed, digits);
    if (ec == std::errc()) return std::string(buf, size_t(end - buf));
    int n = std::snprintf(nullptr, 0, "%.*f", digits, d);
    std::string out(size_t(n) + 1, '\0');
    std::snprintf(out.data(), out.size(), "%.*f", digits, d);
    out.resize(size_t(n));
    return out;
}

std::string format_grouped0(double d) {
    std::string s = format_fixed(d, 0);
    if (!std::isfinite(d)) return s;
    size_t start = (s[0] == '-') ? 1 : 0;
    std::string out = s.substr(0, start);
    size_t n = s.size() - start;
    for (size_t i = 0; i < n; ++i) {
        if (i > 0 && (n - i) % 3 == 0) out += ',';
        out += s[start + i];
    }
    return out;
}

std::string str_of(const Value &v) {
    switch (v.kind()) {
        case Value::Kind::Str: return v.as_str();
        case Value::Kind::Int: return std::to_string(v.as_int());
        case Value::Kind::BigInt: return v.as_bigint().digits;
        case Value::Kind::Float: return repr_double(v.as_float());
        case Value::Kind::Bool: return v.as_bool() ? "True" : "False";
        case Value::Kind::Null: return "None";
        default: return "";
    }
}

}  // namespace tw::pytext
