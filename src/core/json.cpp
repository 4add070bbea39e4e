#include "core/json.h"

#include <cerrno>
#include <fcntl.h>
#include <simdjson.h>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>

#include "core/fsutil.h"
#include "core/pytext.h"

namespace tw::json {

// ---------------------------------------------------------------------------------------
// Nodes

Value::Kind Node::kind() const {
    if (!tape_) return v_->kind();
    switch (tape_type(tape_[i_])) {
        case '{': return Value::Kind::Map;
        case '[': return Value::Kind::List;
        case '"': return Value::Kind::Str;
        case 'l': return Value::Kind::Int;
        case 'u': return Value::Kind::BigInt;  // above the int64 range
        case 'd': return Value::Kind::Float;
        case 't': case 'f': return Value::Kind::Bool;
        default: return Value::Kind::Null;
    }
}

bool Node::truthy() const {
    if (!tape_) return v_->truthy();
    uint64_t w = tape_[i_];
    switch (tape_type(w)) {
        case '{': case '[': return uint32_t(w) != i_ + 2;
        case '"': return !str().empty();
        case 'l': case 'u': {
            uint64_t x;
            std::memcpy(&x, &tape_[i_ + 1], sizeof x);
            return x != 0;
        }
        case 'd': {
            double d;
            std::memcpy(&d, &tape_[i_ + 1], sizeof d);
            return d != 0.0;
        }
        case 't': return true;
        default: return false;
    }
}

const char *Node::type_name() const {
    switch (kind()) {
        case Value::Kind::Null: return "NoneType";
        case Value::Kind::Bool: return "bool";
        case Value::Kind::Int: case Value::Kind::BigInt: return "int";
        case Value::Kind::Float: return "float";
        case Value::Kind::Str: return "str";
        case Value::Kind::List: return "list";
        case Value::Kind::Map: return "dict";
    }
    return "object";
}

std::string_view Node::str() const {
    if (!tape_) return v_->as_str();
    return tape_str(tape_, strings_, i_);
}

std::optional<Node> Node::find(std::string_view key) const {
    if (!tape_) {
        const Value *x = v_->as_map().find(key);
        if (!x) return std::nullopt;
        return Node(x);
    }
    std::optional<Node> found;
    size_t end = uint32_t(tape_[i_]) - 1;
    for (size_t j = i_ + 1; j < end; j = after(tape_, j + 1))
        if (tape_str(tape_, strings_, j) == key) found = Node(tape_, strings_, j + 1);
    return found;
}

std::vector<std::pair<std::string_view, Node>> Node::items() const {
    std::vector<std::pair<std::string_view, Node>> out;
    if (!tape_) {
        for (const auto &[k, x] : v_->as_map()) out.emplace_back(k, Node(&x));
        return out;
    }
    size_t end = uint32_t(tape_[i_]) - 1;
    std::unordered_map<std::string_view, size_t> seen;
    for (size_t j = i_ + 1; j < end; j = after(tape_, j + 1)) {
        std::string_view k = tape_str(tape_, strings_, j);
        auto [it, fresh] = seen.emplace(k, out.size());
        if (fresh) out.emplace_back(k, Node(tape_, strings_, j + 1));
        else out[it->second].second = Node(tape_, strings_, j + 1);
    }
    return out;
}

size_t Node::size() const {
    if (!tape_) return is_map() ? v_->as_map().size() : v_->as_list().size();
    size_t n = 0, end = uint32_t(tape_[i_]) - 1;
    bool map = tape_type(tape_[i_]) == '{';
    for (size_t j = i_ + 1; j < end; j = after(tape_, map ? j + 1 : j)) ++n;
    return n;
}

namespace {

Value tape_scalar(const uint64_t *tape, const uint8_t *strings, size_t i) {
    uint64_t w = tape[i];
    switch (Node::tape_type(w)) {
        case '"': return Value(std::string(Node::tape_str(tape, strings, i)));
        case 'l': {
            int64_t x;
            std::memcpy(&x, &tape[i + 1], sizeof x);
            return Value(x);
        }
        case 'u': {
            uint64_t x;
            std::memcpy(&x, &tape[i + 1], sizeof x);
            return Value(BigInt{std::to_string(x)});
        }
        case 'd': {
            double d;
            std::memcpy(&d, &tape[i + 1], sizeof d);
            return Value(d);
        }
        case 't': return Value(true);
        case 'f': return Value(false);
        default: return Value();
    }
}

}  // namespace

Value to_value(Node n) {
    if (!n.on_tape()) return *n.value();
    const uint64_t *tape = n.tape();
    const uint8_t *strings = n.strings();
    size_t i = n.index();
    char t = Node::tape_type(tape[i]);
    if (t != '{' && t != '[') return tape_scalar(tape, strings, i);
    // One sequential pass over the tape with an explicit stack of open containers. A
    // container is attached to its parent when it opens; the two share it.
    Value result = t == '{' ? make_map() : make_list();
    std::vector<Value> stack{result};  // shared handles of the open containers
    size_t end = uint32_t(tape[i]);
    ++i;
    while (i < end) {
        char c = Node::tape_type(tape[i]);
        if (c == '}' || c == ']') {
            stack.pop_back();
            ++i;
            continue;
        }
        Value &top = stack.back();
        std::string_view key;
        bool map = top.is_map();
        if (map) {
            key = Node::tape_str(tape, strings, i);
            ++i;
            c = Node::tape_type(tape[i]);
        }
        bool container = c == '{' || c == '[';
        Value x = c == '{' ? make_map() : c == '[' ? make_list() : tape_scalar(tape, strings, i);
        Value handle;
        if (container) handle = x;
        if (map) top.as_map().set(std::string(key), std::move(x));
        else top.as_list().push_back(std::move(x));
        if (container) {
            stack.push_back(std::move(handle));
            ++i;
        } else {
            i = Node::after(tape, i);
        }
    }
    return result;
}

// ---------------------------------------------------------------------------------------
// Fallback decoder: the host's scanner, iteratively, for what the fast decoder rejects
// (integers beyond 64 bits, numbers beyond the double range, lone surrogates) and for the
// host's error texts.

namespace {

struct Failure {
    std::string text;
};

class Scanner {
public:
    explicit Scanner(std::string_view s) : s_(s) {}

