// JSON decoding with the results of the host's json module for valid documents: keys in
// document order, a repeated key keeps its first position and takes its last value,
// integers stay integers of any size, numbers with a fraction or an exponent are floats,
// numbers beyond the double range become inf or 0.0, lone surrogate escapes are kept.
// The non-standard literals NaN and Infinity are rejected as invalid JSON (no plan, export
// or template holds them, and rejecting them keeps every decoded number finite unless
// written out of range), and so is a leading UTF-8 byte-order mark. Error texts follow the host's ("Expecting value: line 1
// column 1 (char 0)").
//
// A decoded Document is navigated through Nodes without building values, so that a reader
// converts only the parts of a large document that it keeps. Nothing here recurses: any
// nesting up to kMaxDepth decodes, deeper nesting is an error.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/value.h"

namespace tw::json {

// Nesting deeper than this is reported as an error instead of being decoded (the host's
// decoder stops near the same depth with a RecursionError).
constexpr size_t kMaxDepth = 10000;

// A read-only handle to one value of a Document: either a position on the tape of the fast
// decoder or a decoded Value. Valid while its Document (or Value) lives.
class Node {
public:
    Node() = default;
    explicit Node(const Value *v) : v_(v) {}
    Node(const uint64_t *tape, const uint8_t *strings, size_t i) : tape_(tape), strings_(strings), i_(i) {}

    Value::Kind kind() const;
    bool is_map() const { return kind() == Value::Kind::Map; }
    bool is_list() const { return kind() == Value::Kind::List; }
    bool is_str() const { return kind() == Value::Kind::Str; }
    bool is_null() const { return kind() == Value::Kind::Null; }
    // Python truthiness.
    bool truthy() const;
    // Python type name ("dict", "list", "str", "NoneType", ...).
    const char *type_name() const;
    // Text of a string node.
    std::string_view str() const;

    // Value of the last occurrence of `key` in a map node.
    std::optional<Node> find(std::string_view key) const;
    // Elements of a list node, in order.
    template <class F> void each(F &&f) const;
    // Entries of a map node as the host's dict holds them: first position, last value.
    std::vector<std::pair<std::string_view, Node>> items() const;
    size_t size() const;  // number of elements or entries in document order (with repeats)

    bool on_tape() const { return tape_ != nullptr; }
    const Value *value() const { return v_; }
    const uint64_t *tape() const { return tape_; }
    const uint8_t *strings() const { return strings_; }
    size_t index() const { return i_; }

    // Tape layout of the fast decoder: type in the top byte, payload below.
    static char tape_type(uint64_t w) { return char(w >> 56); }
    static size_t after(const uint64_t *tape, size_t i) {
        switch (tape_type(tape[i])) {
            case '{': case '[': return uint32_t(tape[i]);
            case 'l': case 'u': case 'd': return i + 2;
            default: return i + 1;
        }
    }
    static std::string_view tape_str(const uint64_t *tape, const uint8_t *strings, size_t i) {
        const uint8_t *p = strings + (tape[i] & 0x00FFFFFFFFFFFFFFull);
        uint32_t len;
        std::memcpy(&len, p, sizeof len);
        return {reinterpret_cast<const char *>(p + 4), len};
    }

private:
    const Value *v_ = nullptr;
    const uint64_t *tape_ = nullptr;
    const uint8_t *strings_ = nullptr;
    size_t i_ = 0;
};

// A decoded JSON document.
class Document {
public:
    Document();
    ~Document();
    Document(Document &&) noexcept;
    Document &operator=(Document &&) noexcept;
    Node root() const;

    struct Impl;
    Impl &impl() { return *impl_; }

private:
    std::unique_ptr<Impl> impl_;
};

// Decodes `text` (valid UTF-8 or not: invalid UTF-8 is reported with the host's text).
bool load(std::string_view text, Document &doc, std::string &error);
// Reads a file and decodes it; `error` gets the read, decode or parse error text.
bool load_file(const std::string &path, Document &doc, std::string &error);

// The value under a node, built iteratively.
Value to_value(Node n);

// Decodes `text` into a value. Returns false with `error` set on failure.
bool parse(std::string_view text, Value &out, std::string &error);
// The fallback decoder alone, on valid UTF-8 text (the fast decoder is not tried).
bool parse_fallback(std::string_view text, Value &out, std::string &error);
// Reads a file as UTF-8 and decodes it.
bool parse_file(const std::string &path, Value &out, std::string &error);

// Appends `s` as a JSON string: invalid UTF-8 replaced, quotes, backslashes and control
// characters escaped; with `ascii`, every code point beyond ASCII as \u escapes too.
void write_string(std::string &out, std::string_view s, bool ascii);

template <class F> void Node::each(F &&f) const {
    if (tape_) {
        size_t end = uint32_t(tape_[i_]) - 1;
        for (size_t j = i_ + 1; j < end; j = after(tape_, j)) f(Node(tape_, strings_, j));
    } else {
        for (const Value &x : v_->as_list()) f(Node(&x));
    }
}

}  // namespace tw::json
