#include "core/value.h"

#include <cmath>

namespace tw {

Value::~Value() {
    // Deeply nested documents must not recurse in the destructor: move the children of
    // containers that die with this value onto a work list and let them die there.
    if (!is_list() && !is_map()) return;
    std::vector<Value> work;
    auto take = [&work](Value &x) {
        if (auto *lp = std::get_if<std::shared_ptr<List>>(&x.v)) {
            if (*lp && lp->use_count() == 1) {
                for (auto &c : **lp)
                    if (c.is_list() || c.is_map()) work.push_back(std::move(c));
                (*lp)->clear();
            }
        } else if (auto *mp = std::get_if<std::shared_ptr<Map>>(&x.v)) {
            if (*mp && mp->use_count() == 1) {
                auto items = (*mp)->release();
                for (auto &it : items)
                    if (it.second.is_list() || it.second.is_map()) work.push_back(std::move(it.second));
            }
        }
    };
    take(*this);
    while (!work.empty()) {
        Value x = std::move(work.back());
        work.pop_back();
        take(x);
    }
}

bool Value::truthy() const {
    switch (kind()) {
        case Kind::Null: return false;
        case Kind::Bool: return as_bool();
        case Kind::Int: return as_int() != 0;
        case Kind::BigInt: return true;
        case Kind::Float: return as_float() != 0.0;
        case Kind::Str: return !as_str().empty();
        case Kind::List: return !as_list().empty();
        case Kind::Map: return !as_map().empty();
    }
    return false;
}

namespace {
bool numeric(const Value &v, double &d, bool &is_big) {
    is_big = false;
    switch (v.kind()) {
        case Value::Kind::Bool: d = v.as_bool() ? 1 : 0; return true;
        case Value::Kind::Int: d = double(v.as_int()); return true;
        case Value::Kind::Float: d = v.as_float(); return true;
        case Value::Kind::BigInt: is_big = true; return true;
        default: return false;
    }
}
}  // namespace

bool operator==(const Value &a, const Value &b) {
    double da = 0, db = 0;
    bool ba = false, bb = false;
    if (numeric(a, da, ba) && numeric(b, db, bb)) {
        if (ba || bb) return ba && bb && a.as_bigint() == b.as_bigint();
        if ((a.is_int() || a.is_bool()) && (b.is_int() || b.is_bool())) {
            int64_t ia = a.is_bool() ? a.as_bool() : a.as_int();
            int64_t ib = b.is_bool() ? b.as_bool() : b.as_int();
            return ia == ib;
        }
        // int vs float: compare exactly as Python does.
        if (a.is_int() && b.is_float()) {
            double f = b.as_float();
            if (!std::isfinite(f) || std::trunc(f) != f) return false;
            if (f < -9.2233720368547758e18 || f >= 9.2233720368547758e18) return false;
            return int64_t(f) == a.as_int();
        }
        if (a.is_float() && b.is_int()) return b == a;
        return da == db;
    }
    if (a.kind() != b.kind()) return false;
    switch (a.kind()) {
        case Value::Kind::Null: return true;
        case Value::Kind::Str: return a.as_str() == b.as_str();
        case Value::Kind::List: {
            const auto &x = a.as_list(), &y = b.as_list();
            if (x.size() != y.size()) return false;
            for (size_t i = 0; i < x.size(); ++i)
                if (!(x[i] == y[i])) return false;
            return true;
        }
        case Value::Kind::Map: {
            const auto &x = a.as_map(), &y = b.as_map();
            if (x.size() != y.size()) return false;
            for (const auto &[k, v] : x) {
                const Value *o = y.find(k);
                if (!o || !(*o == v)) return false;
            }
            return true;
        }
        default: return false;
    }
}

void Map::build_index() const {
    index_ = std::make_unique<std::unordered_map<std::string, size_t>>();
    index_->reserve(items_.size() * 2);
    for (size_t i = 0; i < items_.size(); ++i) index_->emplace(items_[i].first, i);
}

const Value *Map::find(std::string_view key) const {
    if (items_.size() >= kIndexFrom) {
        if (!index_) build_index();
        auto it = index_->find(std::string(key));
        return it == index_->end() ? nullptr : &items_[it->second].second;
    }
    for (const auto &it : items_)
        if (it.first == key) return &it.second;
    return nullptr;
}

void Map::set(std::string key, Value value) {
    if (Value *v = find(key)) {
        *v = std::move(value);
        return;
    }
    items_.emplace_back(std::move(key), std::move(value));
    if (index_) index_->emplace(items_.back().first, items_.size() - 1);
}

const char *type_name(const Value &v) {
    switch (v.kind()) {
        case Value::Kind::Null: return "NoneType";
        case Value::Kind::Bool: return "bool";
        case Value::Kind::Int:
        case Value::Kind::BigInt: return "int";
        case Value::Kind::Float: return "float";
        case Value::Kind::Str: return "str";
        case Value::Kind::List: return "list";
        case Value::Kind::Map: return "dict";
    }
    return "object";
}

}  // namespace tw