    Value run() {
        size_t pos = skip_ws(0);
        Value v = parse_from(pos);
        pos = skip_ws(pos_);
        if (pos != s_.size()) fail("Extra data", pos);
        return v;
    }

private:
    struct Frame {
        Value v;
        bool map;
        std::string key;
    };

    std::string_view s_;
    size_t pos_ = 0;

    static bool ws(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
    size_t skip_ws(size_t p) const {
        while (p < s_.size() && ws(s_[p])) ++p;
        return p;
    }
    char at(size_t p) const { return p < s_.size() ? s_[p] : '\0'; }
    bool has(size_t p) const { return p < s_.size(); }

    [[noreturn]] void fail(const char *msg, size_t byte_pos) const {
        // Positions count code points, as the host's do.
        size_t chars = 0, line = 1, last_nl = std::string_view::npos, last_nl_chars = 0;
        for (size_t i = 0; i < byte_pos && i < s_.size(); ++i) {
            unsigned char c = s_[i];
            if ((c & 0xC0) == 0x80) continue;
            if (c == '\n') {
                ++line;
                last_nl = i;
                last_nl_chars = chars;
            }
            ++chars;
        }
        size_t col = last_nl == std::string_view::npos ? chars + 1 : chars - last_nl_chars;
        throw Failure{std::string(msg) + ": line " + std::to_string(line) + " column " + std::to_string(col) +
                      " (char " + std::to_string(chars) + ")"};
    }

    static int hexval(char c) {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    }

    // Four hex digits at p, or -1.
    int hex4(size_t p) const {
        int c = 0;
        for (size_t k = 0; k < 4; ++k) {
            int d = hexval(s_[p + k]);
            if (d < 0) return -1;
            c = c * 16 + d;
        }
        return c;
    }


    // String starting after the opening quote at `begin`; returns the position after the
    // closing quote.
    size_t scan_string(size_t begin, std::string &out) const {
        size_t p = begin + 1, n = s_.size();
        out.clear();
        for (;;) {
            size_t q = p;
            while (q < n) {
                unsigned char c = s_[q];
                if (c == '"' || c == '\\' || c < 0x20) break;
                ++q;
            }
            out.append(s_.substr(p, q - p));
            if (q >= n) fail("Unterminated string starting at", begin);
            char c = s_[q];
            if (c == '"') return q + 1;
            if (c != '\\') fail("Invalid control character at", q);
            ++q;
            if (q >= n) fail("Unterminated string starting at", begin);
            c = s_[q];
            if (c != 'u') {
                switch (c) {
                    case '"': out += '"'; break;
                    case '\\': out += '\\'; break;
                    case '/': out += '/'; break;
                    case 'b': out += '\b'; break;
                    case 'f': out += '\f'; break;
                    case 'n': out += '\n'; break;
                    case 'r': out += '\r'; break;
                    case 't': out += '\t'; break;
                    default: fail("Invalid \\escape", q - 1);
                }
                p = q + 1;
                continue;
            }
            ++q;
            if (q + 4 >= n) fail("Invalid \\uXXXX escape", q - 1);
            int cp = hex4(q);
            if (cp < 0) fail("Invalid \\uXXXX escape", q - 1);
            q += 4;
            uint32_t code = uint32_t(cp);
            if (code >= 0xD800 && code <= 0xDBFF && q + 6 < n && s_[q] == '\\' && s_[q + 1] == 'u') {
                int c2 = hex4(q + 2);
                if (c2 < 0) fail("Invalid \\uXXXX escape", q + 1);
                if (c2 >= 0xDC00 && c2 <= 0xDFFF) {
                    code = 0x10000 + ((code - 0xD800) << 10) + (uint32_t(c2) - 0xDC00);
                    q += 6;
                }
            }
            pytext::append_utf8(out, code);  // a lone surrogate keeps its three-byte form, as the host keeps it
            p = q;
        }
    }

    // Number at p; returns false when none starts there.
    bool scan_number(size_t p, Value &out, size_t &next) const {
        size_t start = p, n = s_.size();
        if (at(p) == '-') {
            ++p;
            if (p >= n) return false;
        }
        if (at(p) >= '1' && at(p) <= '9') {
            ++p;
            while (p < n && s_[p] >= '0' && s_[p] <= '9') ++p;
        } else if (at(p) == '0') {
            ++p;
        } else {
            return false;
        }
        bool is_float = false;
        if (p + 1 < n && s_[p] == '.' && s_[p + 1] >= '0' && s_[p + 1] <= '9') {
            is_float = true;
            p += 2;
            while (p < n && s_[p] >= '0' && s_[p] <= '9') ++p;
        }
        if (p < n && (s_[p] == 'e' || s_[p] == 'E')) {
            size_t e = p++;
            if (p < n && (s_[p] == '-' || s_[p] == '+')) ++p;
            size_t d = p;
            while (p < n && s_[p] >= '0' && s_[p] <= '9') ++p;
            if (p > d) is_float = true;
            else p = e;
        }
        std::string_view text = s_.substr(start, p - start);
        if (is_float) {
            auto d = pytext::parse_float(text);
            if (!d) return false;
            out = Value(*d);
        } else {
            auto i = pytext::parse_int(text);
            if (!i) {
                size_t digits = text.size() - (text[0] == '-');
                throw Failure{"Exceeds the limit (4300 digits) for integer string conversion: value has " +
                              std::to_string(digits) + " digits; use sys.set_int_max_str_digits() to increase the limit"};
            }
            out = std::move(*i);
        }
        next = p;
        return true;
    }

    // Object key with its ':' at p (the opening quote expected at p).
    size_t scan_key(size_t p, std::string &key) const {
        if (at(p) != '"' || !has(p)) fail("Expecting property name enclosed in double quotes", p);
        p = skip_ws(scan_string(p, key));
        if (!has(p) || s_[p] != ':') fail("Expecting ':' delimiter", p);
        return skip_ws(p + 1);
    }

    Value parse_from(size_t pos) {
        std::vector<Frame> stack;
        Value v;
        for (;;) {
            // A value is expected at pos.
            bool complete = true;
            char c = at(pos);
            if (!has(pos)) fail("Expecting value", pos);
            if (c == '{' || c == '[') {
                if (stack.size() >= kMaxDepth)
                    throw Failure{std::string("maximum recursion depth exceeded while decoding a JSON ") +
                                  (c == '{' ? "object" : "array") + " from a unicode string"};
                bool map = c == '{';
                pos = skip_ws(pos + 1);
                if (at(pos) == (map ? '}' : ']') && has(pos)) {
                    v = map ? make_map() : make_list();
                    ++pos;
                } else {
                    stack.push_back({map ? make_map() : make_list(), map, {}});
                    if (map) pos = scan_key(pos, stack.back().key);
                    complete = false;
                }
            } else if (c == '"') {
                std::string s;
                pos = scan_string(pos, s);
                v = Value(std::move(s));
            } else if (s_.compare(pos, 4, "null") == 0) {
                v = Value();
                pos += 4;
            } else if (s_.compare(pos, 4, "true") == 0) {
                v = Value(true);
                pos += 4;
            } else if (s_.compare(pos, 5, "false") == 0) {
                v = Value(false);
                pos += 5;
            } else {
                size_t next = pos;
                if (!scan_number(pos, v, next)) fail("Expecting value", pos);
                pos = next;
            }
            if (!complete) continue;
            // Attach completed values and close containers until another value is expected.
            for (;;) {
                if (stack.empty()) {
                    pos_ = pos;
                    return v;
                }
                Frame &f = stack.back();
                if (f.map) f.v.as_map().set(std::move(f.key), std::move(v));
                else f.v.as_list().push_back(std::move(v));
                pos = skip_ws(pos);
                char close = f.map ? '}' : ']';
                if (has(pos) && s_[pos] == close) {
                    v = std::move(f.v);
                    stack.pop_back();
                    ++pos;
                    continue;
                }
                if (!has(pos) || s_[pos] != ',') fail("Expecting ',' delimiter", pos);
                size_t comma = pos;
                pos = skip_ws(pos + 1);
                if (has(pos) && s_[pos] == close)
                    fail(f.map ? "Illegal trailing comma before end of object"
                               : "Illegal trailing comma before end of array",
                         comma);
                if (f.map) {
                    f.key.clear();
                    pos = scan_key(pos, f.key);
                }
                break;
            }
        }
    }
};

bool slow_parse(std::string_view text, Value &out, std::string &error) {
    // The host reads files with universal newlines; only error positions can differ.
    std::string translated;
    if (text.find('\r') != std::string_view::npos) {
        translated = pytext::translate_newlines(text);
        text = translated;
    }
    try {
        out = Scanner(text).run();
        return true;
    } catch (const Failure &f) {
        error = f.text;
        return false;
    }
}

constexpr std::string_view kBom = "\xEF\xBB\xBF";
const char *const kBomError = "Unexpected UTF-8 BOM (decode using utf-8-sig): line 1 column 1 (char 0)";

}  // namespace

// ---------------------------------------------------------------------------------------
// Documents

struct Document::Impl {
    simdjson::dom::parser parser;
    bool on_tape = false;
    Value value;
};

Document::Document() : impl_(std::make_unique<Impl>()) {}
Document::~Document() = default;
Document::Document(Document &&) noexcept = default;
Document &Document::operator=(Document &&) noexcept = default;

Node Document::root() const {
    if (impl_->on_tape) {
        const auto &d = impl_->parser.doc;
        return Node(d.tape.get(), d.string_buf.get(), 1);
    }
    return Node(&impl_->value);
}

namespace {

// Decodes text that has SIMDJSON_PADDING readable bytes after its end.
bool load_padded(const char *data, size_t len, Document::Impl &d, std::string &error) {
    std::string_view text(data, len);
    d.on_tape = false;
    d.value = Value();
    if (text.substr(0, 3) == kBom) {
        if (auto e = pytext::utf8_error(text)) error = *e;
        else error = kBomError;
        return false;
    }
    if (len > 0 && len < 0xFFFFFFF0ull) {
        // The fast decoder also validates UTF-8; on any failure the slow path decides.
        if (!d.parser.allocate(len, kMaxDepth)) {
            simdjson::dom::element e;
            if (!d.parser.parse(reinterpret_cast<const uint8_t *>(data), len, false).get(e)) {
                d.on_tape = true;
                return true;
            }
        }
    }
    if (auto e = pytext::utf8_error(text)) {
        error = *e;
        return false;
    }
    return slow_parse(text, d.value, error);
}

}  // namespace

bool load(std::string_view text, Document &doc, std::string &error) {
    std::string buf;
    buf.reserve(text.size() + simdjson::SIMDJSON_PADDING);
    buf.append(text);
    return load_padded(buf.data(), text.size(), doc.impl(), error);
}

bool load_file(const std::string &path, Document &doc, std::string &error) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = fs::os_error_text(errno, path);
        return false;
    }
    struct stat st;
    if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        ::close(fd);
        error = fs::os_error_text(EISDIR, path);
        return false;
    }
    // Read whole, leaving the decoder's padding after the content.
    std::string buf;
    size_t len = 0;
    size_t cap = st.st_size > 0 ? size_t(st.st_size) + 1 : 1 << 16;
    buf.resize(cap + simdjson::SIMDJSON_PADDING);
    for (;;) {
        if (len == cap) {
            cap *= 2;
            buf.resize(cap + simdjson::SIMDJSON_PADDING);
        }
        ssize_t n = ::read(fd, buf.data() + len, cap - len);
        if (n < 0) {
            if (errno == EINTR) continue;
            error = fs::os_error_text(errno, path);
            ::close(fd);
            return false;
        }
        if (n == 0) break;
        len += size_t(n);
    }
    ::close(fd);
    return load_padded(buf.data(), len, doc.impl(), error);
}

