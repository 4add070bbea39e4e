// Bridges between the pricing store core and the host: the host's sqlite3 objects as
// statement runners, and store failures as the host's exceptions.
#pragma once

#include "bindings/common.h"
#include "core/ratebook/store.h"

namespace tw::py {

// A host sqlite3 connection or cursor (anything with execute(sql, params)).
class HostSql : public rate::Sql {
public:
    explicit HostSql(nb::handle obj) : obj_(nb::borrow(obj)) {}
    std::vector<rate::Row> query(std::string_view sql, const std::vector<Value> &params) override;
    void commit() override;

private:
    nb::object obj_;
};

// Runs `f`, turning store failures into the host's sqlite3 and built-in exceptions.
template <class F>
auto translating(F &&f) -> decltype(f());
[[noreturn]] void raise_store_error(const std::exception &e);

template <class F>
auto translating(F &&f) -> decltype(f()) {
    try {
        return f();
    } catch (const rate::SqlError &e) {
        raise_store_error(e);
    } catch (const rate::ShapeError &e) {
        raise_store_error(e);
    }
}

}  // namespace tw::py
