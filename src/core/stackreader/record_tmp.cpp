// Record construction and number conversion shared by the readers.
#include "core/pytext.h"
#include "core/stackreader/reader.h"

namespace tw::stack {

Value make_record(Value provider, Value type, Value name, Map properties) {
    Map m;
    m.set("provider", std::move(provider));
    m.set("type", std::move(type));
    m.set("name", std::move(name));
    m.set("properties", Value(std::move(properties)));
    return Value(std::move(m));
}

std::string provider_of(std::string_view type) {
    size_t p = type.find('_');
    if (p == std::string_view::npos) return "unknown";
    return std::string(type.substr(0, p));
}

Value number_or_text(std::string_view s) {
    if (s.find('.') != std::string_view::npos) {
        if (auto d = pytext::parse_float(s)) return Value(*d);
    } else if (auto i = pytext::parse_int(s)) {
        return std::move(*i);
    }
    return Value(s);
}

}  // namespace tw::stack
