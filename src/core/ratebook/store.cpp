#include "core/ratebook/store.h"

#include <sqlite3.h>

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>

#include "core/json.h"
#include "core/fsutil.h"
#include "core/pytext.h"
#include "core/reckoner/estimator.h"

namespace tw::rate {

const char *const kCreateTable =
    "CREATE TABLE IF NOT EXISTS pricing (provider TEXT NOT NULL, resource_type TEXT NOT NULL, "
    "item_key TEXT NOT NULL, region TEXT NOT NULL DEFAULT 'global', price_per_hour REAL DEFAULT 0.0, "
    "price_per_million_requests REAL DEFAULT 0.0, price_per_gb_second REAL DEFAULT 0.0, "
    "price_per_gb_month REAL DEFAULT 0.0, price_per_gb_transfer REAL DEFAULT 0.0, "
    "price_per_request REAL DEFAULT 0.0, unit TEXT DEFAULT 'USD', source TEXT, source_date TEXT, "
    "PRIMARY KEY (provider, resource_type, item_key, region))";

const char *const kUpsert =
    "INSERT OR REPLACE INTO pricing (provider, resource_type, item_key, region, price_per_hour, "
    "price_per_million_requests, price_per_gb_second, price_per_gb_month, price_per_gb_transfer, "
    "price_per_request, unit) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)";

const char *const kUpsertFrom =
    "INSERT OR REPLACE INTO pricing (provider, resource_type, item_key, region, price_per_hour, "
    "price_per_million_requests, price_per_gb_second, price_per_gb_month, price_per_gb_transfer, "
    "price_per_request, unit, source, source_date) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)";

const char *const kPriceKeys[6] = {"price_per_hour",     "price_per_million_requests", "price_per_gb_second",
                                   "price_per_gb_month", "price_per_gb_transfer",      "price_per_request"};

namespace {
const char *const kRowColumns =
    "price_per_hour, price_per_million_requests, price_per_gb_second, price_per_gb_month, "
    "price_per_gb_transfer, price_per_request, unit";

[[noreturn]] void fail(sqlite3 *db, int rc) {
    throw SqlError(rc & 0xff, db ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
}

void bind(sqlite3 *db, sqlite3_stmt *st, int i, const Value &v) {
    int rc = SQLITE_OK;
    switch (v.kind()) {
        case Value::Kind::Null: rc = sqlite3_bind_null(st, i); break;
        case Value::Kind::Bool: rc = sqlite3_bind_int64(st, i, v.as_bool() ? 1 : 0); break;
        case Value::Kind::Int: rc = sqlite3_bind_int64(st, i, v.as_int()); break;
        case Value::Kind::BigInt:
            rc = sqlite3_bind_double(st, i, pytext::parse_float(v.as_bigint().digits).value_or(0.0));
            break;
        case Value::Kind::Float: rc = sqlite3_bind_double(st, i, v.as_float()); break;
        case Value::Kind::Str:
            rc = sqlite3_bind_text(st, i, v.as_str().data(), int(v.as_str().size()), SQLITE_TRANSIENT);
            break;
        default: throw ShapeError(std::string("Error binding parameter ") + std::to_string(i) + ": type '" +
                                  type_name(v) + "' is not supported");
    }
    if (rc != SQLITE_OK) fail(db, rc);
}

Value column(sqlite3_stmt *st, int i) {
    switch (sqlite3_column_type(st, i)) {
        case SQLITE_INTEGER: return Value(int64_t(sqlite3_column_int64(st, i)));
        case SQLITE_FLOAT: return Value(sqlite3_column_double(st, i));
        case SQLITE_TEXT:
            return Value(std::string(reinterpret_cast<const char *>(sqlite3_column_text(st, i)),
                                     size_t(sqlite3_column_bytes(st, i))));
        case SQLITE_BLOB:
            return Value(std::string(static_cast<const char *>(sqlite3_column_blob(st, i)),
                                     size_t(sqlite3_column_bytes(st, i))));
        default: return Value();
    }
}
}  // namespace

Connection::Connection(const std::string &path) {
    int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX;
    if (is_memory_store(path)) flags |= SQLITE_OPEN_URI;
    int rc = sqlite3_open_v2(path.c_str(), &db_, flags, nullptr);
    if (rc != SQLITE_OK) {
        std::string msg = db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
        sqlite3_close(db_);
        db_ = nullptr;
        throw SqlError(rc & 0xff, msg);
    }
    // Another hook on the same file waits for the lock instead of failing at once.
    sqlite3_busy_timeout(db_, 5000);
}

Connection::~Connection() { close(); }

void Connection::close() noexcept {
    if (db_) {
        if (!sqlite3_get_autocommit(db_)) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        sqlite3_close_v2(db_);
        db_ = nullptr;
    }
}

bool Connection::in_transaction() const { return db_ && !sqlite3_get_autocommit(db_); }

bool Connection::read_only() const { return db_ && sqlite3_db_readonly(db_, "main") == 1; }

std::vector<Row> Connection::query(std::string_view sql, const std::vector<Value> &params) {
    if (!db_) throw SqlError(SQLITE_MISUSE, "Cannot operate on a closed database.");
    sqlite3_stmt *st = nullptr;
    int rc = sqlite3_prepare_v2(db_, sql.data(), int(sql.size()), &st, nullptr);
    if (rc != SQLITE_OK) fail(db_, rc);
    std::vector<Row> rows;
    try {
        for (size_t i = 0; i < params.size(); ++i) bind(db_, st, int(i + 1), params[i]);
        int n = sqlite3_column_count(st);
        while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
            Row r;
            r.reserve(size_t(n));
            for (int i = 0; i < n; ++i) r.push_back(column(st, i));
            rows.push_back(std::move(r));
        }
        if (rc != SQLITE_DONE) fail(db_, rc);
    } catch (...) {
        sqlite3_finalize(st);
        throw;
    }
    sqlite3_finalize(st);
    return rows;
}

void Connection::each(std::string_view sql, const std::function<void(const Row &)> &row,
                      const std::vector<Value> &params) {
    if (!db_) throw SqlError(SQLITE_MISUSE, "Cannot operate on a closed database.");
    sqlite3_stmt *st = nullptr;
    int rc = sqlite3_prepare_v2(db_, sql.data(), int(sql.size()), &st, nullptr);
    if (rc != SQLITE_OK) fail(db_, rc);
    try {
        for (size_t i = 0; i < params.size(); ++i) bind(db_, st, int(i + 1), params[i]);
        int n = sqlite3_column_count(st);
        Row r(static_cast<size_t>(n));
        while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
            for (int i = 0; i < n; ++i) r[size_t(i)] = column(st, i);
            row(r);
        }
        if (rc != SQLITE_DONE) fail(db_, rc);
    } catch (...) {
        sqlite3_finalize(st);
        throw;
    }
    sqlite3_finalize(st);
}

