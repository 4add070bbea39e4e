#include "core/hotspotter/trace.h"

#include <algorithm>
#include <array>
#include <vector>

namespace tw::hotspot {

namespace {

// Module paths and what they are; a path matches a module and everything below it. HTTP
// libraries do I/O in their module functions (requests.get); cloud SDKs and databases only
// through the clients, sessions and connections that their factories make.
enum class Lib : unsigned char { Http, Cloud, Db, Data };
struct ModuleKind {
    std::string_view path;
    Lib lib;
};
constexpr std::array<ModuleKind, 39> kModules = {{
    {"requests", Lib::Http},        {"httpx", Lib::Http},          {"urllib3", Lib::Http},
    {"aiohttp", Lib::Http},         {"urllib.request", Lib::Http}, {"http.client", Lib::Http},
    {"httplib2", Lib::Http},        {"boto3", Lib::Cloud},         {"botocore", Lib::Cloud},
    {"aioboto3", Lib::Cloud},       {"aiobotocore", Lib::Cloud},   {"google.cloud", Lib::Cloud},
    {"googleapiclient", Lib::Cloud}, {"azure", Lib::Cloud},        {"sqlalchemy", Lib::Db},
    {"django.db", Lib::Db},         {"pymongo", Lib::Db},          {"motor", Lib::Db},
    {"redis", Lib::Db},             {"psycopg2", Lib::Db},         {"psycopg", Lib::Db},
    {"pymysql", Lib::Db},           {"MySQLdb", Lib::Db},          {"mysql.connector", Lib::Db},
    {"sqlite3", Lib::Db},           {"asyncpg", Lib::Db},          {"aiosqlite", Lib::Db},
    {"aiomysql", Lib::Db},          {"oracledb", Lib::Db},         {"cx_Oracle", Lib::Db},
    {"pyodbc", Lib::Db},            {"pg8000", Lib::Db},           {"redshift_connector", Lib::Db},
    {"json", Lib::Data},            {"pickle", Lib::Data},         {"marshal", Lib::Data},
    {"yaml", Lib::Data},            {"pandas", Lib::Data},         {"numpy", Lib::Data},
}};

// Functions of data modules that read a whole document from a file or a source.
constexpr std::array<std::string_view, 14> kDocumentLoads = {
    "load",         "safe_load",   "full_load",   "unsafe_load", "read_csv",  "read_excel", "read_json",
    "read_sql",     "read_parquet", "read_table", "read_pickle", "read_hdf",  "read_feather", "read_sql_query"};

// Methods of clients, sessions and connections that do no I/O of their own.
constexpr std::array<std::string_view, 34> kLocalMethods = {
    "generate_presigned_url", "generate_presigned_post", "get_paginator", "can_paginate", "get_waiter",
    "add",                    "add_all",                 "expunge",       "expunge_all",  "pipeline",
    "cursor",                 "bucket",                  "blob",          "get_blob_client", "get_container_client",
    "get_queue_client",       "get_table_client",        "get_database",  "get_collection", "collection",
    "database",               "table",                   "client",        "resource",     "register_callback",
    "prepare_request",        "close",                   "get_bind",      "get_available_regions",
    "get_available_services", "get_partition_for_region", "operation_model", "get_config_variable", "mount"};

// Module functions that make a client, a session or a connection (besides constructors whose
// names end as in kFactorySuffixes).
constexpr std::array<std::string_view, 12> kFactories = {
    "client",  "resource",       "session",          "connect",           "connect_async", "create_engine",
    "create_async_engine", "sessionmaker", "scoped_session", "from_url", "from_connection_string",
    "create_pool"};
constexpr std::array<std::string_view, 9> kFactorySuffixes = {
    "Client", "Session", "Resource", "Connection", "PoolManager", "ConnectionPool", "Http", "Redis", "Engine"};

// Module functions of database libraries that open a connection.
constexpr std::array<std::string_view, 2> kDbConnects = {"connect", "connect_async"};

// Methods of database handles whose result is again a handle (a connection, a cursor, a query).
constexpr std::array<std::string_view, 15> kDbHandleMethods = {
    "connect", "cursor", "query", "filter", "filter_by", "where", "order_by", "join", "options", "objects",
    "begin",   "execution_options", "get_collection", "collection", "pipeline"};
// Methods of clients whose result is again a client or a resource.
constexpr std::array<std::string_view, 9> kIoHandleMethods = {
    "client", "resource", "bucket", "blob", "get_blob_client", "get_container_client", "get_queue_client",
    "get_table_client", "get_bucket"};

constexpr std::array<std::string_view, 71> kBuiltins = {
    "abs",       "aiter",     "all",        "anext",      "any",       "ascii",     "bin",        "bool",
    "breakpoint", "bytearray", "bytes",     "callable",   "chr",       "classmethod", "compile",  "complex",
    "delattr",   "dict",      "dir",        "divmod",     "enumerate", "eval",      "exec",       "filter",
    "float",     "format",    "frozenset",  "getattr",    "globals",   "hasattr",   "hash",       "help",
    "hex",       "id",        "input",      "int",        "isinstance", "issubclass", "iter",     "len",
    "list",      "locals",    "map",        "max",        "memoryview", "min",      "next",       "object",
    "oct",       "open",      "ord",        "pow",        "print",     "property",  "range",      "repr",
    "reversed",  "round",     "set",        "setattr",    "slice",     "sorted",    "staticmethod", "str",
    "sum",       "super",     "tuple",      "type",       "vars",      "zip",       "__import__"};

template <size_t N>
bool listed(const std::array<std::string_view, N> &table, std::string_view s) {
    return std::find(table.begin(), table.end(), s) != table.end();
}

bool capitalised(std::string_view s) { return !s.empty() && s.front() >= 'A' && s.front() <= 'Z'; }

// One name of a dotted callee name and the number of calls applied to it ("f()()" is 2).
struct Seg {
    std::string_view id;
    int calls = 0;
};

std::vector<Seg> segments(std::string_view name) {
    std::vector<Seg> out;
    size_t i = 0;
    while (i <= name.size()) {
        size_t dot = name.find('.', i);
        if (dot == std::string_view::npos) dot = name.size();
        std::string_view part = name.substr(i, dot - i);
        Seg s;
        while (part.ends_with("()")) {
            part.remove_suffix(2);
            ++s.calls;
        }
        s.id = part;
        out.push_back(s);
        i = dot + 1;
    }
    return out;
}

// How a dotted name resolves: the traced origin of its root and where, in its segments,
// the part after that root begins.
struct Root {
    Origin origin = Origin::Unknown;
    size_t rest = 0;           // first segment after the root
    bool module = false;       // the root is an imported module (path below)
    Lib lib = Lib::Cloud;      // of that module
    std::string path;          // module path up to and including the first called segment
    size_t first_call = 0;     // index of that segment
};

bool io_method(std::string_view m) { return !listed(kLocalMethods, m) && !capitalised(m); }

bool factory(std::string_view fn) {
    if (listed(kFactories, fn)) return true;
    if (!capitalised(fn)) return false;
    return std::any_of(kFactorySuffixes.begin(), kFactorySuffixes.end(), [&](std::string_view s) { return fn.ends_with(s); });
}

// A method whose result is a handle of the same kind as its receiver.
bool handle_call(Origin o, std::string_view m) {
    if (o == Origin::Db) return capitalised(m) || listed(kDbHandleMethods, m);
    return capitalised(m) || listed(kIoHandleMethods, m);
}

const ModuleKind *module_kind(std::string_view module) {
    for (const ModuleKind &m : kModules)
        if (module.starts_with(m.path) && (module.size() == m.path.size() || module[m.path.size()] == '.')) return &m;
    return nullptr;
}

Origin origin_of(Lib lib) {
    switch (lib) {
        case Lib::Db: return Origin::Db;
        case Lib::Data: return Origin::Data;
        default: return Origin::Io;
    }
}

}  // namespace

Origin module_origin(std::string_view module) {
    // Type stubs of the AWS SDK name the clients of every service.
    if (module.starts_with("mypy_boto3_") || module.starts_with("types_aiobotocore_") ||
        module.starts_with("types_boto3_"))
        return Origin::Io;
    const ModuleKind *m = module_kind(module);
    return m ? origin_of(m->lib) : Origin::Unknown;
}

void Scope::bind_module(std::string local, std::string path) {
    if (!vars_.empty()) vars_.erase(local);
    // Only modules that tracing knows, or packages above one ("import google"), are kept; an
    // import of another module rebinds the name to it.
    bool kept = module_origin(path) != Origin::Unknown ||
                std::any_of(kModules.begin(), kModules.end(), [&](const ModuleKind &m) {
                    return m.path.size() > path.size() && m.path.starts_with(path) && m.path[path.size()] == '.';
                });
    if (kept) aliases_[std::move(local)] = std::move(path);
    else if (!aliases_.empty()) aliases_.erase(local);
}

void Scope::import_module(std::string_view module, std::string_view asname) {
    if (!asname.empty()) {
        bind_module(std::string(asname), std::string(module));
        return;
    }
    std::string root(module.substr(0, module.find('.')));
    bind_module(root, root);
}

void Scope::import_from(std::string_view module, std::string_view name, std::string_view asname) {
    bind_module(std::string(asname.empty() ? name : asname), std::string(module) + "." + std::string(name));
}

namespace {

// Resolution shared by calls and values. `segs` has the callee's own call counted.
Root resolve(const std::vector<Seg> &segs, const std::unordered_map<std::string, std::string> &aliases,
             const std::unordered_map<std::string, Origin> &vars) {
    Root r;
    // The longest bound prefix of plain names (calls only on its last name).
    std::string key;
    size_t best = 0;
    Origin best_origin = Origin::Unknown;
    for (size_t k = 0; k < segs.size(); ++k) {
        if (k) key += '.';
        key += segs[k].id;
        if (!vars.empty()) {
            auto it = vars.find(key);
            if (it != vars.end()) {
                best = k + 1;
                best_origin = it->second;
            }
        }
        if (segs[k].calls) break;
    }
    if (best) {
        r.origin = best_origin;
        r.rest = best;
        return r;
    }
    auto a = aliases.find(std::string(segs[0].id));
    if (a != aliases.end()) {
        r.module = true;
        r.path = a->second;
        size_t j = 0;
        while (segs[j].calls == 0 && j + 1 < segs.size()) r.path.append(1, '.').append(segs[++j].id);
        r.first_call = j;
        r.rest = j + 1;
        r.origin = module_origin(r.path);
        if (const ModuleKind *m = module_kind(r.path)) r.lib = m->lib;
        return r;
    }
    // A Django manager: Model.objects.<method>.
    for (size_t k = 1; k + 1 < segs.size(); ++k) {
        if (segs[k - 1].calls) break;
        if (segs[k].id == "objects" && segs[k].calls == 0) {
            r.origin = Origin::Db;
            r.rest = k + 1;
            return r;
        }
    }
    if (segs.size() == 1 && segs[0].calls && listed(kBuiltins, segs[0].id)) {
        r.origin = Origin::Local;
        r.rest = 1;
    }
    return r;
}

}  // namespace

CallTrace Scope::trace(std::string_view name, Base base) const {
    CallTrace t;
    size_t dot = name.rfind('.');
    t.method = dot == std::string_view::npos ? name : name.substr(dot + 1);
    t.receiver = dot == std::string_view::npos ? std::string_view() : name.substr(0, dot);
    if (base != Base::Name || name.empty()) {
        t.origin = base == Base::Literal ? Origin::Local : Origin::Unknown;
        return t;
    }
    std::vector<Seg> segs = segments(name);
    ++segs.back().calls;  // the call itself
    Root r = resolve(segs, aliases_, vars_);
    t.origin = r.origin;
    if (r.origin != Origin::Io && r.origin != Origin::Db && r.origin != Origin::Data) return t;
    size_t from = r.rest;
    if (r.module) {
        std::string_view fn = segs[r.first_call].id;
        if (r.origin == Origin::Data) {
            t.loads_document = r.first_call + 1 == segs.size() && listed(kDocumentLoads, fn);
            return t;
        }
        if (r.lib == Lib::Http && !capitalised(fn) && io_method(fn)) {
            t.io = true;
            return t;
        }
        if (r.lib == Lib::Db && listed(kDbConnects, fn)) {
            t.io = true;
            return t;
        }
        if (!factory(fn)) {
            // A database library's expression builders (select, text, func.*) never do I/O;
            // other functions and types of a cloud SDK (serializers, exceptions) neither.
            t.origin = r.lib == Lib::Db ? Origin::Local : Origin::Unknown;
            return t;
        }
    } else if (r.origin == Origin::Data) {
        return t;
    }
    for (size_t j = from; j < segs.size() && !t.io; ++j)
        if (segs[j].calls && io_method(segs[j].id)) t.io = true;
    return t;
}

Origin Scope::value_origin(std::string_view value, Base base) const {
    if (base == Base::Literal) return Origin::Local;
    if (base != Base::Name || value.empty()) return Origin::Unknown;
    std::vector<Seg> segs = segments(value);
    Root r = resolve(segs, aliases_, vars_);
    if (r.origin == Origin::Local) return Origin::Local;
    if (r.origin != Origin::Io && r.origin != Origin::Db) return Origin::Unknown;
    if (r.module) {
        std::string_view fn = segs[r.first_call].id;
        if (segs[r.first_call].calls == 0) return r.origin;  // the module itself
        if (!factory(fn)) return Origin::Unknown;
    }
    for (size_t j = r.rest; j < segs.size(); ++j)
        if (segs[j].calls && !handle_call(r.origin, segs[j].id)) return Origin::Unknown;
    return r.origin;
}

void Scope::annotate(std::string_view name, std::string_view type) {
    Origin o = type.empty() ? Origin::Unknown : value_origin(type, Base::Name);
    if (o != Origin::Io && o != Origin::Db) o = Origin::Unknown;
    auto it = vars_.find(std::string(name));
    if (it != vars_.end()) it->second = o;
    else if (o != Origin::Unknown) vars_.emplace(std::string(name), o);
}

void Scope::assign(std::string_view target, std::string_view value, Base base, bool literal) {
    std::string key(target);
    Origin o = literal ? Origin::Local : value_origin(value, base);
    auto it = vars_.find(key);
    if (o == Origin::Unknown) {
        // Only a rebinding needs recording: an unbound name is unknown already.
        if (it != vars_.end()) it->second = o;
        else if (aliases_.count(key)) vars_.emplace(std::move(key), o);
        return;
    }
    if (it != vars_.end()) it->second = o;
    else vars_.emplace(std::move(key), o);
}

}  // namespace tw::hotspot

