// The reader's hand-written text splitting against the patterns and printf it stands in for.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "core/pytext.h"
#include "core/regex.h"
#include "core/stackreader/tfmodel.h"

using namespace tw;

namespace {
int passed = 0, failed = 0;

void check(bool ok, const std::string &what) {
    if (ok) ++passed;
    else if (++failed <= 20) std::cerr << "reader text: " << what << "\n";
}

std::string shown(std::string_view s) {
    std::string out;
    for (unsigned char c : s) {
        char buf[8];
        if (c >= 0x20 && c < 0x7f) out += char(c);
        else std::snprintf(buf, sizeof buf, "\\x%02x", c), out += buf;
    }
    return out;
}

void assignment_matches_pattern(std::mt19937 &rng) {
    // Whole code points only: the pattern is given valid UTF-8.
    const std::vector<std::string> pieces = {" ", "\t", "a", "Z", "0", "_", "-", "=", "\"", "#", ".", "$", "{",
                                             "\x0b", "\x0c", "\x1c", "\xc2\xa0", "\xc2\x85", "\xe2\x80\xa8", "\xc3\xa9"};
    const Regex pattern(stack::kAssignmentPattern);
    Regex::Match pm, sm;
    for (int round = 0; round < 30000; ++round) {
        std::string line;
        int len = int(rng() % 12);
        for (int i = 0; i < len; ++i) line += pieces[rng() % (round % 3 ? 9 : pieces.size())];
        std::string_view key, value;
        bool got = stack::split_assignment(line, key, value, sm);
        bool want = pattern.match(line, pm);
        bool same = got == want && (!got || (key == pm.group(line, 1) && value == pm.group(line, 2)));
        check(same, "split_assignment [" + shown(line) + "]");
    }
}

void fixed_matches_printf(std::mt19937_64 &rng) {
    std::vector<double> values = {0.0, -0.0, 0.5, 1.5, 2.5, 0.125, 2.675, 1e15, 1e22, 1e300, -1e300, 5e-324, 0.005,
                                  1234.565, 99.995};
    for (int i = 0; i < 4000; ++i) {
        uint64_t bits = rng();
        double d;
        std::memcpy(&d, &bits, sizeof d);
        if (std::isfinite(d)) values.push_back(d);
        values.push_back(double(rng() % 10000000) / 1000.0);
    }
    for (double d : values)
        for (int digits : {0, 2, 4}) {
            char buf[512];
            std::snprintf(buf, sizeof buf, "%.*f", digits, d);
            check(pytext::format_fixed(d, digits) == buf, "format_fixed " + std::string(buf));
        }
}

void newlines_split_like_the_loop(std::mt19937 &rng) {
    const char alphabet[] = {'a', '\n', '\r', ' '};
    for (int round = 0; round < 5000; ++round) {
        std::string s;
        int len = int(rng() % 10);
        bool with_cr = round % 2;
        for (int i = 0; i < len; ++i) s += alphabet[rng() % (with_cr ? 4 : 2)];
        std::vector<std::string_view> want;
        size_t start = 0, i = 0;
        while (i < s.size()) {
            if (s[i] == '\n' || s[i] == '\r') {
                want.push_back(std::string_view(s).substr(start, i - start));
                i += (s[i] == '\r' && i + 1 < s.size() && s[i + 1] == '\n') ? 2 : 1;
                start = i;
            } else ++i;
        }
        if (start < s.size()) want.push_back(std::string_view(s).substr(start));
        check(pytext::split_newlines(s) == want, "split_newlines [" + shown(s) + "]");
    }
}
}  // namespace

std::pair<int, int> test_reader_text() {
    std::mt19937 rng(7);
    std::mt19937_64 rng64(11);
    assignment_matches_pattern(rng);
    fixed_matches_printf(rng64);
    newlines_split_like_the_loop(rng);
    return {passed, failed};
}
