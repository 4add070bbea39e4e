#include "core/gate/gate.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string_view>
#include <unistd.h>
#include <unordered_map>

#include "core/names.h"
#include "core/pytext.h"
#include "core/reckoner/estimator.h"
#include "core/report/report.h"

namespace tw::gate {

std::string line(std::string_view text) { return std::string("[Tally-Warden] ").append(text); }

namespace {

constexpr const char *kSeparator = "----------------------------------------------------------------------";
constexpr const char *kPrompt = "[Tally-Warden] High-cost change detected. Type 'confirm' to proceed: ";

// A scanned path as the user's directory names it: `root` replaced by `display`.
std::string shown_path(const std::string &path, const std::string &root, const std::string &display) {
    std::string p = path.starts_with(root) ? display + path.substr(root.size()) : path;
    while (p.starts_with("./")) p.erase(0, 2);
    return p;
}

void replace_all(std::string &s, const std::string &from, const std::string &to) {
    if (from.empty()) return;
    for (size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size())) s.replace(at, from.size(), to);
}

struct Priced {
    std::vector<report::Item> items;
    double total = 0.0;
};

// The priced records of one tree by file, so that a record of the other tree found at the
// same place of the same file, and equal, takes its price without a second estimate.
struct PriceMemo {
    const std::vector<Value> *records = nullptr;
    const std::vector<report::Item> *items = nullptr;
    std::unordered_map<std::string_view, std::pair<size_t, size_t>> by_file;  // first, count
};

PriceMemo memo_of(const Records &records, const Priced &priced) {
    PriceMemo memo;
    if (records.host || records.values.size() != priced.items.size()) return memo;
    memo.records = &records.values;
    memo.items = &priced.items;
    for (size_t i = 0; i < priced.items.size();) {
        size_t j = i;
        while (j < priced.items.size() && priced.items[j].file == priced.items[i].file) ++j;
        memo.by_file.try_emplace(priced.items[i].file, i, j - i);
        i = j;
    }
    return memo;
}

// Native records priced one by one by the core's rules; with `items`, each priced resource
// is kept. Throws what the rules throw.
Priced price_native(Store &store, const Records &records, const std::string &root, const std::string &display,
                    bool items, const PriceMemo *memo) {
    Priced p;
    reckon::Report report;
    if (!items) {
        for (const auto &r : records.values) {
            auto cost = reckon::estimate_record(r.as_map(), store);
            report.add(pytext::str_of(cost.type), cost.monthly_cost);
        }
        p.total = pytext::round2(report.total);
        return p;
    }
    const auto &files = records.files;
    p.items.reserve(records.values.size());
    size_t run = 0;  // where the records of the current file begin
    for (size_t i = 0; i < records.values.size(); ++i) {
        std::string file = shown_path(i < files.size() ? files[i] : root, root, display);
        if (i == 0 || file != p.items.back().file) run = i;
        const report::Item *same = nullptr;
        if (memo && memo->records) {
            auto it = memo->by_file.find(file);
            size_t k = i - run;
            if (it != memo->by_file.end() && k < it->second.second &&
                (*memo->records)[it->second.first + k] == records.values[i])
                same = &(*memo->items)[it->second.first + k];
        }
        if (same) {
            p.items.push_back(*same);
        } else {
            auto cost = reckon::estimate_record(records.values[i].as_map(), store);
            std::string unit = report::unit_of(file);
            p.items.push_back({std::move(file), std::move(unit), pytext::str_of(cost.type), pytext::str_of(cost.name),
                               cost.region, cost.basis, report::source_name(cost), cost.monthly_cost});
        }
        report.add(p.items.back().type, p.items.back().cost);
    }
    p.total = pytext::round2(report.total);
    return p;
}

// One tree's records priced: natively through `store` when there is one, else (or when the
// rules fail: the estimator then reports the failure itself) by the estimator's own report.
Priced price(Estimator &estimator, Store *store, const Records &records, const std::string &root,
             const std::string &display, bool items, const PriceMemo *memo = nullptr) {
    if (store && !records.host) {
        try {
            return price_native(*store, records, root, display, items, memo);
        } catch (const std::exception &) {
        }
    }
    Totals t = estimator.report(records, items);
    Priced p;
    p.total = t.total;
    static const std::vector<std::string> kNoFiles;
    const auto &files = records.host ? kNoFiles : records.files;
    for (size_t i = 0; i < t.resources.size(); ++i) {
        auto &r = t.resources[i];
        std::string file = shown_path(i < files.size() ? files[i] : root, root, display);
        std::string unit = report::unit_of(file);
        p.items.push_back({std::move(file), std::move(unit), std::move(r.type), std::move(r.name), std::move(r.region),
                           std::move(r.basis), "", r.cost});
    }
    return p;
}

std::string tree_doc(const Options &o, const report::Verdict &v, double total, const std::vector<report::Item> &items) {
    return o.markdown ? report::tree_markdown(v, total, items) : report::tree_json(v, total, items);
}

std::string range(const Options &o) { return o.head ? o.base + "..." + *o.head : o.base; }

std::string diff_doc(const Options &o, const report::Verdict &v, bool scanned, double base_total, double new_total,
                     const std::vector<report::Row> &rows, const std::vector<report::Item> &now) {
    return o.markdown ? report::diff_markdown(v, range(o), scanned, base_total, new_total, rows, now)
                      : report::diff_json(v, o.base, scanned, base_total, new_total, rows, now);
}

// Writes the document `make` builds where the options ask (nowhere: it is not built); false
// (after saying why) when the file fails.
template <class Make>
bool emit(const Options &o, const Make &make, Terminal &terminal) {
    if (!o.output && !o.json) return true;
    std::string doc = make();
    if (o.output) {
        std::string tmp = *o.output + ".tmp" + std::to_string(::getpid());
        bool ok;
        {
            std::ofstream f(tmp, std::ios::binary | std::ios::trunc);
            f << doc;
            f.flush();
            ok = f.good();
        }
        if (!ok || std::rename(tmp.c_str(), o.output->c_str()) != 0) {
            int err = errno;
            std::remove(tmp.c_str());
            terminal.warn(line("Cannot write the report to '" + *o.output + "': " + std::strerror(err)));
            return false;
        }
    }
    if (o.json) terminal.document(doc);
    return true;
}

bool wants_items(const Options &o) { return o.breakdown || o.json || o.output; }

}  // namespace

