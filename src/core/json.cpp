#include "core/json.h"

#include <simdjson.h>

#include "core/fsutil.h"
#include "core/pytext.h"

namespace tw::json {
namespace od = simdjson::ondemand;

namespace {

struct Failure {
    std::string text;
};

void check(simdjson::error_code ec) {
    if (ec) throw Failure{simdjson::error_message(ec)};
}

Value number_value(od::value &v) {
    od::number_type t;
    check(v.get_number_type().get(t));
    switch (t) {
        case od::number_type::signed_integer: {
            int64_t i;
            check(v.get_int64().get(i));
            return Value(i);
        }
        case od::number_type::unsigned_integer: {
            std::string_view raw = pytext::rstrip(v.raw_json_token());
            auto parsed = pytext::parse_int(raw);
            if (!parsed) throw Failure{"invalid number"};
            return *parsed;
        }
        case od::number_type::floating_point_number: {
            double d;
            auto ec = v.get_double().get(d);
            if (ec == simdjson::NUMBER_ERROR) {
                // Out of the double range: the host reads it as float() does (inf or 0.0).
                auto parsed = pytext::parse_float(pytext::rstrip(v.raw_json_token()));
                if (!parsed) throw Failure{"invalid number"};
                return Value(*parsed);
            }
            check(ec);
            return Value(d);
        }
    }
    throw Failure{"invalid number"};
}

Value convert(od::value v, size_t depth) {
    if (depth > kMaxDepth) throw Failure{"The JSON document is nested too deeply"};
    od::json_type t;
    check(v.type().get(t));
    switch (t) {
        case od::json_type::object: {
            Map m;
            od::object obj;
            check(v.get_object().get(obj));
            for (auto field : obj) {
                std::string_view key;
                check(field.unescaped_key().get(key));
                std::string k(key);
                m.set(std::move(k), convert(field.value(), depth + 1));
            }
            return Value(std::move(m));
        }
        case od::json_type::array: {
            List l;
            od::array arr;
            check(v.get_array().get(arr));
            for (auto item : arr) {
                od::value iv;
                check(item.get(iv));
                l.push_back(convert(iv, depth + 1));
            }
            return Value(std::move(l));
        }
        case od::json_type::string: {
            std::string_view s;
            check(v.get_string().get(s));
            return Value(std::string(s));
        }
        case od::json_type::number: return number_value(v);
        case od::json_type::boolean: {
            bool b;
            check(v.get_bool().get(b));
            return Value(b);
        }
        case od::json_type::null: {
            bool n;
            check(v.is_null().get(n));
            if (!n) throw Failure{"invalid literal"};
            return Value();
        }
    }
    throw Failure{"invalid value"};
}

}  // namespace

bool parse(std::string_view text, Value &out, std::string &error) {
    if (text.size() >= 3 && text.substr(0, 3) == "\xEF\xBB\xBF") {
        error = "Unexpected UTF-8 BOM (decode using utf-8-sig): line 1 column 1 (char 0)";
        return false;
    }
    try {
        od::parser parser(std::max<size_t>(text.size(), 64));
        check(parser.allocate(std::max<size_t>(text.size(), 64), kMaxDepth + 8));
        simdjson::padded_string padded(text);
        od::document doc;
        check(parser.iterate(padded).get(doc));
        // A scalar document is read through the document itself.
        od::json_type t;
        check(doc.type().get(t));
        if (t == od::json_type::object || t == od::json_type::array) {
            od::value v;
            check(doc.get_value().get(v));
            out = convert(v, 1);
        } else if (t == od::json_type::string) {
            std::string_view s;
            check(doc.get_string().get(s));
            out = Value(std::string(s));
        } else if (t == od::json_type::boolean) {
            bool b;
            check(doc.get_bool().get(b));
            out = Value(b);
        } else if (t == od::json_type::null) {
            bool n;
            check(doc.is_null().get(n));
            if (!n) throw Failure{"invalid literal"};
            out = Value();
        } else {
            od::number_type nt;
            check(doc.get_number_type().get(nt));
            std::string_view raw = pytext::rstrip(doc.raw_json_token());
            if (nt == od::number_type::floating_point_number) {
                auto d = pytext::parse_float(raw);
                if (!d) throw Failure{"invalid number"};
                out = Value(*d);
            } else {
                auto i = pytext::parse_int(raw);
                if (!i) throw Failure{"invalid number"};
                out = *i;
            }
        }
        return true;
    } catch (const Failure &f) {
        error = f.text;
        return false;
    } catch (const simdjson::simdjson_error &e) {
        error = e.what();
        return false;
    }
}

bool parse_file(const std::string &path, Value &out, std::string &error) {
    std::string text;
    if (!fs::read_utf8(path, text, error)) return false;
    return parse(text, out, error);
}

}  // namespace tw::json