void Connection::commit() {
    if (in_transaction()) query("COMMIT");
}

std::optional<uint32_t> Connection::change_counter() {
    // Read through SQLite's own file handle: a second descriptor on the file would drop the
    // process's locks on it when closed.
    sqlite3_file *file = nullptr;
    if (!db_ || sqlite3_file_control(db_, "main", SQLITE_FCNTL_FILE_POINTER, &file) != SQLITE_OK || !file ||
        !file->pMethods)
        return std::nullopt;
    unsigned char h[28];
    if (file->pMethods->xRead(file, h, sizeof h, 0) != SQLITE_OK) return std::nullopt;
    if (std::memcmp(h, "SQLite format 3", 16) != 0 || h[18] != 1 || h[19] != 1) return std::nullopt;
    return (uint32_t(h[24]) << 24) | (uint32_t(h[25]) << 16) | (uint32_t(h[26]) << 8) | uint32_t(h[27]);
}

void Connection::begin_immediate() {
    if (!in_transaction()) query("BEGIN IMMEDIATE");
}

void Connection::rollback() noexcept {
    if (in_transaction()) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
}

std::string normalise_region(std::string_view provider, std::string_view region) {
    if (region.empty() || region == "global") return "global";
    if (provider != "azure") return std::string(region);
    static const std::pair<const char *, const char *> aliases[] = {
        {"east us", "eastus"},           {"east us 2", "eastus2"},
        {"west us", "westus"},           {"west us 2", "westus2"},
        {"west europe", "westeurope"},   {"north europe", "northeurope"},
        {"southeast asia", "southeastasia"}, {"east asia", "eastasia"},
        {"australia east", "australiaeast"}, {"canada central", "canadacentral"},
        {"brazil south", "brazilsouth"}, {"japan east", "japaneast"},
        {"uk south", "uksouth"},         {"central us", "centralus"},
        {"south central us", "southcentralus"}, {"north central us", "northcentralus"},
    };
    std::string lower = pytext::lower(region);
    for (const auto &[k, v] : aliases)
        if (lower == k) return v;
    std::string out;
    for (char c : lower)
        if (c != ' ') out += c;
    return out;
}

void create_table(Sql &conn) {
    conn.query(kCreateTable);
    conn.commit();
}

namespace {
struct ColumnInfo {
    std::string name;
    int64_t pk;
};
std::vector<ColumnInfo> table_info(Sql &conn) {
    std::vector<ColumnInfo> out;
    for (auto &row : conn.query("PRAGMA table_info(pricing)")) {
        if (row.size() < 6) continue;
        ColumnInfo c{row[1].is_str() ? row[1].as_str() : "", row[5].is_int() ? row[5].as_int() : 0};
        out.push_back(std::move(c));
    }
    return out;
}
// Whether the table records where rows came from (a table another program migrated may not).
bool has_origin_columns(Sql &conn) {
    bool source = false, date = false;
    for (const auto &c : table_info(conn)) {
        source = source || c.name == "source";
        date = date || c.name == "source_date";
    }
    return source && date;
}
}  // namespace

void migrate_schema(Sql &conn) {
    auto cols = table_info(conn);
    auto has = [&](std::string_view n) {
        for (auto &c : cols)
            if (c.name == n) return true;
        return false;
    };
    static const std::pair<const char *, const char *> added[] = {
        {"region", "TEXT NOT NULL DEFAULT 'global'"},
        {"price_per_gb_transfer", "REAL DEFAULT 0.0"},
        {"price_per_request", "REAL DEFAULT 0.0"},
        {"source", "TEXT"},
        {"source_date", "TEXT"},
    };
    for (const auto &[name, def] : added)
        if (!has(name)) conn.query(std::string("ALTER TABLE pricing ADD COLUMN ") + name + " " + def);
    cols = table_info(conn);
    bool region_in_key = false;
    for (auto &c : cols)
        if (c.name == "region" && c.pk > 0) region_in_key = true;
    if (!region_in_key) {
        // The old key (provider, resource_type, item_key) would make the regional rows of
        // one item replace each other: rebuild the table with the current key.
        conn.query("SAVEPOINT pricing_rekey");
        try {
            std::string create = kCreateTable;
            create.replace(0, create.find('('), "CREATE TABLE pricing_rekeyed ");
            conn.query(create);
            conn.query(std::string("INSERT OR REPLACE INTO pricing_rekeyed (provider, resource_type, item_key, region, ") +
                       kRowColumns + ", source, source_date) SELECT provider, resource_type, item_key, region, " +
                       kRowColumns + ", source, source_date FROM pricing");
            conn.query("DROP TABLE pricing");
            conn.query("ALTER TABLE pricing_rekeyed RENAME TO pricing");
            conn.query("RELEASE pricing_rekey");
        } catch (...) {
            try {
                conn.query("ROLLBACK TO pricing_rekey");
                conn.query("RELEASE pricing_rekey");
            } catch (...) {
            }
            throw;
        }
    }
    conn.commit();
}

