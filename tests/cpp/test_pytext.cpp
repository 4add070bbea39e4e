// Unit tests of the host-compatible text rules. Prints "N passed, N failed".
#include <cmath>
#include <cstring>
#include <cstdio>
#include <iostream>
#include <string>

#include "core/pytext.h"

using namespace tw;
using namespace tw::pytext;

static int passed = 0, failed = 0;

template <class A, class B>
static void expect_eq(const A &got, const B &want, const char *what, int line) {
    if (got == want) {
        ++passed;
    } else {
        ++failed;
        std::cerr << "line " << line << ": " << what << ": got [" << got << "] want [" << want << "]\n";
    }
}
#define EQ(got, want) expect_eq((got), (want), #got, __LINE__)

static std::string int_text(std::string_view s) {
    auto v = parse_int(s);
    if (!v) return "ValueError";
    return str_of(*v);
}
static std::string float_text(std::string_view s) {
    auto v = parse_float(s);
    if (!v) return "ValueError";
    return repr_double(*v);
}
static std::string joined(const std::vector<std::string_view> &v) {
    std::string out;
    for (auto &s : v) out += "[" + std::string(s) + "]";
    return out;
}

static std::string unhex(std::string_view h) {
    std::string out;
    for (size_t i = 0; i + 1 < h.size(); i += 2) out += char(std::stoi(std::string(h.substr(i, 2)), nullptr, 16));
    return out;
}
static std::string hex(std::string_view s) {
    static const char *d = "0123456789abcdef";
    std::string out;
    for (unsigned char c : s) {
        out += d[c >> 4];
        out += d[c & 15];
    }
    return out;
}

// Answers "op hex-argument" lines on standard input, one hex-encoded result per line, so
// that a host-side test can compare every rule with the host itself.
static int serve() {
    std::string line;
    while (std::getline(std::cin, line)) {
        size_t sp = line.find(' ');
        std::string op = line.substr(0, sp), arg = unhex(sp == std::string::npos ? "" : line.substr(sp + 1));
        std::string out;
        if (op == "strip") out = std::string(strip(arg));
        else if (op == "lower") out = lower(arg);
        else if (op == "splitlines") {
            for (auto &p : splitlines(arg)) out += std::string(p) + '\x00';
        } else if (op == "int") out = int_text(arg);
        else if (op == "float") out = float_text(arg);
        else {
            double d;
            std::memcpy(&d, arg.data(), sizeof d);
            if (op == "repr") out = repr_double(d);
            else if (op == "round2") out = repr_double(round2(d));
            else if (op == "grouped") out = format_grouped0(d);
            else if (op.rfind("fixed", 0) == 0) out = format_fixed(d, std::stoi(op.substr(5)));
        }
        std::cout << hex(out) << '\n';
    }
    std::cout.flush();
    return 0;
}

std::pair<int, int> test_families();
std::pair<int, int> test_reader_text();
std::pair<int, int> test_store_digest();
std::pair<int, int> test_snapshot();
std::pair<int, int> test_scan_bounds();
std::pair<int, int> test_tfexpr();
std::pair<int, int> test_gate();

