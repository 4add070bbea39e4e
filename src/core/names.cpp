// File names in output.
#include "core/names.h"

#include "core/json.h"
#include "core/pytext.h"

namespace tw::names {

namespace {
void hex_byte(std::string &out, const char *prefix, unsigned char c) {
    static const char *hex = "0123456789abcdef";
    out += prefix;
    out += hex[c >> 4];
    out += hex[c & 15];
}
}  // namespace

std::string printable(std::string_view name) {
    std::string out;
    out.reserve(name.size());
    for (size_t i = 0; i < name.size();) {
        size_t n = pytext::utf8_valid_at(name, i);
        auto c = static_cast<unsigned char>(name[i]);
        bool c1 = n == 2 && c == 0xC2 && static_cast<unsigned char>(name[i + 1]) < 0xA0;
        if (n == 0 || c < 0x20 || c == 0x7F || c1) {
            for (size_t k = 0; k < (n ? n : 1); ++k) hex_byte(out, "\\x", static_cast<unsigned char>(name[i + k]));
            i += n ? n : 1;
        } else {
            out.append(name, i, n);
            i += n;
        }
    }
    return out;
}

void write_json(std::string &out, std::string_view name, bool ascii) {
    out += '"';
    std::string run;
    for (size_t i = 0; i < name.size();) {
        size_t start = i;
        while (i < name.size()) {
            size_t n = pytext::utf8_valid_at(name, i);
            if (!n) break;
            i += n;
        }
        if (i > start) {
            run.clear();
            json::write_string(run, name.substr(start, i - start), ascii);
            out.append(run, 1, run.size() - 2);  // without its quotes
        }
        if (i < name.size()) hex_byte(out, "\\udc", static_cast<unsigned char>(name[i++]));
    }
    out += '"';
}

}  // namespace tw::names