namespace {
bool is_rate_key(std::string_view k) {
    for (const char *p : kPriceKeys)
        if (k == p) return true;
    return k == "unit";
}

const char *finite_price(double d) {
    if (!std::isfinite(d)) return "not finite";
    // A month of seconds is the longest time a unit price is multiplied by.
    if (!std::isfinite(d * reckon::DEFAULT_MONTHLY_HOURS * 3600.0)) return "its monthly cost is not finite";
    return nullptr;
}

// Why a price cannot be stored as one, or null when it can (null is stored as NULL).
const char *bad_price(const Value &v) {
    switch (v.kind()) {
        case Value::Kind::Null: return nullptr;
        case Value::Kind::Int: return v.as_int() < 0 ? "negative" : nullptr;
        case Value::Kind::BigInt: {
            const std::string &d = v.as_bigint().digits;
            if (!d.empty() && d[0] == '-') return "negative";
            return finite_price(pytext::parse_float(d).value_or(HUGE_VAL));
        }
        case Value::Kind::Float:
            if (std::isfinite(v.as_float()) && v.as_float() < 0) return "negative";
            return finite_price(v.as_float());
        default: return "not a number";
    }
}

std::string shown(const Value &v) {
    if (v.is_str()) return fs::py_repr(v.as_str());
    if (v.is_list()) return "a list";
    if (v.is_map()) return "an object";
    return pytext::str_of(v);
}

void rows_of_items(std::vector<PriceRow> &out, const std::string &provider, const std::string &res_type,
                   const std::string &region, const Value &items, std::vector<std::string> *rejected = nullptr) {
    if (!items.is_map())
        throw ShapeError("'" + std::string(type_name(items)) + "' object has no attribute 'items'");
    for (const auto &[key, rates] : items.as_map()) {
        if (!rates.is_map())
            throw ShapeError("'" + std::string(type_name(rates)) + "' object has no attribute 'get'");
        PriceRow row{provider, res_type, key, region, {}, Value("USD")};
        const Map &m = rates.as_map();
        if (rejected) {
            std::string why;
            for (const char *k : kPriceKeys) {
                const Value *v = m.find(k);
                if (!v) continue;
                if (const char *bad = bad_price(*v)) {
                    why = std::string(k) + " is " + shown(*v) + " (" + bad + ")";
                    break;
                }
            }
            if (!why.empty()) {
                rejected->push_back("Warning: Skipped price entry " + provider + " / " + res_type + " / " + key + " / " +
                                    region + " of pricing_db.json: " + why +
                                    "; a price must be a finite, non-negative number or null");
                continue;
            }
        }
        for (int i = 0; i < 6; ++i) {
            const Value *v = m.find(kPriceKeys[i]);
            row.prices[i] = v ? *v : Value(0.0);
            if (v && (v->is_list() || v->is_map()))
                throw ShapeError(std::string("Error binding parameter ") + std::to_string(5 + i) + ": type '" +
                                 type_name(*v) + "' is not supported");
        }
        if (const Value *u = m.find("unit")) {
            if (u->is_list() || u->is_map())
                throw ShapeError(std::string("Error binding parameter 11: type '") + type_name(*u) +
                                 "' is not supported");
            row.unit = *u;
        }
        out.push_back(std::move(row));
    }
}
}  // namespace

std::vector<PriceRow> price_rows(const Value &list, std::vector<std::string> *rejected) {
    std::vector<PriceRow> out;
    if (!list.is_map()) throw ShapeError("'" + std::string(type_name(list)) + "' object has no attribute 'items'");
    for (const auto &[provider, types] : list.as_map()) {
        if (!types.is_map())
            throw ShapeError("'" + std::string(type_name(types)) + "' object has no attribute 'items'");
        for (const auto &[res_type, entry] : types.as_map()) {
            if (!entry.is_map())
                throw ShapeError("'" + std::string(type_name(entry)) + "' object has no attribute 'values'");
            if (is_flat_entry(entry.as_map())) {
                rows_of_items(out, provider, res_type, "global", entry, rejected);
            } else {
                for (const auto &[region, items] : entry.as_map())
                    rows_of_items(out, provider, res_type, region, items, rejected);
            }
        }
    }
    return out;
}

