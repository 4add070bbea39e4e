// The Terraform reader: a line scanner that finds resource blocks and reads the
// assignments inside them, counting braces to find where a block ends.
#include <algorithm>

#include "core/fsutil.h"
#include "core/pytext.h"
#include "core/regex.h"
#include "core/stackreader/reader.h"

namespace tw::stack {

const char *const kResourcePattern = R"re(resource\s+"([^"]+)"\s+"([^"]+)"\s*\{)re";
const char *const kAssignmentPattern = R"re(^\s*([a-zA-Z0-9_\-]+)\s*=\s*(.+)$)re";

namespace {
const Regex &resource_pattern() {
    static const Regex r(kResourcePattern);
    return r;
}
const Regex &assignment_pattern() {
    static const Regex r(kAssignmentPattern);
    return r;
}

long brace_balance(std::string_view s) {
    long n = 0;
    for (char c : s) n += (c == '{') - (c == '}');
    return n;
}
}  // namespace

std::vector<Value> parse_tf_text(std::string_view text, const Map &variables, const Map &locals,
                                 const Resolver *resolver) {
    std::vector<Value> out;
    bool in_resource = false;
    long brace_count = 0;
    Value provider, type, name;
    Map props;
    Regex::Match m;
    for (std::string_view line : pytext::split_newlines(text)) {
        std::string_view stripped = pytext::strip(line);
        if (stripped.starts_with("#") || stripped.starts_with("//")) continue;
        if (!in_resource) {
            // Cheap test first: the pattern needs the word and a brace.
            if (stripped.find("resource") == std::string_view::npos || stripped.find('{') == std::string_view::npos)
                continue;
            if (!resource_pattern().search(stripped, m)) continue;
            std::string t(m.group(stripped, 1));
            provider = Value(provider_of(t));
            type = Value(t);
            name = Value(std::string(m.group(stripped, 2)));
            props = Map();
            in_resource = true;
            brace_count = brace_balance(stripped);
            if (brace_count == 0) {
                out.push_back(make_record(provider, type, name, std::move(props)));
                props = Map();
                in_resource = false;
            }
            continue;
        }
        brace_count += brace_balance(stripped);
        if (brace_count <= 0) {
            out.push_back(make_record(provider, type, name, std::move(props)));
            props = Map();
            in_resource = false;
            continue;
        }
        if (stripped.find('=') == std::string_view::npos || !assignment_pattern().match(stripped, m)) continue;
        std::string key(m.group(stripped, 1));
        std::string_view value = unquote(comment_cut(m.group(stripped, 2)));
        Value raw{std::string(value)};
        props.set(std::move(key), resolver ? (*resolver)(raw) : resolve_value(raw, variables, locals));
    }
    return out;
}

std::vector<Value> parse_tf_file(const std::string &path, const Map &variables, const Map &locals, const Sink &out,
                                 const Resolver *resolver) {
    std::string text, error;
    if (!fs::read_utf8(path, text, error)) {
        out("Error reading file " + path + ": " + error);
        return {};
    }
    return parse_tf_text(pytext::strip_bom(text), variables, locals, resolver);
}

}  // namespace tw::stack
