#include "core/stackreader/yaml.h"

#include "core/stackreader/formats.h"

namespace tw::stack {

namespace yaml {

namespace {
constexpr uint32_t kIndexFrom = 16;  // maps with more entries get a key index
}

uint32_t Doc::add(Kind k) {
    items_.emplace_back();
    items_.back().kind = k;
    items_.back().i = 0;
    return uint32_t(items_.size() - 1);
}

uint32_t Doc::scalar(std::string_view s) {
    if (maybe_number(s)) {
        Value v = number_or_text(s);
        if (v.is_int()) {
            uint32_t n = add(Kind::Int);
            items_[n].i = v.as_int();
            return n;
        }
        if (v.is_float()) {
            uint32_t n = add(Kind::Float);
            items_[n].d = v.as_float();
            return n;
        }
        if (v.is_bigint()) {
            uint32_t n = add(Kind::Big);
            items_[n].big = uint32_t(bigs_.size());
            bigs_.push_back(v.as_bigint().digits);
            return n;
        }
    }
    uint32_t n = add(Kind::Text);
    items_[n].text = s;
    return n;
}

uint32_t Doc::find_entry(uint32_t map, std::string_view key) const {
    const Item &m = items_[map];
    if (m.index != kNone) {
        const auto &ix = indexes_[m.index];
        auto it = ix.find(key);
        return it == ix.end() ? kNone : it->second;
    }
    for (uint32_t e = m.first; e != kNone; e = entries_[e].next)
        if (entries_[e].key == key) return e;
    return kNone;
}

uint32_t Doc::find(uint32_t map, std::string_view key) const {
    uint32_t e = find_entry(map, key);
    return e == kNone ? kNone : entries_[e].value;
}

void Doc::set(uint32_t map, std::string_view key, uint32_t value) {
    // As a host dict does: an existing key keeps its position and takes the new value.
    if (uint32_t e = find_entry(map, key); e != kNone) {
        entries_[e].value = value;
        return;
    }
    append(map, value);
    Item &m = items_[map];
    entries_[m.last].key = key;
    if (m.index != kNone) {
        indexes_[m.index].emplace(key, m.last);
    } else if (m.count > kIndexFrom) {
        m.index = uint32_t(indexes_.size());
        auto &ix = indexes_.emplace_back();
        for (uint32_t e = m.first; e != kNone; e = entries_[e].next) ix.emplace(entries_[e].key, e);
    }
}

void Doc::append(uint32_t list, uint32_t value) {
    entries_.push_back({{}, value, kNone});
    uint32_t e = uint32_t(entries_.size() - 1);
    Item &l = items_[list];
    if (l.last == kNone) l.first = e;
    else entries_[l.last].next = e;
    l.last = e;
    ++l.count;
}

Doc::Doc(std::string_view text) {
    struct Frame {
        long indent;
        bool has_key;
        std::string_view key;
        uint32_t container;
        bool block;  // opened by "key:" with an empty (or tag-only) value
    };
    add(Kind::Map);
    std::vector<Frame> stack;
    stack.push_back({-1, false, {}, 0, false});
    Lines lines(text);
    for (std::string_view line; lines.next(line);) {
        std::string_view content = line.substr(0, line.find('#'));
        std::string_view stripped = strip(content);
        if (stripped.empty()) continue;
        long indent = long(content.find_first_not_of(' '));
        bool is_item = stripped.front() == '-';
        while (stack.size() > 1 && stack.back().indent >= indent) {
            const Frame &t = stack.back();
            // List items at the column of the key that opened the block belong to that key.
            if (is_item && t.indent == indent && t.block &&
                (items_[t.container].kind == Kind::List || items_[t.container].count == 0))
                break;
            stack.pop_back();
        }
        if (is_item) {
            std::string_view it = strip(stripped.substr(1));
            uint32_t parent = stack.back().container;
            if (items_[parent].kind != Kind::List) {
                Frame &top = stack.back();
                parent = add(Kind::List);
                if (stack.size() > 1 && top.has_key && items_[stack[stack.size() - 2].container].kind == Kind::Map) {
                    set(stack[stack.size() - 2].container, top.key, parent);
                    top.container = parent;
                }  // else the list is attached nowhere: what goes in is lost
            }
            size_t colon = it.find(':');
            if (colon != std::string_view::npos) {
                std::string_view key = strip_quotes(strip(it.substr(0, colon)));
                std::string_view value = strip_quotes(strip(it.substr(colon + 1)));
                uint32_t m = add(Kind::Map);
                set(m, key, scalar(value));
                append(parent, m);
                stack.push_back({indent, true, key, m, false});
            } else {
                append(parent, scalar(strip_quotes(it)));
            }
            continue;
        }
        size_t colon = stripped.find(':');
        if (colon == std::string_view::npos) continue;
        std::string_view key = strip_quotes(strip(stripped.substr(0, colon)));
        std::string_view raw = strip(stripped.substr(colon + 1));
        std::string_view value = strip_quotes(raw);
        uint32_t parent = stack.back().container;
        if (items_[parent].kind == Kind::List) {
            uint32_t m = add(Kind::Map);
            append(parent, m);
            stack.push_back({indent, false, {}, m, false});
            parent = m;
        }
        if (value.empty() || tag_only(raw)) {
            uint32_t m = add(Kind::Map);
            if (items_[parent].kind == Kind::Map) set(parent, key, m);
            stack.push_back({indent, true, key, m, true});
        } else if (items_[parent].kind == Kind::Map) {
            set(parent, key, scalar(value));
        }
    }
}

const char *DocNode::type_name() const {
    switch (kind()) {
        case Doc::Kind::Map: return "dict";
        case Doc::Kind::List: return "list";
        case Doc::Kind::Text: return "str";
        case Doc::Kind::Float: return "float";
        default: return "int";
    }
}

Value to_value(const Doc &doc, uint32_t item) {
    auto scalar = [&](const Doc::Item &it) -> Value {
        switch (it.kind) {
            case Doc::Kind::Int: return Value(it.i);
            case Doc::Kind::Float: return Value(it.d);
            case Doc::Kind::Big: return Value(BigInt{doc.big(it.big)});
            default: return Value(it.text);
        }
    };
    const Doc::Item &top = doc.item(item);
    if (top.kind != Doc::Kind::Map && top.kind != Doc::Kind::List) return scalar(top);
    Value result = top.kind == Doc::Kind::Map ? make_map() : make_list();
    struct Frame {
        Value v;  // shares the container being filled
        uint32_t next;
    };
    std::vector<Frame> stack{{result, top.first}};
    while (!stack.empty()) {
        uint32_t e = stack.back().next;
        if (e == Doc::kNone) {
            stack.pop_back();
            continue;
        }
        const Doc::Entry &en = doc.entry(e);
        stack.back().next = en.next;
        const Doc::Item &it = doc.item(en.value);
        bool container = it.kind == Doc::Kind::Map || it.kind == Doc::Kind::List;
        Value x = !container ? scalar(it) : it.kind == Doc::Kind::Map ? make_map() : make_list();
        Value handle;
        if (container) handle = x;
        Value &parent = stack.back().v;
        if (parent.is_map()) parent.as_map().set(std::string(en.key), std::move(x));
        else parent.as_list().push_back(std::move(x));
        if (container) stack.push_back({std::move(handle), it.first});
    }
    return result;
}

}  // namespace yaml

Value parse_yaml(std::string_view text) {
    yaml::Doc doc(text);
    return yaml::to_value(doc, doc.root());
}

}  // namespace tw::stack