namespace {
std::vector<Value> params_of(const PriceRow &r) {
    std::vector<Value> p{Value(r.provider), Value(r.resource_type), Value(r.item_key), Value(r.region)};
    for (const auto &v : r.prices) p.push_back(v);
    p.push_back(r.unit);
    return p;
}

std::string row_key(std::string_view provider, std::string_view type, std::string_view item, std::string_view region) {
    std::string k;
    k.reserve(provider.size() + type.size() + item.size() + region.size() + 3);
    k.append(provider).append(1, '\0').append(type).append(1, '\0').append(item).append(1, '\0').append(region);
    return k;
}

// Whether writing `want` into a REAL (price) or TEXT (unit) column would store `have`.
bool stores_as(const Value &want, const Value &have, bool real_column) {
    if (want.is_null()) return have.is_null();
    if (real_column) {
        if (!(want.is_int() || want.is_float() || want.is_bool())) return false;
        double w = want.is_float() ? want.as_float() : want.is_int() ? double(want.as_int()) : want.as_bool();
        if (want.is_int() && std::fabs(w) > 9007199254740992.0) return false;
        if (std::isnan(w)) return false;
        return have.is_float() && have.as_float() == w && std::signbit(have.as_float()) == std::signbit(w);
    }
    return want.is_str() && have.is_str() && want.as_str() == have.as_str();
}
}  // namespace

void upsert_items(Sql &cursor, std::string_view provider, std::string_view res_type, std::string_view region,
                  const Map &items) {
    std::vector<PriceRow> rows;
    rows_of_items(rows, std::string(provider), std::string(res_type), std::string(region), Value(items));
    for (const auto &r : rows) cursor.query(kUpsert, params_of(r));
}

void write_rows(Sql &conn, const std::vector<PriceRow> &rows, bool skip_unchanged) {
    bool origins = has_origin_columns(conn);
    // What to do with each row: write it, or leave the stored row (equal, or not shipped).
    std::vector<bool> keep(rows.size(), false);
    bool unclassified = false;  // rows of no origin are stored
    if (skip_unchanged || origins) {
        std::unordered_map<std::string, size_t> index;
        index.reserve(rows.size() * 2);
        for (size_t i = 0; i < rows.size(); ++i)
            index[row_key(rows[i].provider, rows[i].resource_type, rows[i].item_key, rows[i].region)] = i;
        std::vector<bool> same(rows.size(), false), owned(rows.size(), false);
        std::string key;
        conn.each(std::string("SELECT provider, resource_type, item_key, region, ") + kRowColumns +
                      (origins ? ", source" : ", NULL") + " FROM pricing",
                  [&](const Row &r) {
                      if (r.size() != 12 || !r[0].is_str() || !r[1].is_str() || !r[2].is_str() || !r[3].is_str())
                          return;
                      bool shipped = r[11].is_str() && r[11].as_str() == kShipped;
                      if (r[11].is_null()) unclassified = true;
                      key = row_key(r[0].as_str(), r[1].as_str(), r[2].as_str(), r[3].as_str());
                      auto it = index.find(key);
                      if (it == index.end()) return;
                      if (origins && !shipped && !r[11].is_null()) {
                          owned[it->second] = true;
                          return;
                      }
                      if (!skip_unchanged || (origins && !shipped)) return;
                      const PriceRow &want = rows[it->second];
                      bool equal = stores_as(want.unit, r[10], false);
                      for (int i = 0; equal && i < 6; ++i) equal = stores_as(want.prices[i], r[size_t(4 + i)], true);
                      same[it->second] = equal;
                  });
        for (size_t i = 0; i < rows.size(); ++i) {
            size_t last = index[row_key(rows[i].provider, rows[i].resource_type, rows[i].item_key, rows[i].region)];
            // Every row of a key listed twice is written, in list order, so the later one stays.
            if (last != i) same[i] = same[last] = false;
            keep[i] = owned[last] || same[i];
        }
    }
    bool begun = false;
    auto begin = [&] {
        if (begun) return;
        if (auto *native = dynamic_cast<Connection *>(&conn)) native->begin_immediate();
        begun = true;
    };
    for (size_t i = 0; i < rows.size(); ++i) {
        if (keep[i]) continue;
        begin();
        std::vector<Value> params = params_of(rows[i]);
        if (origins) {
            params.push_back(Value(kShipped));
            params.push_back(Value());
        }
        conn.query(origins ? kUpsertFrom : kUpsert, params);
    }
    // What is left without an origin is not in the list: the user's.
    if (origins && unclassified) {
        begin();
        conn.query("UPDATE pricing SET source = ? WHERE source IS NULL", {Value(kUser)});
    }
}

std::optional<std::string> read_price_list_text(const std::string &path, std::string &warning) {
    if (!fs::exists(path)) return std::nullopt;
    std::string text;
    if (!fs::read_utf8(path, text, warning)) return std::nullopt;
    return text;
}

std::optional<Value> decode_price_list(const std::string &text, std::string &warning) {
    Value v;
    if (!json::parse(text, v, warning)) return std::nullopt;
    return v;
}

std::optional<Value> read_price_list(const std::string &path, std::string &warning) {
    auto text = read_price_list_text(path, warning);
    if (!text) return std::nullopt;
    return decode_price_list(*text, warning);
}

bool is_flat_entry(const Map &entry) {
    if (entry.empty() || !entry.front().second.is_map()) return false;
    for (const auto &[k, _] : entry.front().second.as_map())
        if (is_rate_key(k)) return true;
    return false;
}

