// Inline suppression comments: "tally-warden: ignore" silences every finding on its line,
// "tally-warden: ignore[TYPE, ...]" the findings of the types listed.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "core/hotspotter/rules.h"

namespace tw::hotspot {

// The comment markers a language's suppression comment may follow.
enum class CommentStyle { Hash, Slash, HashOrSlash };

struct Suppression {
    bool present = false;            // the line carries a well-formed comment
    bool all = false;                // no type list: every finding is silenced
    std::vector<std::string> types;  // the types listed (upper case)
    bool silences(std::string_view type) const;
};

// The suppression comment of one source line, if any.
Suppression suppression_of(std::string_view line, CommentStyle style);

// Whether a text may hold a suppression comment at all (a quick test before splitting lines).
bool mentions_suppression(std::string_view text);

// Whether the finding of `type` at 1-based `line` of `lines` is silenced.
bool silenced(const std::vector<std::string_view> &lines, int64_t line, std::string_view type, CommentStyle style);

// Drops the findings that a comment on their line silences.
void drop_silenced(std::vector<Finding> &found, const std::vector<std::string_view> &lines, CommentStyle style);

}  // namespace tw::hotspot
