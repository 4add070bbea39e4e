#include "core/pytext.h"
#include "core/stackreader/reader.h"

namespace tw::stack {

Value make_record(Value provider, Value type, Value name, Map properties) {
    Map m;
    m.reserve(4);
    m.set("provider", std::move(provider));
    m.set("type", std::move(type));
    m.set("name", std::move(name));
    m.set("properties", Value(std::move(properties)));
    return Value(std::move(m));
}

std::string provider_of(std::string_view type) {
    size_t p = type.find('_');
    return p == std::string_view::npos ? "unknown" : std::string(type.substr(0, p));
}

namespace {
// Whether text could spell a number for int() or float(): a first character that no number
// text starts with rules it out without parsing.
bool may_be_number(std::string_view s) {
    for (unsigned char c : s) {
        if (c == ' ' || (c >= 0x09 && c <= 0x0D)) continue;
        if (c >= 0x80) return true;  // Unicode digits and white space
        return (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.' || c == 'i' || c == 'I' || c == 'n' ||
               c == 'N';
    }
    return false;
}
}  // namespace

Value number_or_text(std::string_view s) {
    if (!may_be_number(s)) return Value(std::string(s));
    if (s.find('.') != std::string_view::npos) {
        if (auto d = pytext::parse_float(s)) return Value(*d);
    } else if (auto i = pytext::parse_int(s)) {
        return *i;
    }
    return Value(std::string(s));
}

std::string_view unquote(std::string_view s) {
    if (!s.empty() && ((s.front() == '"' && s.back() == '"') || (s.front() == '\'' && s.back() == '\'')))
        return s.size() >= 2 ? s.substr(1, s.size() - 2) : std::string_view();
    return s;
}

std::string_view comment_cut(std::string_view s) {
    bool quoted = false;
    for (size_t i = 0; i < s.size(); ++i) {
        char c = s[i];
        if (quoted) {
            if (c == '\\') ++i;
            else if (c == '"') quoted = false;
        } else if (c == '"') {
            quoted = true;
        } else if (c == '#' || (c == '/' && i + 1 < s.size() && (s[i + 1] == '/' || s[i + 1] == '*'))) {
            s = s.substr(0, i);
            break;
        }
    }
    return pytext::strip(s);
}

}  // namespace tw::stack