std::string list_digest(std::string_view text) {
    // Two independent 64-bit multiply-xorshift hashes over 8-byte words, and the length
    // (the list is hashed on every run, so a word at a time).
    uint64_t a = 1469598103934665603ull, b = 0x9e3779b97f4a7c15ull;
    auto mix = [](uint64_t h, uint64_t w, uint64_t k) {
        h = (h ^ w) * k;
        return h ^ (h >> 29);
    };
    size_t i = 0, n = text.size();
    for (; i + 8 <= n; i += 8) {
        uint64_t w;
        std::memcpy(&w, text.data() + i, 8);
        a = mix(a, w, 0x100000001b3ull);
        b = mix(b, w + 0x9e, 0xff51afd7ed558ccdull);
    }
    uint64_t tail = 0;
    std::memcpy(&tail, text.data() + i, n - i);
    a = mix(a, tail, 0x100000001b3ull);
    b = mix(b, tail + 0x9e, 0xff51afd7ed558ccdull);
    char buf[64];
    std::snprintf(buf, sizeof buf, "w%016llx%016llx-%zu", (unsigned long long)a, (unsigned long long)b, n);
    return buf;
}

bool seeded_from(Connection &conn, const std::string &digest) {
    try {
        conn.query("BEGIN");
        bool match = false;
        auto t = conn.query("SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'pricing_seed_state'");
        if (!t.empty()) {
            auto rows = conn.query("SELECT list_digest, change_counter FROM pricing_seed_state");
            auto counter = conn.change_counter();
            match = rows.size() == 1 && counter && rows[0][0].is_str() && rows[0][0].as_str() == digest &&
                    rows[0][1].is_int() && rows[0][1].as_int() == int64_t(*counter);
        }
        conn.query("COMMIT");
        return match;
    } catch (const SqlError &) {
        conn.rollback();
        return false;
    }
}

void record_seeded(Connection &conn, const std::string &digest) {
    conn.begin_immediate();
    auto counter = conn.change_counter();
    conn.query("CREATE TABLE IF NOT EXISTS pricing_seed_state (list_digest TEXT NOT NULL, change_counter INTEGER NOT NULL)");
    conn.query("DELETE FROM pricing_seed_state");
    // This transaction's commit advances the counter by one.
    if (counter)
        conn.query("INSERT INTO pricing_seed_state (list_digest, change_counter) VALUES (?, ?)",
                   {Value(digest), Value(int64_t(*counter) + 1)});
}

namespace {
constexpr std::string_view kMemoryPrefix = "file:tally-warden-memory-";

bool is_file_path(const std::string &path) {
    return !path.empty() && path != ":memory:" && !path.starts_with("file:");
}

bool can(const std::string &path, int mode) { return ::faccessat(AT_FDCWD, path.c_str(), mode, AT_EACCESS) == 0; }

// Whether a database file can be created or written at `path`, judged before SQLite opens
// it (SQLite opens a read-only file read-only without a word, and needs the directory for
// its journal).
bool writable_location(const std::string &path) {
    if (!is_file_path(path)) return true;
    std::string dir = fs::dirname(path);
    if (dir.empty()) dir = ".";
    if (!fs::is_dir(dir) || !can(dir, W_OK | X_OK)) return false;
    return !fs::exists(path) || can(path, R_OK | W_OK);
}

bool make_dirs(const std::string &dir) {
    if (dir.empty() || fs::is_dir(dir)) return true;
    std::string parent = fs::dirname(dir);
    if (!parent.empty() && parent != dir && !make_dirs(parent)) return false;
    return ::mkdir(dir.c_str(), 0700) == 0 || (errno == EEXIST && fs::is_dir(dir));
}

std::string absolute(const std::string &path) {
    if (path.starts_with("/")) return path;
    char buf[4096];
    if (!::getcwd(buf, sizeof buf)) return path;
    return fs::join(buf, path);
}

// Copies the database at `from` into `to` through SQLite, so that a copy taken while another
// process writes is consistent. False when `from` cannot be read as a database.
bool copy_database(const std::string &from, sqlite3 *to) {
    if (!fs::is_file(from) || !can(from, R_OK)) return false;
    sqlite3 *src = nullptr;
    bool ok = false;
    if (sqlite3_open_v2(from.c_str(), &src, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr) == SQLITE_OK) {
        sqlite3_busy_timeout(src, 5000);
        if (sqlite3_backup *b = sqlite3_backup_init(to, "main", src, "main")) {
            int rc = sqlite3_backup_step(b, -1);
            ok = sqlite3_backup_finish(b) == SQLITE_OK && rc == SQLITE_DONE;
        }
    }
    sqlite3_close_v2(src);
    return ok;
}

// Starts the per-user copy at `copy` from `from`. The copy appears complete or not at all,
// and never replaces one that another process made meanwhile (and may be writing).
void start_copy(const std::string &from, const std::string &copy) {
    std::string tmp = copy + ".tmp-" + std::to_string(::getpid());
    bool ok = false;
    try {
        Connection dest(tmp);
        ok = copy_database(from, dest.handle());
    } catch (const SqlError &) {
    }
    if (ok && ::link(tmp.c_str(), copy.c_str()) != 0 && errno != EEXIST && !fs::exists(copy))
        ::rename(tmp.c_str(), copy.c_str());  // a file system without hard links
    ::unlink(tmp.c_str());
}

enum class Outcome { Ok, Unwritable, Damaged, Locked };

Outcome try_prepare(const std::string &path, const std::function<void(const std::shared_ptr<Connection> &)> &prepare) {
    try {
        auto conn = std::make_shared<Connection>(path);
        if (conn->read_only()) return Outcome::Unwritable;
        prepare(conn);
        conn->close();
        return Outcome::Ok;
    } catch (const SqlError &e) {
        switch (e.code) {
            case SQLITE_READONLY:
            case SQLITE_CANTOPEN:
            case SQLITE_PERM:
            case SQLITE_AUTH:
            case SQLITE_IOERR:
            case SQLITE_FULL: return Outcome::Unwritable;
            case SQLITE_NOTADB:
            case SQLITE_CORRUPT: return Outcome::Damaged;
            case SQLITE_BUSY:
            case SQLITE_LOCKED: return Outcome::Locked;
            default: throw;
        }
    }
}

// The first connection of each in-memory copy, which keeps it alive until it is released.
std::mutex g_keepers_mutex;
std::unordered_map<std::string, std::unique_ptr<Connection>> g_keepers;

// An in-memory database that lives until release_memory_store, started from `from` when
// that is a readable database, then prepared.
Placement memory_copy(const std::string &from, std::string warning,
                      const std::function<void(const std::shared_ptr<Connection> &)> &prepare) {
    static std::atomic<unsigned> counter{0};
    Placement p{Placement::Kind::Memory,
                std::string(kMemoryPrefix) + std::to_string(::getpid()) + "-" + std::to_string(++counter) +
                    "?mode=memory&cache=shared",
                std::move(warning)};
    auto keeper = std::make_unique<Connection>(p.path);
    if (!from.empty()) copy_database(from, keeper->handle());
    auto conn = std::make_shared<Connection>(p.path);
    prepare(conn);
    conn->close();
    std::lock_guard lock(g_keepers_mutex);
    g_keepers.emplace(p.path, std::move(keeper));
    return p;
}

std::string damaged_line(const std::string &path) {
    return "Warning: " + path +
           " is not a SQLite database; prices come from an in-memory copy of pricing_db.json for this run "
           "(remove the file to rebuild it).";
}

std::string locked_line(const std::string &path) {
    return "Warning: " + path +
           " is still locked by another process; prices come from an in-memory copy of pricing_db.json for this "
           "run.";
}
}  // namespace

