// The hook's flow with fake collaborators: what it prints, asks and decides.
#include <cstdio>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/gate/gate.h"

namespace {

using namespace tw;
using gate::Answer;

const std::string P = "[Tally-Warden] ";
const std::string SEP(70, '-');
const std::string PROMPT = P + "High-cost change detected. Type 'confirm' to proceed: ";

Value eks(const char *name) { return stack::make_record(Value("aws"), Value("aws_eks_cluster"), Value(name), Map{}); }

// Records by root; each prints one line naming its first file.
struct FakeReader : gate::Reader {
    std::map<std::string, std::vector<Value>> trees;
    gate::Records scan(const gate::Tree &tree, const stack::Sink &sink) override {
        sink("Error reading file " + tree.root + "/bad.tf: boom");
        gate::Records r;
        r.values = trees[tree.root];
        if (tree.files) r.files.assign(r.values.size(), tree.root + "/main.tf");
        return r;
    }
};

// Every lookup finds the same hourly price; or fails, like a store whose rows are unreadable.
struct FakeStore : gate::Store {
    double hourly = 1.0;
    bool fail = false;
    int *lookups = nullptr;
    reckon::Rates rate(std::string_view, std::string_view, std::string_view, std::string_view) override {
        if (lookups) ++*lookups;
        if (fail) throw std::runtime_error("unreadable row");
        reckon::Rates r;
        r.found = true;
        r.value[0] = hourly;
        r.present[0] = true;
        return r;
    }
};

struct FakeEstimator : gate::Estimator {
    bool has_store = true, store_fails = false;
    double reported = 7.5;
    int stores = 0, reports = 0, lookups = 0;
    std::unique_ptr<gate::Store> store(size_t) override {
        ++stores;
        if (!has_store) return nullptr;
        auto s = std::make_unique<FakeStore>();
        s->fail = store_fails;
        s->lookups = &lookups;
        return s;
    }
    gate::Totals report(const gate::Records &, bool) override {
        ++reports;
        return {reported, {}};
    }
};

struct FakeTerminal : gate::Terminal {
    Answer answer;
    std::vector<std::string> lines, warnings, documents;
    int asked = 0;
    void say(const std::string &line) override { lines.push_back(line); }
    void warn(const std::string &line) override { warnings.push_back(line); }
    Answer ask(const std::string &prompt) override {
        ++asked;
        lines.push_back("ASK " + prompt);
        return answer;
    }
    void document(const std::string &doc) override { documents.push_back(doc); }
};

struct FakeChange : gate::Change {
    bool changed = true, git_fails = false, copied = false;
    std::vector<std::string> events;
    bool any() override {
        if (git_fails) throw commit::GitError("not a git repository");
        return changed;
    }
    gate::Copies copy() override {
        copied = true;
        return {"/tmp/copy/base/dir", "/tmp/copy/index/dir", "/tmp/copy/base", "/tmp/copy/index", "/repo", "/repo/dir"};
    }
    void release() override { events.push_back("release"); }
    void settle() override { events.push_back("settle"); }
};

std::string joined(const std::vector<std::string> &lines) {
    std::string s;
    for (const auto &l : lines) s += l + "\n";
    return s;
}

// One tree, "dir", holding `records`, with the fakes and options for one plain run.
struct Rig {
    FakeReader reader;
    FakeEstimator estimator;
    FakeTerminal terminal;
    gate::Options o;
    explicit Rig(std::vector<Value> records) {
        reader.trees["dir"] = std::move(records);
        o.shown = "dir";
    }
    int run() { return gate::run(o, reader, estimator, terminal); }
};

}  // namespace

