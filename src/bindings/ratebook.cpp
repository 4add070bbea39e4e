// Module ratebook: the class Ratebook over the pricing store core.
#include <memory>

#include "bindings/store_bridge.h"
#include "core/fsutil.h"

using namespace nb::literals;

using namespace tw;

namespace {

std::string g_data_dir;  // the "data" directory beside this module

// A native connection handed to host-level overrides of the private operations.
struct NativeConnection {
    std::shared_ptr<rate::Connection> conn;
    std::vector<rate::Row> last;
};

// Module-lifetime references (never released: they outlive the interpreter's teardown).
nb::handle g_migrate, g_seed, g_upsert, g_release;

std::string db_path_of(nb::handle self) { return py::fspath(self.attr("db_path")); }

// The statement runner behind a `conn` or `cursor` argument.
std::unique_ptr<rate::Sql> sql_of(nb::handle obj, rate::Connection *&native) {
    native = nullptr;
    if (nb::isinstance<NativeConnection>(obj)) {
        native = nb::cast<NativeConnection &>(obj).conn.get();
        struct Borrowed : rate::Sql {
            rate::Connection *c;
            std::vector<rate::Row> query(std::string_view s, const std::vector<Value> &p) override { return c->query(s, p); }
            void commit() override { c->commit(); }
        };
        auto b = std::make_unique<Borrowed>();
        b->c = native;
        return b;
    }
    return std::make_unique<py::HostSql>(obj);
}

std::string price_list_path() { return g_data_dir + "/pricing_db.json"; }

// Writes to an in-memory copy would be lost: `what` is not saved there.
void refuse_memory_store(const std::string &path, const char *what) {
    if (!rate::is_memory_store(path)) return;
    PyErr_SetString(nb::module_::import_("sqlite3").attr("OperationalError").ptr(),
                    (std::string("Cannot save ") + what +
                     ": the price database could not be used, and this run prices from an in-memory copy that is "
                     "not kept").c_str());
    throw nb::python_error();
}

// Lines are printed at once, or kept in `lines` when given.
void say(std::vector<std::string> *lines, std::string line) {
    if (lines) lines->push_back(std::move(line));
    else py::print_line(line);
}

void warn(std::vector<std::string> *lines, const std::string &error) {
    say(lines, "Warning: Could not read pricing_db.json to seed SQLite: " + error);
}

// Seeding through `conn`; `conn_obj` is what host-level _upsert_items overrides receive.
void seed(nb::handle self, rate::Sql &conn, nb::handle conn_obj, std::vector<std::string> *lines = nullptr) {
    std::string warning;
    auto text = rate::read_price_list_text(price_list_path(), warning);
    if (!text) {
        if (!warning.empty()) warn(lines, warning);
        return;
    }
    bool native_upsert = py::resolves_to(self.type(), "_upsert_items", g_upsert);
    auto *native = dynamic_cast<rate::Connection *>(&conn);
    // Nothing to write when the table was seeded from this very list and is unchanged since.
    std::string digest;
    if (native && native_upsert) {
        digest = rate::list_digest(*text);
        if (rate::seeded_from(*native, digest)) return;
    }
    auto list = rate::decode_price_list(*text, warning);
    if (!list) {
        warn(lines, warning);
        return;
    }
    // The whole list is validated before anything is written: a list of the wrong shape
    // seeds nothing, an item with an unusable price is left out.
    std::vector<rate::PriceRow> rows;
    std::vector<std::string> rejected;
    try {
        rows = rate::price_rows(*list, &rejected);
    } catch (const rate::ShapeError &e) {
        warn(lines, e.what());
        return;
    }
    for (auto &line : rejected) say(lines, std::move(line));
    if (native_upsert) {
        rate::write_rows(conn, rows, true);
        if (native) rate::record_seeded(*native, digest);
    } else {
        nb::object cursor = conn_obj.is_valid() && nb::hasattr(conn_obj, "cursor") ? conn_obj.attr("cursor")()
                                                                                  : nb::borrow(conn_obj);
        for (const auto &[provider, types] : list->as_map())
            for (const auto &[res_type, entry] : types.as_map()) {
                if (rate::is_flat_entry(entry.as_map())) {
                    self.attr("_upsert_items")(cursor, py::from_utf8(provider), py::from_utf8(res_type), "global",
                                               py::to_python(entry));
                } else {
                    for (const auto &[region, items] : entry.as_map())
                        self.attr("_upsert_items")(cursor, py::from_utf8(provider), py::from_utf8(res_type),
                                                   py::from_utf8(region), py::to_python(items));
                }
            }
    }
    conn.commit();
}

void init_db(nb::handle self) {
    nb::handle cls = self.type();
    bool native = py::resolves_to(cls, "_migrate_schema", g_migrate) && py::resolves_to(cls, "_seed_from_json", g_seed);
    // Lines of the attempt that succeeds; an attempt on a database that turns out unusable
    // is repeated on the next one.
    std::vector<std::string> lines;
    auto prepare = [&](const std::shared_ptr<rate::Connection> &conn) {
        lines.clear();
        try {
            rate::create_table(*conn);
            if (native) {
                rate::migrate_schema(*conn);
                seed(self, *conn, nb::handle(), &lines);
            } else {
                nb::object wrapped = nb::cast(NativeConnection{conn, {}});
                self.attr("_migrate_schema")(wrapped);
                self.attr("_seed_from_json")(wrapped);
            }
        } catch (...) {
            conn->rollback();
            throw;
        }
    };
    std::string path = db_path_of(self);
    bool chosen = path != fs::join(g_data_dir, "pricing.db");
    rate::Placement placed = rate::place_store(path, rate::user_cache_dir(), prepare, chosen);
    if (placed.path != path) nb::setattr(self, "db_path", py::from_utf8(placed.path));
    // An in-memory copy ends with its store.
    if (placed.kind == rate::Placement::Kind::Memory)
        nb::module_::import_("weakref").attr("finalize")(self, g_release, py::from_utf8(placed.path));
    if (!placed.warning.empty()) py::print_line(placed.warning);
    for (const auto &line : lines) py::print_line(line);
}

}  // namespace

