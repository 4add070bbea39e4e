// Receiver tracing for the Python loop rules: what the names of one file are bound to
// (imports of I/O libraries, clients and sessions made from them, literals), and what a
// call on them does. Facts come in walk order; the scope is the whole file.
#pragma once

#include <string>
#include <string_view>
#include <unordered_map>

namespace tw::hotspot {

// What a name or a call result is.
enum class Origin : unsigned char {
    Unknown,  // nothing known: a parameter, a result of an untraced call
    Local,    // a literal, a builtin or a value built from one: never I/O
    Io,       // an HTTP or cloud SDK module, client or resource
    Db,       // a database module, engine, session, cursor, collection or manager
    Data,     // a module whose load functions read whole documents (json, pickle, pandas, ...)
};

// Where a callee's dotted name starts: at a name, at a literal ("".join, [].append), or at
// something else that has no name (a subscript, a call result of a lambda, ...).
enum class Base : unsigned char { Name, Literal, Other };

// A call as the loop rules see it.
struct CallTrace {
    Origin origin = Origin::Unknown;  // of the receiver (or of the module of a function)
    bool io = false;                  // the call, or a call of its chain, does I/O
    bool loads_document = false;      // a whole-document load of a traced data module
    std::string_view method;          // the last name of the callee
    std::string_view receiver;        // the callee without its last name ("" for a bare name)
};

class Scope {
public:
    // import a.b.c [as x]
    void import_module(std::string_view module, std::string_view asname);
    // from a.b import c [as x]
    void import_from(std::string_view module, std::string_view name, std::string_view asname);
    // target = value: `value` is the dotted name of the value (calls marked "()"), `base`
    // where it starts; `literal` when the value is a display, a constant or a comprehension.
    void assign(std::string_view target, std::string_view value, Base base, bool literal);

    // A parameter or a declared name and its annotation ("" when it has none); a string
    // annotation is given as its text.
    void annotate(std::string_view name, std::string_view type);

    // Nothing traced yet: assignments and annotations cannot bind anything but unknowns.
    bool empty() const { return aliases_.empty() && vars_.empty(); }

    CallTrace trace(std::string_view name, Base base) const;
    // What `value` (a dotted name as for assign) evaluates to.
    Origin value_origin(std::string_view value, Base base) const;

private:
    void bind_module(std::string local, std::string path);

    std::unordered_map<std::string, std::string> aliases_;  // local name -> module path
    std::unordered_map<std::string, Origin> vars_;          // dotted target -> origin
};

// The origin of a module path: Io, Db, Data or Unknown.
Origin module_origin(std::string_view module);

}  // namespace tw::hotspot

namespace tw::hotspot {

// The same for JavaScript/TypeScript, as far as a line reader can tell: names imported or
// required from HTTP clients, cloud SDKs, Prisma and common ORMs and database drivers, and
// the names assigned from them.
class JsScope {
public:
    // Learns the bindings that one (stripped) line makes.
    void learn(std::string_view line);
    // Whether the line calls the global fetch or a traced name.
    bool io_call(std::string_view line) const;

private:
    std::unordered_map<std::string, bool> handles_;
};

}  // namespace tw::hotspot
