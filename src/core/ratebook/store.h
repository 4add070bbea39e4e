// The pricing store: the SQLite table `pricing`, its creation, migration and seeding from
// the price list, and the rate lookup with region fallback.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "core/reckoner/frame.h"
#include "core/value.h"

struct sqlite3;

namespace tw::rate {

// An SQLite failure: `code` is SQLite's primary result code.
struct SqlError : std::runtime_error {
    int code;
    SqlError(int c, const std::string &msg) : std::runtime_error(msg), code(c) {}
};

// A price list of the wrong shape.
struct ShapeError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

using Row = std::vector<Value>;

// Statements run through a connection or cursor: the native one, or the host's sqlite3
// objects when a caller passes its own.
class Sql {
public:
    virtual ~Sql() = default;
    virtual std::vector<Row> query(std::string_view sql, const std::vector<Value> &params = {}) = 0;
    // Calls `row` for each result row in turn (the row is reused between calls).
    virtual void each(std::string_view sql, const std::function<void(const Row &)> &row,
                      const std::vector<Value> &params = {}) {
        for (const auto &r : query(sql, params)) row(r);
    }
    virtual void commit() = 0;
};

class Connection : public Sql {
public:
    // Opens `path` for reading and writing, creating the file if needed; an in-memory copy
    // (see place_store) is opened by its name.
    explicit Connection(const std::string &path);
    ~Connection() override;
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;

