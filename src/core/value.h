// Property values in the JSON data model, with insertion-ordered maps.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

namespace tw {

struct Value;
using List = std::vector<Value>;
class Map;

// An integer outside the 64-bit range, kept as its decimal text ("-123...").
struct BigInt {
    std::string digits;
    bool operator==(const BigInt &) const = default;
};

struct Null {
    bool operator==(const Null &) const = default;
};

struct Value {
    enum class Kind { Null, Bool, Int, BigInt, Float, Str, List, Map };

    std::variant<Null, bool, int64_t, BigInt, double, std::string, std::shared_ptr<List>,
                 std::shared_ptr<Map>>
        v;

    Value() = default;
    Value(Null) {}
    Value(bool b) : v(b) {}
    Value(int i) : v(int64_t(i)) {}
    Value(int64_t i) : v(i) {}
    Value(BigInt b) : v(std::move(b)) {}
    Value(double d) : v(d) {}
    Value(std::string s) : v(std::move(s)) {}
    Value(std::string_view s) : v(std::string(s)) {}
    Value(const char *s) : v(std::string(s)) {}
    Value(List l);
    Value(Map m);

    Value(const Value &) = default;
    Value(Value &&) noexcept = default;
    Value &operator=(const Value &) = default;
    Value &operator=(Value &&) noexcept = default;
    ~Value();

    Kind kind() const { return Kind(v.index()); }
    bool is_null() const { return kind() == Kind::Null; }
    bool is_bool() const { return kind() == Kind::Bool; }
    bool is_int() const { return kind() == Kind::Int; }
    bool is_bigint() const { return kind() == Kind::BigInt; }
    bool is_float() const { return kind() == Kind::Float; }
    bool is_number() const { return is_int() || is_bigint() || is_float(); }
    bool is_str() const { return kind() == Kind::Str; }
    bool is_list() const { return kind() == Kind::List; }
    bool is_map() const { return kind() == Kind::Map; }

    bool as_bool() const { return std::get<bool>(v); }
    int64_t as_int() const { return std::get<int64_t>(v); }
    const BigInt &as_bigint() const { return std::get<BigInt>(v); }
    double as_float() const { return std::get<double>(v); }
    const std::string &as_str() const { return std::get<std::string>(v); }
    std::string &as_str() { return std::get<std::string>(v); }
    const List &as_list() const { return *std::get<std::shared_ptr<List>>(v); }
    List &as_list() { return *std::get<std::shared_ptr<List>>(v); }
    const Map &as_map() const { return *std::get<std::shared_ptr<Map>>(v); }
    Map &as_map() { return *std::get<std::shared_ptr<Map>>(v); }

    // Python truthiness: None, False, 0, 0.0, "", [] and {} are false.
    bool truthy() const;
};

// Python equality of two values (1 == 1.0 == True; "1" != 1).
bool operator==(const Value &a, const Value &b);

// Map from text to value that keeps insertion order; setting an existing key keeps its
// position and replaces the value, as a Python dict does.
class Map {
public:
    using Item = std::pair<std::string, Value>;

    Map() = default;
    Map(const Map &o) : items_(o.items_) {}
    Map(Map &&o) noexcept = default;
    Map &operator=(const Map &o) {
        items_ = o.items_;
        index_.reset();
        return *this;
    }
    Map &operator=(Map &&o) noexcept = default;

    const Value *find(std::string_view key) const;
    Value *find(std::string_view key) {
        return const_cast<Value *>(static_cast<const Map *>(this)->find(key));
    }
    bool contains(std::string_view key) const { return find(key) != nullptr; }
    void set(std::string key, Value value);
    size_t size() const { return items_.size(); }
    void reserve(size_t n) { items_.reserve(n); }
    bool empty() const { return items_.empty(); }
    const Item &front() const { return items_.front(); }

    auto begin() const { return items_.begin(); }
    auto end() const { return items_.end(); }
    auto begin() { return items_.begin(); }
    auto end() { return items_.end(); }

    // Moves the items out, leaving the map empty (used for iterative destruction).
    std::vector<Item> release() {
        index_.reset();
        return std::move(items_);
    }

private:
    static constexpr size_t kIndexFrom = 12;
    void build_index() const;

    std::vector<Item> items_;
    mutable std::unique_ptr<std::unordered_map<std::string, size_t>> index_;
};

inline Value::Value(List l) : v(std::make_shared<List>(std::move(l))) {}
inline Value::Value(Map m) : v(std::make_shared<Map>(std::move(m))) {}

inline Value make_list() { return Value(List{}); }
inline Value make_map() { return Value(Map{}); }

// Python type name of a value, for error messages ("str", "int", "dict", ...).
const char *type_name(const Value &v);

}  // namespace tw