bool is_memory_store(std::string_view path) { return path.starts_with(kMemoryPrefix); }

void release_memory_store(const std::string &path) {
    std::unique_ptr<Connection> keeper;
    {
        std::lock_guard lock(g_keepers_mutex);
        auto it = g_keepers.find(path);
        if (it == g_keepers.end()) return;
        keeper = std::move(it->second);
        g_keepers.erase(it);
    }
}

size_t memory_stores() {
    std::lock_guard lock(g_keepers_mutex);
    return g_keepers.size();
}

std::string user_cache_dir() {
    const char *xdg = std::getenv("XDG_CACHE_HOME");
    if (xdg && xdg[0] == '/') return fs::join(xdg, "tally-warden");
    const char *home = std::getenv("HOME");
    if (!home || home[0] != '/') {
        struct passwd *pw = ::getpwuid(::geteuid());
        home = pw && pw->pw_dir && pw->pw_dir[0] == '/' ? pw->pw_dir : nullptr;
    }
    return home ? fs::join(fs::join(home, ".cache"), "tally-warden") : std::string();
}

Placement place_store(const std::string &path, const std::string &cache_dir,
                      const std::function<void(const std::shared_ptr<Connection> &)> &prepare, bool chosen) {
    Outcome first = writable_location(path) ? try_prepare(path, prepare) : Outcome::Unwritable;
    switch (first) {
        case Outcome::Ok: return Placement{Placement::Kind::File, path, ""};
        case Outcome::Damaged: return memory_copy("", damaged_line(path), prepare);
        case Outcome::Locked: return memory_copy("", locked_line(path), prepare);
        case Outcome::Unwritable: break;
    }
    if (is_file_path(path) && !cache_dir.empty() && make_dirs(cache_dir)) {
        std::string copy = fs::join(cache_dir, "pricing-" + list_digest(absolute(path)).substr(0, 16) + ".db");
        if (!fs::exists(copy)) start_copy(path, copy);
        Outcome second = writable_location(copy) ? try_prepare(copy, prepare) : Outcome::Unwritable;
        switch (second) {
            case Outcome::Ok:
                return Placement{Placement::Kind::UserCopy, copy,
                                 chosen ? "Warning: Cannot use " + path + " as the price database (" +
                                              (fs::is_dir(path) ? "it is a directory" : "it cannot be written") +
                                              "); prices come from " + copy + " instead."
                                        : ""};
            case Outcome::Damaged: return memory_copy(path, damaged_line(copy), prepare);
            case Outcome::Locked: return memory_copy(path, locked_line(copy), prepare);
            case Outcome::Unwritable: break;
        }
    }
    return memory_copy(path,
                       "Warning: Cannot write " + path + (cache_dir.empty() ? "" : " nor a copy in " + cache_dir) +
                           "; prices come from an in-memory copy for this run.",
                       prepare);
}

namespace {
const char *default_region(std::string_view provider) {
    std::string p = pytext::lower(provider);
    if (p == "aws") return "us-east-1";
    if (p == "google" || p == "gcp") return "us-central1";
    if (p == "azure") return "eastus";
    return nullptr;
}
}  // namespace

