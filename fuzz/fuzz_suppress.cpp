// Suppression comments: every line of the input in each comment style. A parsed type list
// holds stripped upper-case names, a line that never mentions the directive silences
// nothing, a well-formed comment after plain code silences, and dropping findings keeps
// exactly the ones no comment silences.
#include <string>
#include <vector>

#include "check.h"
#include "core/hotspotter/rules.h"
#include "core/hotspotter/suppress.h"

using namespace tw;

namespace {

constexpr hotspot::CommentStyle kStyles[] = {hotspot::CommentStyle::Hash, hotspot::CommentStyle::Slash,
                                             hotspot::CommentStyle::HashOrSlash};
constexpr std::string_view kTypes[] = {"N_PLUS_ONE", "SLEEP_IN_LOOP", "API_IN_LOOP", "LARGE_LITERAL"};

void check_parsed(const hotspot::Suppression &s, std::string_view line) {
    if (!hotspot::mentions_suppression(line)) fuzz::check(!s.present, "silenced without the directive", line);
    if (!s.present) {
        fuzz::check(!s.all && s.types.empty(), "absent comment with content", line);
        fuzz::check(!s.silences("N_PLUS_ONE"), "absent comment silences", line);
        return;
    }
    if (s.all) fuzz::check(s.silences("ANY_TYPE"), "ignore-all does not silence", line);
    for (const auto &t : s.types) {
        fuzz::check(!t.empty(), "empty type listed", line);
        fuzz::check(pytext::strip(t) == t, "type not stripped", line);
        for (char c : t) {
            fuzz::check(!(c >= 'a' && c <= 'z'), "type not upper case", line);
            fuzz::check(c != ',' && c != ']', "type holds a separator", line);
        }
        fuzz::check(s.silences(t), "listed type not silenced", line);
    }
}

// Code without quotes, escapes or comment markers: nothing in it can hide a comment after it.
bool plain_code(std::string_view line) {
    for (char c : line)
        if (c == '"' || c == '\'' || c == '`' || c == '\\' || c == '#' || c == '/')
            return false;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // Sources are decoded before their comments are read, as the analyser does.
    std::string decoded = hotspot::decode_source(std::string_view(reinterpret_cast<const char *>(data), size), false);
    std::string_view text = decoded;
    std::vector<std::string_view> lines = pytext::split_newlines(text);
    if (lines.empty()) lines.push_back(text);
    for (auto style : kStyles) {
        std::vector<hotspot::Finding> found;
        for (size_t i = 0; i < lines.size(); ++i) {
            check_parsed(hotspot::suppression_of(lines[i], style), lines[i]);
            for (auto type : kTypes) found.push_back({int64_t(i + 1), type, "LOW", "", ""});
        }
        // Lines out of range are never silenced.
        fuzz::check(!hotspot::silenced(lines, 0, "N_PLUS_ONE", style), "line 0 silenced");
        fuzz::check(!hotspot::silenced(lines, int64_t(lines.size()) + 1, "N_PLUS_ONE", style), "line past end silenced");
        size_t expected = 0;
        for (const auto &f : found)
            if (!hotspot::suppression_of(lines[size_t(f.line - 1)], style).silences(f.type)) ++expected;
        hotspot::drop_silenced(found, lines, style);
        fuzz::check(found.size() == expected, "drop_silenced disagrees with the parsed comments", text);
    }
    // A well-formed comment after plain code silences, in every style that allows its marker.
    std::string_view first = lines.front().substr(0, 200);
    if (plain_code(first)) {
        std::string hash = std::string(first) + " # tally-warden: ignore[sleep_in_loop]";
        std::string slash = std::string(first) + " // tally-warden: ignore";
        auto h = hotspot::suppression_of(hash, hotspot::CommentStyle::Hash);
        fuzz::check(h.present && !h.all && h.silences("SLEEP_IN_LOOP") && !h.silences("N_PLUS_ONE"),
                    "typed comment after plain code", hash);
        fuzz::check(hotspot::suppression_of(slash, hotspot::CommentStyle::Slash).all, "comment after plain code",
                    slash);
        fuzz::check(hotspot::suppression_of(slash, hotspot::CommentStyle::HashOrSlash).all,
                    "comment after plain code", slash);
    }
    return 0;
}
