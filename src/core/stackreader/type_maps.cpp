#include "core/stackreader/type_maps.h"

#include <algorithm>
#include <iterator>
#include <tuple>

namespace tw::stack {

namespace {
#include "core/stackreader/type_maps.inc"

using Key3 = std::tuple<std::string_view, std::string_view, std::string_view>;

Key3 key_of(const KeyTranslation &t) { return {t.reader, t.type, t.key}; }

const KeyTranslation *find_translation(const Key3 &k) {
    auto it = std::lower_bound(std::begin(kKeyTranslations), std::end(kKeyTranslations), k,
                               [](const KeyTranslation &t, const Key3 &k) { return key_of(t) < k; });
    return it != std::end(kKeyTranslations) && key_of(*it) == k ? &*it : nullptr;
}
}  // namespace

std::span<const TypePair> cf_type_map() { return kCfTypes; }
std::span<const TypePair> pulumi_type_map() { return kPulumiTypes; }

const char *mapped_type(std::span<const TypePair> map, std::string_view key) {
    auto it = std::lower_bound(map.begin(), map.end(), key,
                               [](const TypePair &p, std::string_view k) { return std::string_view(p.first) < k; });
    return it != map.end() && it->first == key ? it->second : nullptr;
}

std::string_view extra_key(std::string_view reader, std::string_view type, std::string_view key) {
    const KeyTranslation *t = find_translation({reader, type, key});
    if (!t) t = find_translation({reader, "*", key});
    return t ? std::string_view(t->record_key) : std::string_view();
}

}  // namespace tw::stack