int main(int argc, char **argv) {
    if (argc > 1 && std::string(argv[1]) == "--serve") return serve();
    // strip: Unicode white space, including the separators U+001C..U+001F and U+0085.
    EQ(std::string(strip("  a b \t\n")), "a b");
    EQ(std::string(strip("\x1c\x1f" "a" "\xc2\x85")), "a");
    EQ(std::string(strip("\xe3\x80\x80x\xc2\xa0")), "x");
    EQ(std::string(strip("\xe2\x80\x8bx")), "\xe2\x80\x8bx");  // zero width space is not space
    EQ(std::string(strip("")), "");

    // lower
    EQ(lower("EU-West-1"), "eu-west-1");
    EQ(lower("\xc3\x84" "B"), "\xc3\xa4" "b");
    EQ(lower("\xc4\xb0"), "i\xcc\x87");  // U+0130 lowers to two code points

    // splitlines and universal newlines
    EQ(joined(splitlines("a\nb\r\nc\rd\x0b" "e\x0c" "f\xe2\x80\xa8g\n")), "[a][b][c][d][e][f][g]");
    EQ(joined(splitlines("a\n\nb")), "[a][][b]");
    EQ(joined(splitlines("")), "");
    EQ(joined(split_newlines("a\x0c" "b\r\nc\r")), "[a\x0c" "b][c]");
    EQ(translate_newlines("a\r\nb\rc\n"), "a\nb\nc\n");

    // int()
    EQ(int_text(" 42 "), "42");
    EQ(int_text("-0"), "0");
    EQ(int_text("1_000"), "1000");
    EQ(int_text("1__0"), "ValueError");
    EQ(int_text("_1"), "ValueError");
    EQ(int_text("1_"), "ValueError");
    EQ(int_text("+007"), "7");
    EQ(int_text("1.0"), "ValueError");
    EQ(int_text(""), "ValueError");
    EQ(int_text("\xd9\xa1\xd9\xa2"), "12");  // Arabic-Indic digits
    EQ(int_text("123456789012345678901234567890"), "123456789012345678901234567890");
    EQ(int_text("-9223372036854775808"), "-9223372036854775808");
    EQ(int_text("9223372036854775808"), "9223372036854775808");

    // float()
    EQ(float_text("0.5"), "0.5");
    EQ(float_text(" 5. "), "5.0");
    EQ(float_text(".5"), "0.5");
    EQ(float_text("."), "ValueError");
    EQ(float_text("1e5"), "100000.0");
    EQ(float_text("1_0.2_5"), "10.25");
    EQ(float_text("1_.5"), "ValueError");
    EQ(float_text("1e"), "ValueError");
    EQ(float_text("-inf"), "-inf");
    EQ(float_text("Infinity"), "inf");
    EQ(float_text("nan"), "nan");
    EQ(float_text("1e400"), "inf");
    EQ(float_text("1.2.3"), "ValueError");
    EQ(float_text("10.0.0.0/16"), "ValueError");
    EQ(float_text("0x10"), "ValueError");

    // repr(float)
    EQ(repr_double(2.0), "2.0");
    EQ(repr_double(0.1 + 0.2), "0.30000000000000004");
    EQ(repr_double(1e16), "1e+16");
    EQ(repr_double(1e15), "1000000000000000.0");
    EQ(repr_double(5e-05), "5e-05");
    EQ(repr_double(0.0001), "0.0001");
    EQ(repr_double(-0.0), "-0.0");
    EQ(repr_double(1.5e300), "1.5e+300");
    EQ(repr_double(123456.789), "123456.789");

    // round(x, 2)
    EQ(repr_double(round2(0.125)), "0.12");
    EQ(repr_double(round2(2.675)), "2.67");
    EQ(repr_double(round2(0.375)), "0.38");
    EQ(repr_double(round2(7.592)), "7.59");
    EQ(repr_double(round2(0.004 * 3)), "0.01");
    EQ(repr_double(round2(-0.001)), "-0.0");
    EQ(repr_double(round2(1e300)), "1e+300");

    // format codes
    EQ(format_fixed(0.5, 0), "0");
    EQ(format_fixed(2.5, 0), "2");
    EQ(format_fixed(1234.5, 2), "1234.50");
    EQ(format_fixed(0.0104, 4), "0.0104");
    EQ(format_fixed(-std::nan(""), 2), "nan");
    EQ(format_grouped0(1000000), "1,000,000");
    EQ(format_grouped0(-1234.5), "-1,234");
    EQ(format_grouped0(999), "999");

    // UTF-8 errors as the host words them
    EQ(utf8_error("ab\xff").value_or("ok"), "'utf-8' codec can't decode byte 0xff in position 2: invalid start byte");
    EQ(utf8_error("\xe2\x28\xa1").value_or("ok"),
       "'utf-8' codec can't decode byte 0xe2 in position 0: invalid continuation byte");
    EQ(utf8_error("a\xe2\x82").value_or("ok"), "'utf-8' codec can't decode bytes in position 1-2: unexpected end of data");
    EQ(utf8_error("\xed\xa0\x80").value_or("ok"),
       "'utf-8' codec can't decode byte 0xed in position 0: invalid continuation byte");
    EQ(utf8_error("caf\xc3\xa9").value_or("ok"), "ok");
    EQ(utf8_replace("a\xe2\x82" "b\xff"), "a\xef\xbf\xbd" "b\xef\xbf\xbd");
    EQ(utf8_replace("\xed\xa0\x80"), "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd");

    { auto [p, q] = test_families(); passed += p; failed += q; }
    { auto [p, q] = test_reader_text(); passed += p; failed += q; }
    { auto [p, q] = test_store_digest(); passed += p; failed += q; }
    { auto [p, q] = test_snapshot(); passed += p; failed += q; }
    { auto [p, q] = test_scan_bounds(); passed += p; failed += q; }
    { auto [p, q] = test_tfexpr(); passed += p; failed += q; }
    { auto [p, q] = test_gate(); passed += p; failed += q; }
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed ? 1 : 0;
}