std::pair<int, int> test_gate() {
    int passed = 0, failed = 0;
    auto expect = [&](bool ok, const std::string &what, const std::vector<std::string> &lines = {}) {
        if (ok) ++passed;
        else {
            ++failed;
            std::printf("FAIL gate: %s\n%s", what.c_str(), joined(lines).c_str());
        }
    };
    const std::string scanning = P + "Scanning 'dir' for cost changes...";
    const std::string bad_file = "Error reading file dir/bad.tf: boom";
    const std::string warning = "\n[Tally-Warden WARNING] Projected cost ($730.00) exceeds the safety threshold of $100.00!";

    // One tree: the answer (or its absence) decides a total over the threshold.
    struct AnswerCase {
        const char *what;
        Answer answer;
        bool strict;
        int status;
        std::vector<std::string> tail;
    };
    const std::string approved = P + "Commit approved by developer. Proceeding...";
    const std::string refused = P + "Commit aborted. (You did not type 'confirm')";
    const std::vector<std::string> no_input = {P + "Input stream is not available or closed.",
                                               P + "Running in non-interactive environment."};
    std::vector<AnswerCase> answers = {
        {"confirm", {Answer::Kind::Line, "confirm"}, false, 0, {SEP, approved}},
        {"another word", {Answer::Kind::Line, "confirmed"}, true, 1, {SEP, refused}},
        {"empty line", {Answer::Kind::Line, ""}, false, 1, {SEP, refused}},
        {"interrupt", {Answer::Kind::Interrupted, ""}, false, 1, {"\n" + P + "Commit aborted by user interruption."}},
        {"no input", {Answer::Kind::NoInput, ""}, false, 0,
         {no_input[0], no_input[1], P + "Cost threshold exceeded. Proceeding anyway (non-strict, non-interactive)."}},
        {"no input, strict", {Answer::Kind::NoInput, ""}, true, 1,
         {no_input[0], no_input[1], P + "Strict mode enabled. Cost threshold exceeded, aborting commit."}},
    };
    for (const auto &c : answers) {
        Rig r({eks("k")});
        auto &terminal = r.terminal;
        terminal.answer = c.answer;
        r.o.strict = c.strict;
        int status = r.run();
        std::vector<std::string> want = {scanning, bad_file,
                                         P + "Total projected cost of scanned configurations: $730.00/month.", warning,
                                         SEP, "ASK " + PROMPT};
        want.insert(want.end(), c.tail.begin(), c.tail.end());
        expect(status == c.status && terminal.lines == want, std::string("answer: ") + c.what, terminal.lines);
    }

    // One tree within the limits, or with nothing found, or priced by the estimator's own report.
    struct TreeCase {
        const char *what;
        std::vector<Value> records;
        double threshold;
        bool has_store, store_fails;
        std::string total;  // "" when nothing is priced
        int reports;
    };
    std::vector<TreeCase> trees = {
        {"equal to the threshold", {eks("k")}, 730.0, true, false, "730.00", 0},
        {"no store: the estimator's report", {eks("k")}, 10.0, false, false, "7.50", 1},
        {"failing store: the estimator's report", {eks("k"), eks("l")}, 10.0, true, true, "7.50", 1},
        {"nothing found", {}, 0.0, true, false, "", 0},
    };
    for (const auto &c : trees) {
        Rig r(c.records);
        auto &estimator = r.estimator;
        auto &terminal = r.terminal;
        estimator.has_store = c.has_store;
        estimator.store_fails = c.store_fails;
        r.o.threshold = c.threshold;
        int status = r.run();
        std::vector<std::string> want = {scanning, bad_file};
        if (c.total.empty()) want.push_back(P + "No Terraform/plan resources found. Hook passed.");
        else {
            want.push_back(P + "Total projected cost of scanned configurations: $" + c.total + "/month.");
            want.push_back(P + "Cost changes are within safety limits. Proceeding...");
        }
        bool asked_estimator = !c.total.empty();
        expect(status == 0 && terminal.lines == want && terminal.asked == 0 && estimator.reports == c.reports &&
                   (estimator.stores > 0) == asked_estimator,
               std::string("tree: ") + c.what, terminal.lines);
    }

    // A document owns standard output: it is handed over once and nothing is asked.
    {
        Rig r({eks("k")});
        auto &terminal = r.terminal;
        r.o.json = true;
        int status = r.run();
        expect(status == 1 && terminal.asked == 0 && terminal.documents.size() == 1 &&
                   terminal.documents[0].find("\"exceeded\": true") != std::string::npos &&
                   terminal.documents[0].find("aws_eks_cluster") != std::string::npos,
               "json document over the threshold", terminal.documents);
    }

    // The change of a commit: only an increase over the threshold asks; unchanged records
    // are priced once.
    struct DiffCase {
        const char *what;
        std::vector<Value> base, now;
        std::optional<double> max_total;
        int status;
        std::vector<std::string> totals;  // base, new, change
        std::string verdict;
    };
    std::vector<DiffCase> diffs = {
        {"an increase over the threshold", {eks("a")}, {eks("a"), eks("b")}, std::nullopt, 0,
         {"$730.00", "$1460.00", "+$730.00"},
         "\n[Tally-Warden WARNING] Projected increase ($730.00) exceeds the safety threshold of $100.00!"},
        {"a decrease", {eks("a"), eks("b")}, {eks("a")}, std::nullopt, 0, {"$1460.00", "$730.00", "-$730.00"},
         P + "Cost changes are within safety limits. Proceeding..."},
        {"a total over the maximum", {eks("a")}, {eks("a"), eks("b")}, 1000.0, 0, {"$730.00", "$1460.00", "+$730.00"},
         "\n[Tally-Warden WARNING] Projected total ($1460.00) exceeds the maximum total of $1000.00!"},
    };
    int lookups_of_one = 0;
    {
        Rig r({eks("a")});
        r.o.threshold = 1e9;
        r.run();
        lookups_of_one = r.estimator.lookups;
    }
    for (const auto &c : diffs) {
        FakeReader reader;
        reader.trees["/tmp/copy/base/dir"] = c.base;
        reader.trees["/tmp/copy/index/dir"] = c.now;
        FakeEstimator estimator;
        FakeTerminal terminal;
        terminal.answer = {Answer::Kind::Line, "confirm"};
        FakeChange change;
        gate::Options o;
        o.shown = "dir";
        o.max_total = c.max_total;
        if (c.max_total) o.threshold = 1e9;
        int status = gate::run_diff(o, change, reader, estimator, terminal);
        std::string out = joined(terminal.lines);
        bool ok = status == c.status && terminal.lines.size() > 5 &&
                  terminal.lines[0] == P + "Checking the staged changes in 'dir' against HEAD..." &&
                  terminal.lines[1] == bad_file &&  // the staged copy's line, named as the directory does
                  out.find("/tmp/copy") == std::string::npos &&
                  out.find(P + "Base total (HEAD): " + c.totals[0] + "/month.\n" + P + "New total: " + c.totals[1] +
                           "/month.\n" + P + "Change: " + c.totals[2] + "/month.\n") != std::string::npos &&
                  out.find(c.verdict + "\n") != std::string::npos &&
                  change.events == std::vector<std::string>{"release", "settle"} &&
                  lookups_of_one > 0 && estimator.lookups == lookups_of_one * 2;
        expect(ok, std::string("diff: ") + c.what, terminal.lines);
        expect((terminal.asked == 1) == (c.verdict.find("WARNING") != std::string::npos),
               std::string("diff asks only over the limits: ") + c.what, terminal.lines);
    }

    // Nothing relevant changed, or git cannot tell: no copies, no scan.
    {
        FakeReader reader;
        FakeEstimator estimator;
        FakeTerminal terminal;
        FakeChange change;
        change.changed = false;
        gate::Options o;
        o.shown = "dir";
        int status = gate::run_diff(o, change, reader, estimator, terminal);
        expect(status == 0 && !change.copied && terminal.lines.size() == 2 &&
                   terminal.lines[1] == P + "No infrastructure files changed under 'dir'. Hook passed." &&
                   estimator.stores == 0,
               "diff: nothing changed", terminal.lines);

        FakeTerminal failed_terminal;
        FakeChange broken;
        broken.git_fails = true;
        status = gate::run_diff(o, broken, reader, estimator, failed_terminal);
        expect(status == 2 && !broken.copied &&
                   failed_terminal.warnings ==
                       std::vector<std::string>{P + "Cannot read the staged change: not a git repository"},
               "diff: git fails", failed_terminal.warnings);
    }
    return {passed, failed};
}