NativeReader::NativeReader(std::vector<std::string> excludes, bool modules)
    : excludes_(std::move(excludes)), modules_(modules) {
    // A value with "/" is a path below the directory: that subtree is skipped.
    for (const auto &e : excludes_)
        if (e.find('/') != std::string::npos)
            if (auto rel = stack::exclude_path(e)) exclude_paths_.push_back(*rel);
}

Records NativeReader::scan(const Tree &tree, const stack::Sink &sink) {
    stack::ScanReaders readers;
    stack::ScanOptions scan;
    scan.modules = modules_;
    scan.modules_from = tree.modules_from;
    scan.copy_root = tree.copy_top;
    scan.real_root = tree.real_top;
    scan.exclude_paths = exclude_paths_;
    Records r;
    if (tree.files) scan.files = &r.files;
    r.values = stack::scan(tree.root, excludes_, readers, sink, scan);
    return r;
}

GitChange::GitChange(std::string directory, std::string base, std::optional<std::string> head,
                     std::vector<std::string> excludes, bool modules)
    : directory_(std::move(directory)), base_(std::move(base)), head_(std::move(head)),
      excludes_(std::move(excludes)), modules_(modules) {}

GitChange::~GitChange() { settle(); }

bool GitChange::any() {
    // With modules, a source elsewhere in the repository counts as well.
    if (!modules_ && !head_)
        if (auto quick = commit::quick_staged_changes(directory_, base_, excludes_)) return *quick;
    repo_ = head_ ? commit::open_range(directory_, base_, *head_) : commit::open(directory_, base_);
    return commit::staged_changes(*repo_, excludes_, modules_);
}