    std::vector<Row> query(std::string_view sql, const std::vector<Value> &params = {}) override;
    void each(std::string_view sql, const std::function<void(const Row &)> &row,
              const std::vector<Value> &params = {}) override;
    void commit() override;
    void begin_immediate();
    void rollback() noexcept;
    void close() noexcept;
    bool in_transaction() const;
    // Whether SQLite opened the file read-only (it does so silently for a read-only file).
    bool read_only() const;
    sqlite3 *handle() const { return db_; }
    // The database header's file change counter, when the file uses a rollback journal
    // (the only mode in which every committed write advances it).
    std::optional<uint32_t> change_counter();

private:
    sqlite3 *db_ = nullptr;
};

extern const char *const kCreateTable;
extern const char *const kUpsert;
// The same with the row's origin in `source` ("shipped" for the price list, "user" for
// update_rate, an importer's name later) and the date it was written in `source_date`.
// A row with no source (written by an older version or by hand) is classified by the next
// seeding: shipped when the list holds its key, else the user's.
extern const char *const kUpsertFrom;
constexpr const char *kShipped = "shipped";
constexpr const char *kUser = "user";
extern const char *const kPriceKeys[6];

std::string normalise_region(std::string_view provider, std::string_view region);

void create_table(Sql &conn);
// Adds missing columns (the origin columns without a value); a table whose primary key lacks
// `region` is rebuilt with the current key, keeping every row, in one transaction.
void migrate_schema(Sql &conn);

// Validates the price list's shape and lists the rows it writes, in order.
struct PriceRow {
    std::string provider, resource_type, item_key, region;
    Value prices[6];
    Value unit;
};
// With `rejected`, an item whose price is present but neither null nor a finite,
// non-negative number (whose cost over a month is finite too) is left out, and a
// "Warning: " line naming it is added there.
std::vector<PriceRow> price_rows(const Value &price_list, std::vector<std::string> *rejected = nullptr);
// One row per item of `items` through `cursor` (no commit).
void upsert_items(Sql &cursor, std::string_view provider, std::string_view res_type, std::string_view region,
                  const Map &items);
// Writes the price list's rows as shipped ones. A stored row of another origin (the user's)
// is kept; rows of no origin whose key is not in the list become the user's. With
// `skip_unchanged`, rows whose stored values already equal them are not written again (the
// table ends the same).
void write_rows(Sql &conn, const std::vector<PriceRow> &rows, bool skip_unchanged);

// Reads the price list at `path`; nothing when it does not exist. A read or decode failure
// sets `warning` to the error text.
std::optional<Value> read_price_list(const std::string &path, std::string &warning);
// The same in two steps: the file's text (nothing when it does not exist), then its value.
std::optional<std::string> read_price_list_text(const std::string &path, std::string &warning);
std::optional<Value> decode_price_list(const std::string &text, std::string &warning);
// Whether a price-list entry is flat (its first item carries a rate key) or regional.
bool is_flat_entry(const Map &entry);

// Seeding that is already done: the table was last seeded from a list with this digest, and
// nothing has written to the database since. Kept in the table pricing_seed_state.
std::string list_digest(std::string_view text);
bool seeded_from(Connection &conn, const std::string &digest);
// Records the seeding in the current write transaction, before it commits.
void record_seeded(Connection &conn, const std::string &digest);

// The rate lookup cascade: exact region, global, the provider's default region. The row
// holds the six prices and the unit as stored; `matched`, when given, receives the region
// of the row found.
std::optional<Row> lookup(Sql &conn, std::string_view provider, std::string_view resource_type,
                          std::string_view item_key, std::string_view region, std::string *matched = nullptr);
// The row as the host sees it: the seven keys in order (an empty map for no row).
Map row_to_map(const std::optional<Row> &row);
reckon::Rates to_rates(const std::optional<Row> &row);

// Writes the user's rate (as the user's row where the table records origins).
void update_rate(Sql &conn, std::string_view provider, std::string_view resource_type, std::string_view item_key,
                 const Map &rates, std::string_view region);
std::vector<std::string> list_column(Sql &conn, const char *column, const std::optional<std::string> &provider);

// One hourly list price an importer read from a provider's price list, with the list's name
// and date.
struct ImportedRate {
    std::string provider, resource_type, item_key, region;
    double price_per_hour = 0;
    std::string source, date;
};
struct RateChange {
    std::string action;  // "add", "change" or "drop"
    std::string provider, resource_type, item_key, region;
    Value before, after;  // hourly prices; null where there is none
};
struct RefreshResult {
    size_t added = 0, changed = 0, dropped = 0, unchanged = 0, kept = 0;
    std::vector<RateChange> changes;
};
// What writing `rates` does to the table: a key without a row is added; a row of the price
// list or of an import gets the new hourly price (its other columns stay) and the rate's
// source and date; a row the user wrote (or of no origin) is kept. A row a source wrote
// earlier whose (provider, resource type, region) that source's rates cover but whose item
// they no longer list is dropped. With `write`, all of it happens in one transaction.
RefreshResult refresh_rates(Connection &conn, const std::vector<ImportedRate> &rates, bool write);
// Every region's row of one item, with its origin: region, the six prices, unit, source, date.
std::vector<Row> item_rows(Sql &conn, std::string_view provider, std::string_view resource_type,
                           std::string_view item_key);

// Which database a store uses for this run. The file asked for when it can be written;
// otherwise a per-user copy in `cache_dir`, started from the file when that is readable; an
// in-memory copy when neither can be written, or when the file is not a database or stays
// locked (the file is then left untouched). `prepare` creates, migrates and seeds the
// database it is given; it runs again on the next choice when a database fails with an
// SQLite error that makes it unusable. A path the caller chose (`chosen`) that is not used
// is named in the warning, whatever replaces it.
struct Placement {
    enum class Kind { File, UserCopy, Memory } kind = Kind::File;
    std::string path;     // what to open with Connection
    std::string warning;  // one "Warning: " line when the choice needs one, else empty
};
Placement place_store(const std::string &path, const std::string &cache_dir,
                      const std::function<void(const std::shared_ptr<Connection> &)> &prepare, bool chosen = false);
// Ends an in-memory copy made by place_store: the connection that keeps it alive is closed.
void release_memory_store(const std::string &path);
// How many in-memory copies are alive.
size_t memory_stores();
// $XDG_CACHE_HOME/tally-warden when that is absolute, else ~/.cache/tally-warden ("" when no
// home directory is known).
std::string user_cache_dir();
// Whether `path` names an in-memory copy made by place_store.
bool is_memory_store(std::string_view path);

// One consistent read of the whole table, answering lookups as the cascade would.
class Snapshot {
public:
    // Rows are read one item (all its regions) at a time, on the item's first lookup;
    // `conn` must outlive the snapshot.
    explicit Snapshot(Sql &conn) : conn_(conn) {}
    const Row *lookup(std::string_view provider, std::string_view resource_type, std::string_view item_key,
                      std::string_view region, std::string *matched = nullptr) const;

private:
    const Row *find(std::string_view provider, std::string_view resource_type, std::string_view item_key,
                    std::string_view region) const;
    void load(std::string_view provider, std::string_view resource_type, std::string_view item_key) const;
    Sql &conn_;
    mutable std::unordered_set<std::string> loaded_;
    mutable std::unordered_map<std::string, Row> rows_;
};

// From how many resources a report keeps each item it reads rather than query every lookup.
constexpr size_t kSnapshotFrom = 64;

// Estimator lookups against a store file: one statement cascade per lookup.
class StoreSource : public reckon::RateSource {
public:
    explicit StoreSource(const std::string &path) : conn_(path) {}
    reckon::Rates rate(std::string_view provider, std::string_view type, std::string_view key,
                       std::string_view region) override;

private:
    Connection conn_;
};

// Estimator lookups answered from one consistent read of the table.
class SnapshotSource : public reckon::RateSource {
public:
    explicit SnapshotSource(const std::string &path);
    reckon::Rates rate(std::string_view provider, std::string_view type, std::string_view key,
                       std::string_view region) override;

private:
    Connection conn_;
    Snapshot snap_;
    std::unordered_map<std::string, reckon::Rates> memo_;
};

}  // namespace tw::rate