bool parse(std::string_view text, Value &out, std::string &error) {
    Document doc;
    if (!load(text, doc, error)) return false;
    out = to_value(doc.root());
    return true;
}

bool parse_fallback(std::string_view text, Value &out, std::string &error) { return slow_parse(text, out, error); }

bool parse_file(const std::string &path, Value &out, std::string &error) {
    Document doc;
    if (!load_file(path, doc, error)) return false;
    out = to_value(doc.root());
    return true;
}

void write_string(std::string &out, std::string_view raw, bool ascii) {
    std::string s = pytext::utf8_error(raw) ? pytext::utf8_replace(raw) : std::string(raw);
    auto hex4 = [&out](uint32_t v) {
        static const char *hex = "0123456789abcdef";
        out += "\\u";
        for (int shift = 12; shift >= 0; shift -= 4) out += hex[(v >> shift) & 15];
    };
    out += '"';
    size_t i = 0;
    while (i < s.size()) {
        size_t start = i;
        char32_t cp = pytext::next_cp(s, i);
        switch (cp) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (cp >= 0x20 && !(ascii && cp >= 0x7f)) out.append(s, start, i - start);
                else if (cp < 0x10000) hex4(cp);
                else {
                    hex4(0xD800 + ((cp - 0x10000) >> 10));
                    hex4(0xDC00 + ((cp - 0x10000) & 0x3FF));
                }
        }
    }
    out += '"';
}

}  // namespace tw::json
