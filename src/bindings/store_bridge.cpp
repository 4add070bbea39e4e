#include "bindings/store_bridge.h"

#include <sqlite3.h>

namespace tw::py {

std::vector<rate::Row> HostSql::query(std::string_view sql, const std::vector<Value> &params) {
    nb::list p;
    for (const auto &v : params) p.append(to_python(v));
    nb::object cur = obj_.attr("execute")(from_utf8(sql), nb::tuple(p));
    std::vector<rate::Row> rows;
    for (nb::handle r : cur.attr("fetchall")()) {
        rate::Row row;
        for (nb::handle c : r) row.push_back(from_python(c));
        rows.push_back(std::move(row));
    }
    return rows;
}

void HostSql::commit() {
    if (nb::hasattr(obj_, "commit")) obj_.attr("commit")();
    else if (nb::hasattr(obj_, "connection")) obj_.attr("connection").attr("commit")();
}

void raise_store_error(const std::exception &e) {
    nb::module_ sqlite3 = nb::module_::import_("sqlite3");
    const char *cls = "OperationalError";
    if (auto *se = dynamic_cast<const rate::SqlError *>(&e)) {
        switch (se->code) {
            case SQLITE_NOTADB:
            case SQLITE_CORRUPT: cls = "DatabaseError"; break;
            case SQLITE_CONSTRAINT: cls = "IntegrityError"; break;
            case SQLITE_MISUSE: cls = "ProgrammingError"; break;
            default: cls = "OperationalError";
        }
        PyErr_SetString(sqlite3.attr(cls).ptr(), e.what());
        throw nb::python_error();
    }
    std::string msg = e.what();
    if (msg.find("has no attribute") != std::string::npos) PyErr_SetString(PyExc_AttributeError, msg.c_str());
    else if (msg.rfind("Error binding parameter", 0) == 0)
        PyErr_SetString(sqlite3.attr("ProgrammingError").ptr(), msg.c_str());
    else PyErr_SetString(PyExc_TypeError, msg.c_str());
    throw nb::python_error();
}

}  // namespace tw::py
