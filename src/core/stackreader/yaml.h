// The indentation-based YAML reader of CloudFormation templates: nested maps, lists and
// scalars (text, integers, floating-point numbers). It never fails on text; malformed
// indentation only changes where values land. The document is built in an arena, so that
// a reader takes from it only what it keeps.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/pytext.h"
#include "core/stackreader/reader.h"

namespace tw::stack::yaml {

inline bool ascii_ws(unsigned char c) { return c == ' ' || (c >= 0x09 && c <= 0x0D) || (c >= 0x1C && c <= 0x1F); }

// str.strip(), with a fast path for ASCII ends.
inline std::string_view strip(std::string_view s) {
    size_t b = 0, e = s.size();
    while (b < e && ascii_ws(s[b])) ++b;
    while (e > b && ascii_ws(s[e - 1])) --e;
    s = s.substr(b, e - b);
    if (!s.empty() && (static_cast<unsigned char>(s.front()) >= 0x80 || static_cast<unsigned char>(s.back()) >= 0x80))
        return pytext::strip(s);
    return s;
}

// Whether number conversion can turn the text into a number: text holding an ASCII
// character that no number holds stays text ("." only ever leads to a float, so the "inf"
// and "nan" spellings never qualify).
inline bool maybe_number(std::string_view s) {
    for (unsigned char c : s) {
        if (c >= 0x80) return true;
        if (!((c >= '0' && c <= '9') || c == '_' || c == '+' || c == '-' || c == '.' || c == 'e' || c == 'E' ||
              ascii_ws(c)))
            return false;
    }
    return true;
}

// Drops every leading and trailing double and single quote.
inline std::string_view strip_quotes(std::string_view s) {
    size_t b = s.find_first_not_of("\"'");
    if (b == std::string_view::npos) return {};
    size_t e = s.find_last_not_of("\"'");
    return s.substr(b, e - b + 1);
}

// A value that is only a tag, one word such as "!Join" or "!If".
inline bool tag_only(std::string_view v) {
    if (!v.starts_with("!")) return false;
    for (size_t i = 0; i < v.size();)
        if (pytext::is_space(pytext::next_cp(v, i))) return false;
    return true;
}

// Lines as str.splitlines() gives them, one at a time.
class Lines {
public:
    explicit Lines(std::string_view s) : s_(s) {}
    bool next(std::string_view &line) {
        size_t n = s_.size();
        if (pos_ >= n) return false;
        for (size_t i = pos_; i < n; ++i) {
            unsigned char c = s_[i];
            if (c > 0x1E && c != 0xC2 && c != 0xE2) continue;
            if (size_t len = boundary(i)) {
                line = s_.substr(pos_, i - pos_);
                pos_ = i + len;
                return true;
            }
        }
        line = s_.substr(pos_);
        pos_ = n;
        return true;
    }

private:
    size_t boundary(size_t i) const {
        unsigned char c = s_[i];
        switch (c) {
            case '\n': case '\v': case '\f': case 0x1C: case 0x1D: case 0x1E: return 1;
            case '\r': return (i + 1 < s_.size() && s_[i + 1] == '\n') ? 2 : 1;
            case 0xC2: return (i + 1 < s_.size() && static_cast<unsigned char>(s_[i + 1]) == 0x85) ? 2 : 0;
            case 0xE2:
                if (i + 2 < s_.size() && static_cast<unsigned char>(s_[i + 1]) == 0x80) {
                    unsigned char d = s_[i + 2];
                    if (d == 0xA8 || d == 0xA9) return 3;
                }
                return 0;
            default: return 0;
        }
    }
    std::string_view s_;
    size_t pos_ = 0;
};

// A parsed document: maps, lists and scalars in one arena. Text scalars and keys are views
// into the parsed text, which must outlive the document.
class Doc {
public:
    enum class Kind : uint8_t { Map, List, Text, Int, Float, Big };
    static constexpr uint32_t kNone = 0xFFFFFFFFu;

    explicit Doc(std::string_view text);

    struct Item {
        Kind kind;
        uint32_t first = kNone, last = kNone, count = 0;  // entries of a container
        uint32_t index = kNone;                           // key index of a large map
        std::string_view text;                            // Text
        union {
            int64_t i;
            double d;
            uint32_t big;  // into bigs_
        };
    };
    struct Entry {
        std::string_view key;  // maps only
        uint32_t value;
        uint32_t next = kNone;
    };

    uint32_t root() const { return 0; }
    const Item &item(uint32_t i) const { return items_[i]; }
    const Entry &entry(uint32_t e) const { return entries_[e]; }
    const std::string &big(uint32_t b) const { return bigs_[b]; }
    // The value under `key` in a map item, or kNone.
    uint32_t find(uint32_t map, std::string_view key) const;

private:
    uint32_t add(Kind k);
    uint32_t scalar(std::string_view s);
    void set(uint32_t map, std::string_view key, uint32_t value);
    void append(uint32_t list, uint32_t value);
    uint32_t find_entry(uint32_t map, std::string_view key) const;

    std::vector<Item> items_;
    std::vector<Entry> entries_;
    std::vector<std::string> bigs_;
    std::vector<std::unordered_map<std::string_view, uint32_t>> indexes_;
};

// A read-only view of one item of a Doc, with the interface of json::Node.
class DocNode {
public:
    DocNode(const Doc *d, uint32_t i) : d_(d), i_(i) {}
    Doc::Kind kind() const { return d_->item(i_).kind; }
    bool is_map() const { return kind() == Doc::Kind::Map; }
    bool is_list() const { return kind() == Doc::Kind::List; }
    bool is_str() const { return kind() == Doc::Kind::Text; }
    const char *type_name() const;
    std::string_view str() const { return d_->item(i_).text; }
    std::optional<DocNode> find(std::string_view key) const {
        uint32_t v = d_->find(i_, key);
        if (v == Doc::kNone) return std::nullopt;
        return DocNode(d_, v);
    }
    std::vector<std::pair<std::string_view, DocNode>> items() const {
        std::vector<std::pair<std::string_view, DocNode>> out;
        out.reserve(d_->item(i_).count);
        for (uint32_t e = d_->item(i_).first; e != Doc::kNone; e = d_->entry(e).next)
            out.emplace_back(d_->entry(e).key, DocNode(d_, d_->entry(e).value));
        return out;
    }
    template <class F> void each(F &&f) const {
        for (uint32_t e = d_->item(i_).first; e != Doc::kNone; e = d_->entry(e).next)
            f(DocNode(d_, d_->entry(e).value));
    }
    const Doc *doc() const { return d_; }
    uint32_t index() const { return i_; }

private:
    const Doc *d_;
    uint32_t i_;
};

// The value of an item, built iteratively.
Value to_value(const Doc &doc, uint32_t item);

}  // namespace tw::stack::yaml