Copies GitChange::copy() {
    if (!repo_) repo_ = commit::open(directory_, base_);
    snap_ = std::make_unique<commit::Snapshot>(*repo_, excludes_, modules_);
    return {snap_->base_root(), snap_->index_root(), snap_->base_top(), snap_->index_top(), repo_->top, directory_,
            snap_->notes()};
}

void GitChange::release() {
    if (snap_ && !remover_.joinable()) remover_ = std::thread([s = std::move(snap_)]() mutable { s.reset(); });
}

void GitChange::settle() {
    if (remover_.joinable()) remover_.join();
    snap_.reset();
}

int ask(bool strict, Terminal &terminal) {
    terminal.say(kSeparator);
    Answer a = terminal.ask(kPrompt);
    if (a.kind == Answer::Kind::Interrupted) {
        terminal.say("\n[Tally-Warden] Commit aborted by user interruption.");
        return 1;
    }
    if (a.kind == Answer::Kind::Line) {
        terminal.say(kSeparator);
        if (a.text == "confirm") {
            terminal.say(line("Commit approved by developer. Proceeding..."));
            return 0;
        }
        terminal.say(line("Commit aborted. (You did not type 'confirm')"));
        return 1;
    }
    terminal.say(line("Input stream is not available or closed."));
    terminal.say(line("Running in non-interactive environment."));
    if (strict) {
        terminal.say(line("Strict mode enabled. Cost threshold exceeded, aborting commit."));
        return 1;
    }
    terminal.say(line("Cost threshold exceeded. Proceeding anyway (non-strict, non-interactive)."));
    return 0;
}

int run(const Options &o, Reader &reader, Estimator &estimator, Terminal &terminal) {
    terminal.say(line("Scanning '" + names::printable(o.shown) + "' for cost changes..."));
    report::Verdict v{o.shown, o.threshold, std::nullopt, false};
    bool items = wants_items(o);
    Tree tree;
    tree.root = o.shown;
    tree.given = true;
    tree.files = items;
    Records records = reader.scan(tree, [&](std::string_view l) { terminal.say(names::printable(l)); });
    if (records.empty()) {
        terminal.say(line("No Terraform/plan resources found. Hook passed."));
        return emit(o, [&] { return tree_doc(o, v, 0.0, {}); }, terminal) ? 0 : 2;
    }
    std::unique_ptr<Store> store;
    if (!records.host) store = estimator.store(records.values.size());
    Priced priced = price(estimator, store.get(), records, tree.root, o.shown, items);
    terminal.say(line("Total projected cost of scanned configurations: $" + report::money(priced.total) + "/month."));
    if (o.breakdown) {
        for (auto &l : report::breakdown_table(priced.items)) terminal.say(l);
        for (auto &l : report::defaults_summary(priced.items)) terminal.say(l);
    }
    v.exceeded = report::over_limit(priced.total, o.threshold);
    if (!emit(o, [&] { return tree_doc(o, v, priced.total, priced.items); }, terminal)) return 2;
    if (!v.exceeded) {
        terminal.say(line("Cost changes are within safety limits. Proceeding..."));
        return 0;
    }
    if (!std::isfinite(priced.total))
        terminal.say(report::not_finite_line("Projected cost ($" + report::money(priced.total) + ")"));
    else
        terminal.say("\n[Tally-Warden WARNING] Projected cost ($" + report::money(priced.total) +
                     ") exceeds the safety threshold of $" + report::money(o.threshold) + "!");
    if (o.json) return 1;
    return ask(o.strict, terminal);
}

