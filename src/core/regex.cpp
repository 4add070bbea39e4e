#define PCRE2_CODE_UNIT_WIDTH 8
#include "core/regex.h"

#include <pcre2.h>
#include <stdexcept>

namespace tw {

namespace {
// The host's \s: every code point for which str.isspace() holds.
constexpr const char *kPySpace =
    "\\t\\n\\x{0b}\\f\\r\\x{1c}-\\x{20}\\x{85}\\x{a0}\\x{1680}\\x{2000}-\\x{200a}\\x{2028}\\x{2029}"
    "\\x{202f}\\x{205f}\\x{3000}";

std::string translate(std::string_view p) {
    std::string out;
    bool in_class = false;
    for (size_t i = 0; i < p.size(); ++i) {
        char c = p[i];
        if (c == '\\' && i + 1 < p.size()) {
            char n = p[i + 1];
            if (n == 's') {
                if (in_class) out += kPySpace;
                else out += std::string("[") + kPySpace + "]";
            } else {
                out += c;
                out += n;
            }
            ++i;
            continue;
        }
        if (c == '[' && !in_class) in_class = true;
        else if (c == ']' && in_class) in_class = false;
        out += c;
    }
    return out;
}
}  // namespace

struct Regex::Impl {
    pcre2_code *code = nullptr;
    bool jit = false;
    uint32_t groups = 0;
};

Regex::Regex(std::string_view pattern) : impl_(std::make_unique<Impl>()), source_(pattern) {
    std::string p = translate(pattern);
    int err = 0;
    PCRE2_SIZE off = 0;
    impl_->code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(p.data()), p.size(), PCRE2_UTF | PCRE2_UCP | PCRE2_NO_UTF_CHECK,
                                &err, &off, nullptr);
    if (!impl_->code) {
        PCRE2_UCHAR buf[256];
        pcre2_get_error_message(err, buf, sizeof buf);
        throw std::runtime_error("bad pattern " + std::string(pattern) + ": " + reinterpret_cast<char *>(buf));
    }
    impl_->jit = pcre2_jit_compile(impl_->code, PCRE2_JIT_COMPLETE) == 0;
    pcre2_pattern_info(impl_->code, PCRE2_INFO_CAPTURECOUNT, &impl_->groups);
}

Regex::~Regex() {
    if (impl_ && impl_->code) pcre2_code_free(impl_->code);
}

bool Regex::run(std::string_view subject, Match &m, size_t from, bool anchored) const {
    thread_local pcre2_match_data *md = pcre2_match_data_create(32, nullptr);
    // Subjects are validated UTF-8 text, so the UTF check is skipped.
    uint32_t opts = PCRE2_NO_UTF_CHECK | (anchored ? PCRE2_ANCHORED : 0);
    int rc;
    // A pattern that starts with "^" is anchored already, so the JIT search serves for match().
    if (impl_->jit && (!anchored || source_.starts_with("^")))
        rc = pcre2_jit_match(impl_->code, reinterpret_cast<PCRE2_SPTR>(subject.data()), subject.size(), from,
                             PCRE2_NO_UTF_CHECK, md, nullptr);
    else
        rc = pcre2_match(impl_->code, reinterpret_cast<PCRE2_SPTR>(subject.data()), subject.size(), from, opts, md,
                         nullptr);
    if (rc < 0) return false;
    uint32_t n = pcre2_get_ovector_count(md);
    PCRE2_SIZE *ov = pcre2_get_ovector_pointer(md);
    uint32_t groups = impl_->groups;
    m.groups.assign(groups + 1, {-1, -1});
    for (uint32_t i = 0; i <= groups && i < n; ++i) {
        if (ov[2 * i] == PCRE2_UNSET) continue;
        m.groups[i] = {long(ov[2 * i]), long(ov[2 * i + 1])};
    }
    return true;
}

bool Regex::search(std::string_view subject, Match &m, size_t from) const { return run(subject, m, from, false); }

bool Regex::search(std::string_view subject) const {
    Match m;
    return run(subject, m, 0, false);
}

bool Regex::match(std::string_view subject, Match &m, size_t from) const { return run(subject, m, from, true); }

std::vector<Regex::Match> Regex::find_all(std::string_view subject) const {
    std::vector<Match> out;
    size_t pos = 0;
    while (pos <= subject.size()) {
        Match m;
        if (!run(subject, m, pos, false)) break;
        size_t e = m.end();
        if (e == m.start()) {
            // An empty match advances by one code point.
            e = m.start() + 1;
            while (e < subject.size() && (static_cast<unsigned char>(subject[e]) & 0xC0) == 0x80) ++e;
        }
        out.push_back(std::move(m));
        pos = e;
    }
    return out;
}

}  // namespace tw