NB_MODULE(ratebook, m) {
    nb::object file = m.attr("__file__");
    g_data_dir = fs::join(fs::dirname(py::fspath(file)), "data");

    g_release = nb::cpp_function([](nb::handle path) { rate::release_memory_store(py::to_utf8(path)); },
                                 nb::name("_release_memory_store"))
                    .release();

    nb::class_<NativeConnection>(m, "_Connection", "A native SQLite connection of the pricing store.")
        .def(
            "execute",
            [](NativeConnection &c, nb::str sql, nb::object params) -> NativeConnection & {
                std::vector<Value> p;
                if (!params.is_none())
                    for (nb::handle v : params) p.push_back(py::from_python(v));
                c.last = py::translating([&] { return c.conn->query(py::to_utf8(sql), p); });
                return c;
            },
            nb::arg("sql"), nb::arg("parameters") = nb::tuple(), nb::rv_policy::reference)
        .def("fetchall",
             [](NativeConnection &c) {
                 nb::list out;
                 for (auto &r : c.last) {
                     nb::list row;
                     for (auto &v : r) row.append(py::to_python(v));
                     out.append(nb::tuple(row));
                 }
                 c.last.clear();
                 return out;
             })
        .def("cursor", [](NativeConnection &c) -> NativeConnection & { return c; }, nb::rv_policy::reference)
        .def("commit", [](NativeConnection &c) { py::translating([&] { c.conn->commit(); }); });

    nb::object cls = py::make_class(m, "Ratebook", "Local SQLite store of cloud unit prices, seeded from pricing_db.json.");

    py::add_attr(cls, "__init__", nb::cpp_function(
        [](nb::handle self, nb::object db_path) {
            if (db_path.is_none())
                db_path = py::from_utf8(fs::join(g_data_dir, "pricing.db"));
            nb::setattr(self, "db_path", db_path);
            nb::object os_path = nb::module_::import_("os").attr("path");
            nb::object dir = os_path.attr("dirname")(db_path);
            if (nb::bool_(dir)) {
                // A directory that cannot be created sends the store to a per-user copy.
                try {
                    nb::module_::import_("os").attr("makedirs")(dir, "exist_ok"_a = true);
                } catch (nb::python_error &e) {
                    if (!e.matches(PyExc_OSError)) throw;
                }
            }
            self.attr("_init_db")();
        },
        nb::is_method(), nb::name("__init__"),
        nb::sig("def __init__(self, db_path: str | os.PathLike[str] | None = None) -> None"),
        nb::arg("db_path").none() = nb::none()));

    py::add_attr(cls, "_init_db",
                 nb::cpp_function([](nb::handle self) { py::translating([&] { init_db(self); }); },
                                  nb::is_method(), nb::name("_init_db")));

    g_migrate = nb::cpp_function(
        [](nb::handle self, nb::handle conn) {
            (void)self;
            rate::Connection *native;
            auto sql = sql_of(conn, native);
            py::translating([&] { rate::migrate_schema(*sql); });
        },
        nb::is_method(), nb::name("_migrate_schema"), nb::arg("conn")).release();
    py::add_attr(cls, "_migrate_schema", nb::borrow(g_migrate));

    g_seed = nb::cpp_function(
        [](nb::handle self, nb::handle conn) {
            rate::Connection *native;
            auto sql = sql_of(conn, native);
            py::translating([&] { seed(self, *sql, conn); });
        },
        nb::is_method(), nb::name("_seed_from_json"), nb::arg("conn")).release();
    py::add_attr(cls, "_seed_from_json", nb::borrow(g_seed));

    g_upsert = nb::cpp_function(
        [](nb::handle self, nb::handle cursor, nb::handle provider, nb::handle res_type, nb::handle region,
           nb::handle items) {
            (void)self;
            rate::Connection *native;
            auto sql = sql_of(cursor, native);
            Value it = py::from_python(items);
            std::string p = py::to_utf8(nb::str(provider)), t = py::to_utf8(nb::str(res_type)),
                        r = py::to_utf8(nb::str(region));
            py::translating([&] {
                if (!it.is_map()) throw rate::ShapeError(std::string("'") + type_name(it) + "' object has no attribute 'items'");
                rate::upsert_items(*sql, p, t, r, it.as_map());
            });
        },
        nb::is_method(), nb::name("_upsert_items"), nb::arg("cursor"), nb::arg("provider"), nb::arg("res_type"),
        nb::arg("region"), nb::arg("items")).release();
    py::add_attr(cls, "_upsert_items", nb::borrow(g_upsert));

    py::add_attr(cls, "get_pricing_rate", nb::cpp_function(
        [](nb::handle self, nb::handle provider, nb::handle resource_type, nb::handle item_key, nb::handle region) {
            const char *fn = "get_pricing_rate";
            std::string p = py::text_arg(fn, "provider", provider), t = py::text_arg(fn, "resource_type", resource_type),
                        k = py::text_arg(fn, "item_key", item_key), r = py::text_arg(fn, "region", region);
            return py::translating([&] {
                rate::Connection conn(db_path_of(self));
                auto row = rate::lookup(conn, p, t, k, r);
                return py::to_python(Value(rate::row_to_map(row)));
            });
        },
        nb::is_method(), nb::name("get_pricing_rate"),
        nb::sig("def get_pricing_rate(self, provider: str, resource_type: str, item_key: str, region: str = 'global') -> dict[str, typing.Any]"),
        nb::arg("provider"), nb::arg("resource_type"),
        nb::arg("item_key"), nb::arg("region") = "global"));

    py::add_static(cls, "_normalise_region", nb::cpp_function(
        [](nb::handle provider, nb::handle region) {
            std::string p = py::text_arg("_normalise_region", "provider", provider);
            std::string r = py::text_arg("_normalise_region", "region", region);
            return py::from_utf8(rate::normalise_region(p, r));
        },
        nb::name("_normalise_region"), nb::arg("provider"), nb::arg("region")));

    py::add_attr(cls, "update_pricing_rate", nb::cpp_function(
        [](nb::handle self, nb::handle provider, nb::handle resource_type, nb::handle item_key, nb::handle rates,
           nb::handle region) {
            const char *fn = "update_pricing_rate";
            std::string p = py::text_arg(fn, "provider", provider), t = py::text_arg(fn, "resource_type", resource_type),
                        k = py::text_arg(fn, "item_key", item_key), r = py::text_arg(fn, "region", region);
            if (!PyDict_Check(rates.ptr())) py::type_error(fn, "rates", "dict", rates);
            Value rv = py::from_python(rates);
            refuse_memory_store(db_path_of(self), "the rate");
            py::translating([&] {
                rate::Connection conn(db_path_of(self));
                rate::update_rate(conn, p, t, k, rv.as_map(), r);
            });
        },
        nb::is_method(), nb::name("update_pricing_rate"),
        nb::sig("def update_pricing_rate(self, provider: str, resource_type: str, item_key: str, rates: dict[str, typing.Any], region: str = 'global') -> None"),
        nb::arg("provider"), nb::arg("resource_type"),
        nb::arg("item_key"), nb::arg("rates"), nb::arg("region") = "global"));

    // For tally-warden-prices: rates are (provider, resource_type, item_key, region, price,
    // source, source_date) tuples.
    py::add_attr(cls, "_refresh_rates", nb::cpp_function(
        [](nb::handle self, nb::handle rates, bool write) {
            std::vector<rate::ImportedRate> in;
            for (nb::handle t : rates) {
                Value v = py::from_python(t);
                const List *f = v.is_list() ? &v.as_list() : nullptr;
                bool ok = f && f->size() == 7 && ((*f)[4].is_float() || (*f)[4].is_int());
                for (size_t i : {0, 1, 2, 3, 5, 6}) ok = ok && (*f)[i].is_str();
                if (!ok) py::type_error("_refresh_rates", "rates", "a list of 7-field rate tuples", t);
                const List &r = *f;
                in.push_back({r[0].as_str(), r[1].as_str(), r[2].as_str(), r[3].as_str(), r[4].is_float() ? r[4].as_float() : double(r[4].as_int()),
                              r[5].as_str(), r[6].as_str()});
            }
            if (write) refuse_memory_store(db_path_of(self), "the prices");
            return py::translating([&] {
                rate::Connection conn(db_path_of(self));
                auto r = rate::refresh_rates(conn, in, write);
                Map out;
                out.set("added", Value(int64_t(r.added)));
                out.set("changed", Value(int64_t(r.changed)));
                out.set("dropped", Value(int64_t(r.dropped)));
                out.set("unchanged", Value(int64_t(r.unchanged)));
                out.set("kept", Value(int64_t(r.kept)));
                List changes;
                for (auto &c : r.changes)
                    changes.push_back(Value(List{Value(c.action), Value(c.provider), Value(c.resource_type),
                                                 Value(c.item_key), Value(c.region), c.before, c.after}));
                out.set("changes", Value(std::move(changes)));
                return py::to_python(Value(std::move(out)));
            });
        },
        nb::is_method(), nb::name("_refresh_rates"), nb::arg("rates"), nb::arg("write")));

    py::add_attr(cls, "_item_rows", nb::cpp_function(
        [](nb::handle self, nb::handle provider, nb::handle resource_type, nb::handle item_key) {
            const char *fn = "_item_rows";
            std::string p = py::text_arg(fn, "provider", provider), t = py::text_arg(fn, "resource_type", resource_type),
                        k = py::text_arg(fn, "item_key", item_key);
            return py::translating([&] {
                rate::Connection conn(db_path_of(self));
                static const char *const names[] = {"region", "price_per_hour", "price_per_million_requests",
                                                    "price_per_gb_second", "price_per_gb_month",
                                                    "price_per_gb_transfer", "price_per_request", "unit",
                                                    "source", "source_date"};
                List out;
                for (auto &row : rate::item_rows(conn, p, t, k)) {
                    Map m;
                    for (size_t i = 0; i < row.size() && i < std::size(names); ++i) m.set(names[i], row[i]);
                    out.push_back(Value(std::move(m)));
                }
                return py::to_python(Value(std::move(out)));
            });
        },
        nb::is_method(), nb::name("_item_rows"), nb::arg("provider"), nb::arg("resource_type"), nb::arg("item_key")));

    auto lister = [](const char *name, const char *column, const char *sig) {
        return nb::cpp_function(
            [name, column](nb::handle self, nb::handle provider) {
                std::optional<std::string> p;
                if (!provider.is_none()) p = py::text_arg(name, "provider", provider);
                return py::translating([&] {
                    rate::Connection conn(db_path_of(self));
                    nb::list out;
                    for (auto &s : rate::list_column(conn, column, p)) out.append(py::from_utf8(s));
                    return out;
                });
            },
            nb::is_method(), nb::name(name), nb::sig(sig), nb::arg("provider").none() = nb::none());
    };
    py::add_attr(cls, "list_regions", lister("list_regions", "region",
                                                    "def list_regions(self, provider: str | None = None) -> list[str]"));
    py::add_attr(cls, "list_resource_types", lister("list_resource_types", "resource_type",
        "def list_resource_types(self, provider: str | None = None) -> list[str]"));
}