int run_diff(const Options &o, Change &change, Reader &reader, Estimator &estimator, Terminal &terminal) {
    std::string shown = names::printable(o.shown);
    if (o.head)
        terminal.say(line("Checking the changes of " + names::printable(*o.head) + " in '" + shown +
                          "' against its merge base with " + names::printable(o.base) + "..."));
    else
        terminal.say(line("Checking the staged changes in '" + shown + "' against " + names::printable(o.base) + "..."));
    report::Verdict v{o.shown, o.threshold, o.max_total, false};

    Records base_records, new_records;
    Copies copies;
    try {
        if (!change.any()) {
            terminal.say(line("No infrastructure files changed under '" + shown + "'. Hook passed."));
            return emit(o, [&] { return diff_doc(o, v, false, 0.0, 0.0, {}, {}); }, terminal) ? 0 : 2;
        }
        copies = change.copy();
        for (const auto &note : copies.notes) terminal.say(line(names::printable(note)));
        // Lines about the staged files name them as the directory does; the base's are not shown.
        stack::Sink staged = [&](std::string_view l) {
            std::string text(l);
            replace_all(text, copies.new_root, o.shown);
            terminal.say(names::printable(text));
        };
        stack::Sink none = [](std::string_view) {};
        // .terraform/modules is not committed: it is read from the working tree.
        base_records = reader.scan({copies.base_root, false, true, copies.real_dir, copies.base_top, copies.real_top}, none);
        new_records = reader.scan({copies.new_root, false, true, copies.real_dir, copies.new_top, copies.real_top}, staged);
        // The copies are removed while the records are priced; always before anything is decided.
        change.release();
    } catch (const commit::GitError &e) {
        terminal.warn(line("Cannot read the staged change: " + names::printable(e.what())));
        return 2;
    }
    std::unique_ptr<Store> store;
    if (!base_records.host && !new_records.host)
        store = estimator.store(base_records.values.size() + new_records.values.size());
    Priced before = price(estimator, store.get(), base_records, copies.base_root, o.shown, true);
    PriceMemo memo = memo_of(base_records, before);
    Priced after = price(estimator, store.get(), new_records, copies.new_root, o.shown, true, &memo);
    auto rows = report::compare(before.items, after.items);
    double increase = pytext::round2(after.total - before.total);

    terminal.say(line("Base total (" + names::printable(range(o)) + "): $" + report::money(before.total) + "/month."));
    terminal.say(line("New total: $" + report::money(after.total) + "/month."));
    terminal.say(line("Change: " + report::signed_money(increase) + "/month."));
    if (o.breakdown)
        for (auto &l : report::breakdown_table(after.items)) terminal.say(l);
    auto table = report::diff_table(rows);
    if (table.empty()) terminal.say(line("No resource changed its cost."));
    for (auto &l : table) terminal.say(l);
    for (auto &l : report::defaults_summary(after.items)) terminal.say(l);

    // Only an increase can stop a commit.
    bool over_increase = increase > 0 && increase > o.threshold;
    bool over_total = increase > 0 && o.max_total && after.total > *o.max_total;
    bool not_finite = !std::isfinite(before.total) || !std::isfinite(after.total) || !std::isfinite(increase);
    v.exceeded = over_increase || over_total || not_finite;
    change.settle();
    if (!emit(o, [&] { return diff_doc(o, v, true, before.total, after.total, rows, after.items); }, terminal)) return 2;
    if (!v.exceeded) {
        terminal.say(line("Cost changes are within safety limits. Proceeding..."));
        return 0;
    }
    if (not_finite)
        terminal.say(report::not_finite_line("The change ($" + report::money(before.total) + " to $" +
                                             report::money(after.total) + ")"));
    else if (over_increase)
        terminal.say("\n[Tally-Warden WARNING] Projected increase ($" + report::money(increase) +
                     ") exceeds the safety threshold of $" + report::money(o.threshold) + "!");
    if (over_total && !not_finite)
        terminal.say("\n[Tally-Warden WARNING] Projected total ($" + report::money(after.total) +
                     ") exceeds the maximum total of $" + report::money(*o.max_total) + "!");
    if (o.json) return 1;
    return ask(o.strict, terminal);
}

}  // namespace tw::gate
