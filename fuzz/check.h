// Invariant checks shared by the fuzz targets: a broken invariant aborts with a message, so
// the fuzzer keeps the input that broke it.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "core/pytext.h"
#include "core/value.h"

namespace tw::fuzz {

[[noreturn]] inline void fail(const char *what, std::string_view detail = {}) {
    std::fprintf(stderr, "invariant broken: %s: %.*s\n", what, int(detail.size() > 200 ? 200 : detail.size()),
                 detail.data());
    std::abort();
}

inline void check(bool ok, const char *what, std::string_view detail = {}) {
    if (!ok) fail(what, detail);
}

inline bool valid_utf8(std::string_view s) { return !pytext::utf8_error(s).has_value(); }

inline void check_text(std::string_view s, const char *what) { check(valid_utf8(s), what, s); }

// Every text in `v`, keys included, is valid UTF-8.
inline void check_utf8(const Value &v, const char *what) {
    if (v.is_str()) {
        check_text(v.as_str(), what);
    } else if (v.is_list()) {
        for (const auto &x : v.as_list()) check_utf8(x, what);
    } else if (v.is_map()) {
        for (const auto &[k, x] : v.as_map()) {
            check_text(k, what);
            check_utf8(x, what);
        }
    }
}

// JSON input may spell lone surrogates (\ud800), which decode to text that is not UTF-8 by
// design; text checks are skipped for such input.
inline bool may_hold_surrogates(std::string_view s) {
    for (size_t i = s.find("\\u"); i != std::string_view::npos; i = s.find("\\u", i + 2))
        if (i + 2 < s.size() && (s[i + 2] == 'd' || s[i + 2] == 'D')) return true;
    return false;
}

}  // namespace tw::fuzz