namespace tw::hotspot {

namespace {

// Packages whose names, and everything made from them, do I/O ("@scope/" entries match the
// whole scope).
constexpr std::array<std::string_view, 30> kJsIoPackages = {
    "axios",    "node-fetch", "got",       "superagent", "needle",     "request",        "undici",     "ky",
    "aws-sdk",  "@aws-sdk/",  "@prisma/client", "sequelize", "typeorm", "mongoose",      "knex",       "pg",
    "mysql",    "mysql2",     "mongodb",   "ioredis",    "redis",      "@google-cloud/", "@azure/",    "firebase-admin",
    "drizzle-orm", "@supabase/supabase-js", "better-sqlite3", "sqlite3", "cross-fetch", "isomorphic-fetch"};

constexpr std::array<std::string_view, 12> kJsKeywords = {"import", "const", "let", "var", "as", "type",
                                                          "from", "require", "default", "await", "new", "export"};

// Letters and digits outside ASCII count as word characters, as the host's patterns read them.
bool js_word_char(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '$' ||
           static_cast<unsigned char>(c) >= 0x80;
}

// The package that a line imports or requires, or "".
std::string_view imported_package(std::string_view line) {
    for (std::string_view marker : {std::string_view("from "), std::string_view("require("), std::string_view("import(")}) {
        size_t at = line.find(marker);
        if (at == std::string_view::npos) continue;
        size_t q = at + marker.size();
        while (q < line.size() && line[q] == ' ') ++q;
        if (q >= line.size() || (line[q] != '\'' && line[q] != '"' && line[q] != '`')) continue;
        size_t end = line.find(line[q], q + 1);
        if (end == std::string_view::npos) continue;
        return line.substr(q + 1, end - q - 1);
    }
    if (line.starts_with("import ")) {  // import 'pkg'
        size_t q = line.find_first_of("'\"");
        size_t end = q == std::string_view::npos ? q : line.find(line[q], q + 1);
        if (end != std::string_view::npos) return line.substr(q + 1, end - q - 1);
    }
    return {};
}

bool io_package(std::string_view pkg) {
    for (std::string_view p : kJsIoPackages) {
        if (p.ends_with('/') ? pkg.starts_with(p) : (pkg == p || (pkg.starts_with(p) && pkg[p.size()] == '/')))
            return true;
    }
    return false;
}

// The identifiers of `s`, keywords left out.
template <class F>
void each_word(std::string_view s, F &&use) {
    size_t i = 0;
    while (i < s.size()) {
        if (!js_word_char(s[i]) || (s[i] >= '0' && s[i] <= '9')) {
            ++i;
            continue;
        }
        size_t j = i;
        while (j < s.size() && js_word_char(s[j])) ++j;
        std::string_view w = s.substr(i, j - i);
        if (std::find(kJsKeywords.begin(), kJsKeywords.end(), w) == kJsKeywords.end()) use(w);
        i = j;
    }
}

// Whether `word` occurs in `line` as a whole name followed by "." or "(" (a call or a member).
bool used_as_callee(std::string_view line, std::string_view word) {
    for (size_t at = line.find(word); at != std::string_view::npos; at = line.find(word, at + 1)) {
        size_t end = at + word.size();
        if (at > 0 && (js_word_char(line[at - 1]) || line[at - 1] == '.')) continue;
        if (end < line.size() && (line[end] == '.' || line[end] == '(')) return true;
    }
    return false;
}

}  // namespace

void JsScope::learn(std::string_view line) {
    std::string_view pkg = imported_package(line);
    if (!pkg.empty()) {
        if (!io_package(pkg)) return;
        size_t cut = line.find(" from ");
        if (cut == std::string_view::npos) cut = line.find('=');
        if (cut == std::string_view::npos) return;
        each_word(line.substr(0, cut), [&](std::string_view w) { handles_[std::string(w)] = true; });
        return;
    }
    // name = [await] [new] <traced name>...
    size_t eq = line.find('=');
    if (eq == std::string_view::npos || eq + 1 >= line.size() || line[eq + 1] == '=' || eq == 0 ||
        line[eq - 1] == '=' || line[eq - 1] == '!' || line[eq - 1] == '<' || line[eq - 1] == '>')
        return;
    std::string_view lhs = line.substr(0, eq), rhs = line.substr(eq + 1);
    std::string_view first;
    each_word(rhs, [&](std::string_view w) {
        if (first.empty()) first = w;
    });
    if (first.empty() || handles_.find(std::string(first)) == handles_.end()) return;
    std::string_view target;
    each_word(lhs, [&](std::string_view w) { target = w; });  // the last name: x, this.x
    if (!target.empty() && target != "this") handles_[std::string(target)] = true;
}

bool JsScope::io_call(std::string_view line) const {
    if (used_as_callee(line, "fetch") && line.find("fetch(") != std::string_view::npos) return true;
    for (const auto &[name, _] : handles_)
        if (used_as_callee(line, name)) return true;
    return false;
}

}  // namespace tw::hotspot
