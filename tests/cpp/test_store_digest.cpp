// The price list's digest, which decides whether a store is seeded again.
#include <set>
#include <string>
#include <utility>

#include "core/ratebook/store.h"

std::pair<int, int> test_store_digest() {
    int passed = 0, failed = 0;
    // Every one-byte change, and every length, of a text longer than a few words gives a
    // digest of its own.
    std::string base = "{\"aws\": {\"aws_instance\": {\"us-east-1\": {\"m5.large\": 0.096}}}}";
    std::set<std::string> seen;
    size_t made = 0;
    for (size_t i = 0; i < base.size(); ++i) {
        std::string t = base;
        t[i] ^= 1;
        seen.insert(tw::rate::list_digest(t));
        seen.insert(tw::rate::list_digest(std::string_view(base).substr(0, i)));
        made += 2;
    }
    seen.insert(tw::rate::list_digest(base));
    ++made;
    (seen.size() == made ? passed : failed)++;
    (tw::rate::list_digest(base) == tw::rate::list_digest(std::string(base)) ? passed : failed)++;
    return {passed, failed};
}