std::optional<Row> lookup(Sql &conn, std::string_view provider, std::string_view resource_type,
                          std::string_view item_key, std::string_view region_in, std::string *matched) {
    std::string region = normalise_region(provider, region_in);
    std::string exact = std::string("SELECT ") + kRowColumns +
                        " FROM pricing WHERE provider = ? AND resource_type = ? AND item_key = ? AND region = ?";
    auto first = [](std::vector<Row> rows) -> std::optional<Row> {
        if (rows.empty()) return std::nullopt;
        return std::move(rows.front());
    };
    std::optional<Row> row =
        first(conn.query(exact, {Value(provider), Value(resource_type), Value(item_key), Value(region)}));
    std::string_view from = region;
    if (!row && region != "global") {
        row = first(conn.query(std::string("SELECT ") + kRowColumns +
                                   " FROM pricing WHERE provider = ? AND resource_type = ? AND item_key = ? AND "
                                   "region = 'global'",
                               {Value(provider), Value(resource_type), Value(item_key)}));
        from = "global";
    }
    if (!row)
        if (const char *def = default_region(provider); def && region != def) {
            row = first(conn.query(exact, {Value(provider), Value(resource_type), Value(item_key), Value(def)}));
            from = def;
        }
    if (matched) *matched = row ? std::string(from) : std::string();
    return row;
}

Map row_to_map(const std::optional<Row> &row) {
    Map m;
    if (!row) return m;
    for (int i = 0; i < 6; ++i) m.set(kPriceKeys[i], (*row)[size_t(i)]);
    m.set("unit", (*row)[6]);
    return m;
}

reckon::Rates to_rates(const std::optional<Row> &row) {
    reckon::Rates r;
    if (!row) return r;
    r.found = true;
    for (int i = 0; i < 6; ++i) {
        const Value &v = (*row)[size_t(i)];
        if (v.is_float() || v.is_int()) {
            r.present[i] = true;
            r.value[i] = v.is_float() ? v.as_float() : double(v.as_int());
        }
    }
    if ((*row)[6].is_str()) {
        r.unit = (*row)[6].as_str();
        r.unit_present = true;
    }
    return r;
}

namespace {
// The current date in UTC, as YYYY-MM-DD.
std::string today() {
    std::time_t now = std::time(nullptr);
    std::tm tm{};
    char buf[16];
    if (!::gmtime_r(&now, &tm) || !std::strftime(buf, sizeof buf, "%Y-%m-%d", &tm)) return "";
    return buf;
}
}  // namespace

void update_rate(Sql &conn, std::string_view provider, std::string_view resource_type, std::string_view item_key,
                 const Map &rates, std::string_view region) {
    // Stored as the lookup normalises it, so that the rate is found again.
    std::string stored_region = normalise_region(provider, region);
    std::vector<PriceRow> rows;
    Map items;
    items.set(std::string(item_key), Value(rates));
    rows_of_items(rows, std::string(provider), std::string(resource_type), stored_region, Value(std::move(items)));
    bool origins = has_origin_columns(conn);
    if (auto *native = dynamic_cast<Connection *>(&conn)) native->begin_immediate();
    std::vector<Value> params = params_of(rows.front());
    if (origins) {
        params.push_back(Value(kUser));
        params.push_back(Value(today()));
    }
    conn.query(origins ? kUpsertFrom : kUpsert, params);
    conn.commit();
}

RefreshResult refresh_rates(Connection &conn, const std::vector<ImportedRate> &rates, bool write) {
    if (!has_origin_columns(conn)) throw ShapeError("the price table does not record row origins");
    // The last rate of a key listed twice holds.
    std::unordered_map<std::string, size_t> wanted;
    // Provider, resource type, region and source of the rates.
    std::unordered_set<std::string> covered;
    std::vector<ImportedRate> unique;
    for (const auto &r : rates) {
        if (!std::isfinite(r.price_per_hour) || r.price_per_hour < 0)
            throw ShapeError("price of " + r.item_key + " in " + r.region + " is not a finite, non-negative number");
        ImportedRate n = r;
        n.region = normalise_region(r.provider, r.region);
        auto key = row_key(n.provider, n.resource_type, n.item_key, n.region);
        covered.insert(row_key(n.provider, n.resource_type, n.source, n.region));
        if (auto it = wanted.find(key); it != wanted.end()) unique[it->second] = std::move(n);
        else {
            wanted.emplace(std::move(key), unique.size());
            unique.push_back(std::move(n));
        }
    }
    if (write) conn.begin_immediate();
    RefreshResult out;
    try {
        std::vector<bool> stored(unique.size(), false);
        std::vector<std::pair<RateChange, const ImportedRate *>> steps;  // the change and the rate it writes
        conn.each("SELECT provider, resource_type, item_key, region, price_per_hour, source FROM pricing",
                  [&](const Row &r) {
                      if (r.size() != 6 || !r[0].is_str() || !r[1].is_str() || !r[2].is_str() || !r[3].is_str())
                          return;
                      const std::string &p = r[0].as_str(), &t = r[1].as_str(), &k = r[2].as_str(),
                                        &g = r[3].as_str();
                      std::string origin = r[5].is_str() ? r[5].as_str() : "";
                      auto it = wanted.find(row_key(p, t, k, g));
                      if (it == wanted.end()) {
                          if (!origin.empty() && covered.contains(row_key(p, t, origin, g)))
                              steps.push_back({{"drop", p, t, k, g, r[4], Value()}, nullptr});
                          return;
                      }
                      stored[it->second] = true;
                      const ImportedRate &n = unique[it->second];
                      if (origin.empty() || origin == kUser) {
                          ++out.kept;
                          return;
                      }
                      bool same = (r[4].is_float() || r[4].is_int()) &&
                                  (r[4].is_float() ? r[4].as_float() : double(r[4].as_int())) == n.price_per_hour;
                      steps.push_back({{same ? "same" : "change", p, t, k, g, r[4], Value(n.price_per_hour)}, &n});
                  });
        for (size_t i = 0; i < unique.size(); ++i)
            if (!stored[i]) {
                const auto &n = unique[i];
                steps.push_back({{"add", n.provider, n.resource_type, n.item_key, n.region, Value(),
                                  Value(n.price_per_hour)},
                                 &n});
            }
        for (auto &[c, n] : steps) {
            std::vector<Value> key{Value(c.provider), Value(c.resource_type), Value(c.item_key), Value(c.region)};
            if (write) {
                if (c.action == "drop") {
                    conn.query("DELETE FROM pricing WHERE provider = ? AND resource_type = ? AND item_key = ? "
                               "AND region = ?", key);
                } else if (c.action == "add") {
                    key.insert(key.end(), {c.after, Value(n->source), Value(n->date)});
                    conn.query("INSERT INTO pricing (provider, resource_type, item_key, region, price_per_hour, "
                               "source, source_date) VALUES (?, ?, ?, ?, ?, ?, ?)", key);
                } else {
                    key.insert(key.begin(), {c.after, Value(n->source), Value(n->date)});
                    conn.query("UPDATE pricing SET price_per_hour = ?, source = ?, source_date = ? WHERE "
                               "provider = ? AND resource_type = ? AND item_key = ? AND region = ?", key);
                }
            }
            if (c.action == "same") ++out.unchanged;
            else {
                ++(c.action == "add" ? out.added : c.action == "drop" ? out.dropped : out.changed);
                out.changes.push_back(std::move(c));
            }
        }
        if (write) conn.commit();
    } catch (...) {
        conn.rollback();
        throw;
    }
    return out;
}

