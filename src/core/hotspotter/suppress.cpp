#include "core/hotspotter/suppress.h"

#include <algorithm>

#include "core/pytext.h"

namespace tw::hotspot {

namespace {

constexpr std::string_view kDirective = "tally-warden:";

char upper(char c) { return c >= 'a' && c <= 'z' ? char(c - 'a' + 'A') : c; }

bool is_word(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

// Where the line's comment begins: the first marker of `style` outside quoted text (quotes
// '...' and "...", and `...` for "//" sources, with backslash escapes); npos when none.
size_t comment_start(std::string_view line, CommentStyle style) {
    bool hash = style != CommentStyle::Slash, slash = style != CommentStyle::Hash;
    char quote = 0;
    for (size_t i = 0; i < line.size(); ++i) {
        char c = line[i];
        if (quote) {
            if (c == '\\') ++i;
            else if (c == quote) quote = 0;
        } else if (c == '"' || c == '\'' || (c == '`' && slash)) {
            quote = c;
        } else if ((hash && c == '#') || (slash && c == '/' && i + 1 < line.size() && line[i + 1] == '/')) {
            return i;
        }
    }
    return std::string_view::npos;
}

size_t skip_blanks(std::string_view s, size_t i) {
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
    return i;
}

// Parses "ignore" or "ignore[A, B]" at `i`; false when the text is something else.
bool parse_ignore(std::string_view s, size_t i, Suppression &out) {
    constexpr std::string_view kIgnore = "ignore";
    if (s.substr(i, kIgnore.size()) != kIgnore) return false;
    i += kIgnore.size();
    if (i < s.size() && is_word(s[i])) return false;  // "ignored", "ignore_me"
    i = skip_blanks(s, i);
    if (i >= s.size() || s[i] != '[') {
        out.present = out.all = true;
        return true;
    }
    size_t close = s.find(']', i);
    if (close == std::string_view::npos) return false;  // an unclosed list silences nothing
    std::string_view list = s.substr(i + 1, close - i - 1);
    size_t start = 0;
    while (start <= list.size()) {
        size_t comma = std::min(list.find(',', start), list.size());
        std::string_view item = pytext::strip(list.substr(start, comma - start));
        if (!item.empty()) {
            std::string t;
            for (char c : item) t += upper(c);
            out.types.push_back(std::move(t));
        }
        start = comma + 1;
    }
    out.present = true;
    return true;
}

}  // namespace

bool Suppression::silences(std::string_view type) const {
    if (!present) return false;
    if (all) return true;
    return std::find(types.begin(), types.end(), type) != types.end();
}

Suppression suppression_of(std::string_view line, CommentStyle style) {
    Suppression s;
    size_t comment = comment_start(line, style);
    if (comment == std::string_view::npos) return s;
    for (size_t at = line.find(kDirective, comment); at != std::string_view::npos;
         at = line.find(kDirective, at + 1)) {
        if (parse_ignore(line, skip_blanks(line, at + kDirective.size()), s)) return s;
        s = Suppression{};
    }
    return s;
}

bool mentions_suppression(std::string_view text) { return text.find(kDirective) != std::string_view::npos; }

bool silenced(const std::vector<std::string_view> &lines, int64_t line, std::string_view type, CommentStyle style) {
    if (line < 1 || size_t(line) > lines.size()) return false;
    std::string_view text = lines[size_t(line - 1)];
    if (!mentions_suppression(text)) return false;
    return suppression_of(text, style).silences(type);
}

void drop_silenced(std::vector<Finding> &found, const std::vector<std::string_view> &lines, CommentStyle style) {
    std::erase_if(found, [&](const Finding &f) { return silenced(lines, f.line, f.type, style); });
}

}  // namespace tw::hotspot
