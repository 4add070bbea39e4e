// The indentation-based YAML reader of CloudFormation templates: nested maps, lists and
// scalars (text, integers, floating-point numbers). It never fails on text; malformed
// indentation only changes where values land.
#include "core/pytext.h"
#include "core/stackreader/formats.h"

namespace tw::stack {

namespace {

// Drops every leading and trailing double and single quote.
std::string_view strip_quotes(std::string_view s) {
    size_t b = s.find_first_not_of("\"'");
    if (b == std::string_view::npos) return {};
    size_t e = s.find_last_not_of("\"'");
    return s.substr(b, e - b + 1);
}

// A value that is only a tag, one word such as "!Join" or "!If".
bool tag_only(std::string_view v) {
    if (!v.starts_with("!")) return false;
    for (size_t i = 0; i < v.size();)
        if (pytext::is_space(pytext::next_cp(v, i))) return false;
    return true;
}

struct Frame {
    long indent;
    bool has_key;
    std::string key;
    Value container;  // shares the map or list it fills
    bool block;       // opened by "key:" with an empty (or tag-only) value
};

}  // namespace

Value parse_yaml(std::string_view text) {
    Value root = make_map();
    std::vector<Frame> stack;
    stack.push_back({-1, false, {}, root, false});
    for (std::string_view line : pytext::splitlines(text)) {
        std::string_view content = line.substr(0, line.find('#'));
        std::string_view stripped = pytext::strip(content);
        if (stripped.empty()) continue;
        long indent = long(content.find_first_not_of(' '));
        bool item = stripped.front() == '-';
        while (stack.size() > 1 && stack.back().indent >= indent) {
            const Frame &t = stack.back();
            // List items at the column of the key that opened the block belong to that key.
            if (item && t.indent == indent && t.block &&
                (t.container.is_list() || t.container.as_map().empty()))
                break;
            stack.pop_back();
        }
        Value parent = stack.back().container;
        if (item) {
            std::string_view it = pytext::strip(stripped.substr(1));
            if (!parent.is_list()) {
                Frame &top = stack.back();
                if (stack.size() > 1 && top.has_key && stack[stack.size() - 2].container.is_map()) {
                    parent = make_list();
                    stack[stack.size() - 2].container.as_map().set(top.key, parent);
                    top.container = parent;
                } else {
                    parent = make_list();  // attached nowhere: what goes in is lost
                }
            }
            size_t colon = it.find(':');
            if (colon != std::string_view::npos) {
                std::string key(strip_quotes(pytext::strip(it.substr(0, colon))));
                std::string_view value = strip_quotes(pytext::strip(it.substr(colon + 1)));
                Value m = make_map();
                m.as_map().set(key, number_or_text(value));
                parent.as_list().push_back(m);
                stack.push_back({indent, true, std::move(key), std::move(m), false});
            } else {
                parent.as_list().push_back(number_or_text(strip_quotes(it)));
            }
            continue;
        }
        size_t colon = stripped.find(':');
        if (colon == std::string_view::npos) continue;
        std::string key(strip_quotes(pytext::strip(stripped.substr(0, colon))));
        std::string_view raw = pytext::strip(stripped.substr(colon + 1));
        std::string_view value = strip_quotes(raw);
        if (parent.is_list()) {
            Value m = make_map();
            parent.as_list().push_back(m);
            stack.push_back({indent, false, {}, m, false});
            parent = std::move(m);
        }
        if (value.empty() || tag_only(raw)) {
            Value m = make_map();
            if (parent.is_map()) parent.as_map().set(key, m);
            stack.push_back({indent, true, std::move(key), std::move(m), true});
        } else if (parent.is_map()) {
            parent.as_map().set(std::move(key), number_or_text(value));
        }
    }
    return root;
}

}  // namespace tw::stack