std::vector<Row> item_rows(Sql &conn, std::string_view provider, std::string_view resource_type,
                           std::string_view item_key) {
    return conn.query(std::string("SELECT region, ") + kRowColumns + ", " +
                          (has_origin_columns(conn) ? "source, source_date" : "NULL, NULL") +
                          " FROM pricing WHERE provider = ? AND resource_type = ? AND item_key = ? ORDER BY region",
                      {Value(std::string(provider)), Value(std::string(resource_type)), Value(std::string(item_key))});
}

std::vector<std::string> list_column(Sql &conn, const char *column, const std::optional<std::string> &provider) {
    std::string sql = std::string("SELECT DISTINCT ") + column + " FROM pricing";
    std::vector<Value> params;
    if (provider && !provider->empty()) {
        sql += " WHERE provider = ?";
        params.push_back(Value(*provider));
    }
    sql += std::string(" ORDER BY ") + column;
    std::vector<std::string> out;
    for (auto &r : conn.query(sql, params)) out.push_back(r.empty() ? "" : pytext::str_of(r[0]));
    return out;
}

void Snapshot::load(std::string_view provider, std::string_view resource_type, std::string_view item_key) const {
    std::string done = row_key(provider, resource_type, item_key, "");
    if (loaded_.contains(done)) return;
    std::string p(provider), t(resource_type), i(item_key);
    conn_.each(std::string("SELECT region, ") + kRowColumns +
                   " FROM pricing WHERE provider = ? AND resource_type = ? AND item_key = ?",
               [&](const Row &r) {
                   if (r.size() != 8 || !r[0].is_str()) return;
                   // Keys are unique under the table's primary key; keep the first like a SELECT would.
                   rows_.try_emplace(row_key(p, t, i, r[0].as_str()), r.begin() + 1, r.end());
               },
               {Value(p), Value(t), Value(i)});
    loaded_.insert(std::move(done));
}

const Row *Snapshot::find(std::string_view provider, std::string_view resource_type, std::string_view item_key,
                          std::string_view region) const {
    auto it = rows_.find(row_key(provider, resource_type, item_key, region));
    return it == rows_.end() ? nullptr : &it->second;
}

const Row *Snapshot::lookup(std::string_view provider, std::string_view resource_type, std::string_view item_key,
                            std::string_view region_in, std::string *matched) const {
    std::string region = normalise_region(provider, region_in);
    load(provider, resource_type, item_key);
    std::string_view from = region;
    const Row *row = find(provider, resource_type, item_key, region);
    if (!row && region != "global") row = find(provider, resource_type, item_key, from = "global");
    if (!row)
        if (const char *def = default_region(provider); def && region != def)
            row = find(provider, resource_type, item_key, from = def);
    if (matched) *matched = row ? std::string(from) : std::string();
    return row;
}

reckon::Rates StoreSource::rate(std::string_view provider, std::string_view type, std::string_view key,
                               std::string_view region) {
    std::string matched;
    reckon::Rates r = to_rates(lookup(conn_, reckon::store_provider(provider), type, key, region, &matched));
    r.region = std::move(matched);
    return r;
}

SnapshotSource::SnapshotSource(const std::string &path) : conn_(path), snap_(conn_) {}

reckon::Rates SnapshotSource::rate(std::string_view provider, std::string_view type, std::string_view key,
                                   std::string_view region) {
    // Trees repeat the same few lookups: each is answered once.
    std::string memo_key = row_key(provider, type, key, region);
    if (auto it = memo_.find(memo_key); it != memo_.end()) return it->second;
    std::string matched;
    const Row *row = snap_.lookup(reckon::store_provider(provider), type, key, region, &matched);
    reckon::Rates r = row ? to_rates(*row) : reckon::Rates{};
    r.region = std::move(matched);
    return memo_.emplace(std::move(memo_key), std::move(r)).first->second;
}

}  // namespace tw::rate
