// CloudFormation templates: the type table, the file reader and the conversion of decoded
// templates into core values.
#include "core/stackreader/cloudformation.h"

#include "core/fsutil.h"
#include "core/stackreader/yaml.h"

namespace tw::stack {

using json::Node;

namespace cf {

std::string type_name(std::string_view cf) {
    if (const char *t = mapped_type(cf_type_map(), cf)) return t;
    std::vector<std::string_view> parts;
    size_t start = 0;
    for (;;) {
        size_t p = cf.find("::", start);
        if (p == std::string_view::npos) break;
        parts.push_back(cf.substr(start, p - start));
        start = p + 2;
    }
    parts.push_back(cf.substr(start));
    std::string out;
    if (parts.size() > 2) {
        for (size_t i = 0; i < 3; ++i) {
            if (i) out += '_';
            out += pytext::lower(parts[i]);
        }
        return out;
    }
    std::string low = pytext::lower(cf);
    for (size_t p; (p = low.find("::")) != std::string::npos;) low.replace(p, 2, "_");
    return low;
}

}  // namespace cf

namespace {

struct ValueOut {
    using Obj = Value;
    Value map() { return make_map(); }
    void set(Value &m, std::string_view k, Value v) { m.as_map().set(std::string(k), std::move(v)); }
    Value from(const Node &n) { return json::to_value(n); }
    Value from(const yaml::DocNode &n) { return yaml::to_value(*n.doc(), n.index()); }
    Value record(std::string provider, std::string type, std::string_view name, Value props) {
        return make_record(Value(std::move(provider)), Value(std::move(type)), Value(name),
                           std::move(props.as_map()));
    }
};

}  // namespace

std::vector<Value> read_cloudformation(Node data) {
    ValueOut b;
    return cf::convert(data, b);
}

bool read_template_text(const std::string &path, std::string &text, std::string &error) {
    if (!fs::read_utf8(path, text, error)) return false;
    if (text.starts_with("\xEF\xBB\xBF")) text.erase(0, 3);
    return true;
}

bool template_is_json(std::string_view text) { return pytext::strip(text).starts_with("{"); }

std::vector<Value> parse_cloudformation(const std::string &path, const Sink &out) {
    std::string text, error;
    if (!read_template_text(path, text, error)) {
        out(std::string(kCfReadError) + path + ": " + error);
        return {};
    }
    if (template_is_json(text)) {
        json::Document doc;
        if (!json::load(text, doc, error)) {
            out(std::string(kCfJsonError) + path + ": " + error);
            return {};
        }
        try {
            return read_cloudformation(doc.root());
        } catch (const ShapeError &e) {
            out(std::string(kCfJsonError) + path + ": " + e.what());
            return {};
        }
    }
    yaml::Doc doc(text);
    ValueOut b;
    return cf::convert(yaml::DocNode(&doc, doc.root()), b);
}

}  // namespace tw::stack
