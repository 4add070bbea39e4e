// The hook's flow: scan a tree (or the two trees of a change), price it, compare, report and
// decide whether the commit may proceed. The collaborators sit behind small interfaces, so
// that a host can put its own reader, estimator, store or terminal in their place.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "core/commit/commit.h"
#include "core/reckoner/frame.h"
#include "core/stackreader/reader.h"
#include "core/value.h"

namespace tw::gate {

// Records held by the host (a replaced reader): only the host's estimator can price them.
class HostRecords {
public:
    virtual ~HostRecords() = default;
    virtual bool empty() const = 0;
};

// The records one scan found.
struct Records {
    std::vector<Value> values;            // native records
    std::vector<std::string> files;       // the file of each native record, when the scan told
    std::shared_ptr<HostRecords> host;    // set instead of `values` by a host reader
    bool empty() const { return host ? host->empty() : values.empty(); }
};

// What to scan.
struct Tree {
    std::string root;          // a directory or a single file
    bool given = false;        // the directory the hook was given (else a copy of a tree)
    bool files = false;        // each record's file is wanted
    // For a copy: where its modules are read (see stack::ScanOptions).
    std::string modules_from, copy_top, real_top;
};

class Reader {
public:
    virtual ~Reader() = default;
    // Lines about the files read go to `sink`.
    virtual Records scan(const Tree &tree, const stack::Sink &sink) = 0;
};

// The core's own directory scan.
class NativeReader : public Reader {
public:
    // `excludes`: the exclusion values as given (names, and paths with "/").
    NativeReader(std::vector<std::string> excludes, bool modules);
    Records scan(const Tree &tree, const stack::Sink &sink) override;

private:
    std::vector<std::string> excludes_, exclude_paths_;
    bool modules_;
};

// The pricing store as the core's rules read it.
using Store = reckon::RateSource;

// One resource as an estimator's own report lists it.
struct Listed {
    std::string type, name, region, basis;
    double cost = 0.0;
};
struct Totals {
    double total = 0.0;
    std::vector<Listed> resources;
};

class Estimator {
public:
    virtual ~Estimator() = default;
    // The store through which the gate may price `records` native records by the core's
    // rules itself; null when the estimator or its store was replaced. First called after a
    // scan found records.
    virtual std::unique_ptr<Store> store(size_t records) = 0;
    // The estimator's own report: its total and, with `listed`, the resources it lists.
    virtual Totals report(const Records &records, bool listed) = 0;
};

// The developer's answer to the confirmation prompt.
struct Answer {
    enum class Kind { Line, Interrupted, NoInput };
    Kind kind = Kind::Line;
    std::string text;  // the line, stripped and lower-cased
};

class Terminal {
public:
    virtual ~Terminal() = default;
    virtual void say(const std::string &line) = 0;   // one message line
    virtual void warn(const std::string &line) = 0;  // one line on standard error
    virtual Answer ask(const std::string &prompt) = 0;
    // The document of --format on standard output.
    virtual void document(const std::string &doc) = 0;
};

// The two trees of a change, copied where a reader can scan them.
struct Copies {
    std::string base_root, new_root;  // the scanned directory in each copy
    std::string base_top, new_top;    // each copy's repository top level
    std::string real_top;             // the repository's top level
    std::string real_dir;             // the scanned directory itself
    std::vector<std::string> notes;   // lines about where the copies were made
};

class Change {
public:
    virtual ~Change() = default;
    // Whether a file the scan reads changed; commit::GitError when git cannot tell.
    virtual bool any() = 0;
    virtual Copies copy() = 0;
    // Starts removing the copies (they are no longer read).
    virtual void release() = 0;
    // Returns once the copies are gone.
    virtual void settle() = 0;
};

// The staged change (or a branch's, with `head`) of a directory, read through git.
class GitChange : public Change {
public:
    GitChange(std::string directory, std::string base, std::optional<std::string> head,
              std::vector<std::string> excludes, bool modules);
    ~GitChange() override;
    bool any() override;
    Copies copy() override;
    void release() override;
    void settle() override;

private:
    std::string directory_, base_;
    std::optional<std::string> head_;
    std::vector<std::string> excludes_;
    bool modules_;
    std::optional<commit::Repo> repo_;
    std::unique_ptr<commit::Snapshot> snap_;
    std::thread remover_;
};

struct Options {
    std::string shown;  // the directory as the caller wrote it
    double threshold = 100.0;
    bool strict = false;
    bool breakdown = false;
    bool json = false;      // a document owns standard output: JSON, or Markdown with `markdown`
    bool markdown = false;
    std::optional<std::string> output;  // also write the document there
    // The change's base, and the revision priced against its merge base instead of the index.
    std::string base = "HEAD";
    std::optional<std::string> head;
    std::optional<double> max_total;
};

// A message line of the hook: "[Tally-Warden] " and `text`.
std::string line(std::string_view text);

// The exit status of one tree's check (0 proceed, 1 abort, 2 the report could not be written).
int run(const Options &o, Reader &reader, Estimator &estimator, Terminal &terminal);
// The same for a change: its increase against the threshold (commit::Interrupted passes).
int run_diff(const Options &o, Change &change, Reader &reader, Estimator &estimator, Terminal &terminal);

// The confirmation of a commit over the limits: 0 proceed, 1 abort.
int ask(bool strict, Terminal &terminal);

}  // namespace tw::gate
