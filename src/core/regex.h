// Compiled PCRE2 patterns with the matching rules of the host's re module on text:
// UTF-8 subjects, Unicode \d and \w, and \s as the host's str.isspace().
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace tw {

class Regex {
public:
    struct Match {
        // Byte offsets of the whole match (group 0) and of each group; -1 where unset.
        std::vector<std::pair<long, long>> groups;
        std::string_view group(std::string_view subject, size_t i) const {
            if (i >= groups.size() || groups[i].first < 0) return {};
            return subject.substr(size_t(groups[i].first), size_t(groups[i].second - groups[i].first));
        }
        size_t start() const { return size_t(groups[0].first); }
        size_t end() const { return size_t(groups[0].second); }
    };

    // `pattern` is written in the host's re syntax; "\s" is rewritten to its exact class.
    explicit Regex(std::string_view pattern);
    ~Regex();
    Regex(const Regex &) = delete;
    Regex &operator=(const Regex &) = delete;

    // re.search from byte offset `from`.
    bool search(std::string_view subject, Match &m, size_t from = 0) const;
    bool search(std::string_view subject) const;
    // re.match: anchored at `from`.
    bool match(std::string_view subject, Match &m, size_t from = 0) const;
    // re.findall-style iteration of non-overlapping matches.
    std::vector<Match> find_all(std::string_view subject) const;

    const std::string &pattern() const { return source_; }

private:
    bool run(std::string_view subject, Match &m, size_t from, bool anchored) const;
    struct Impl;
    std::unique_ptr<Impl> impl_;
    std::string source_;
};

}  // namespace tw
