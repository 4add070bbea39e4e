// The commit as git will record it: the staged tree and its base, read through git
// plumbing run as subprocesses, never from the working tree.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace tw::commit {

// git could not be run, or refused (not a repository, an unknown base, ...).
struct GitError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Ctrl-C while git ran: git died of SIGINT, or the interrupt check said so.
struct Interrupted : std::runtime_error {
    Interrupted() : std::runtime_error("interrupted") {}
};

// The host's test for a pending interrupt, called when a wait for git is interrupted by a
// signal; while it returns true, git is stopped and Interrupted raised.
void set_interrupt_check(bool (*check)());

// No space left where the temporary copy was being written (ENOSPC, EDQUOT).
struct NoSpace : GitError {
    using GitError::GitError;
};

// A scan directory inside its repository.
struct Repo {
    std::string top;        // the repository's top level
    std::string prefix;     // the scan directory relative to `top` ("" at the top level)
    std::string base;       // the base revision as given
    std::string base_tree;  // its tree (the empty tree before the first commit)
    std::string head_tree;  // with a head revision: its tree, which takes the index's place
};

// Locates `directory` in its repository and resolves `base` to a tree. Runs git in the
// current directory with the process environment (GIT_INDEX_FILE and GIT_DIR included).
Repo open(const std::string &directory, const std::string &base);
// The change a branch brings, as `git diff base...head`: the tree of `head` against the
// tree of the merge base of `base` and `head`.
Repo open_range(const std::string &directory, const std::string &base, const std::string &head);

// Whether a path (relative to the scan directory) is one the directory scan reads:
// ".tf" and Terraform's variable files anywhere, ".json"/".yaml"/".yml" outside excluded
// directories.
bool relevant(std::string_view rel, const std::vector<std::string> &exclude_patterns);

// Whether any relevant file under the scan directory (with `repo_tf`, or any .tf file of
// the repository) differs between the index and the base tree (added, changed or deleted).
bool staged_changes(const Repo &repo, const std::vector<std::string> &exclude_patterns, bool repo_tf = false);

// The same answer from one git process run in the scan directory itself; nothing when
// that cannot tell (an unknown base, no commit yet, GIT_DIR set, ...).
std::optional<bool> quick_staged_changes(const std::string &directory, const std::string &base,
                                         const std::vector<std::string> &exclude_patterns);

// One record of `git ls-files -s -z` (mode, blob, stage) or `git ls-tree -r -z` (mode, type,
// object), and its path; records of another shape are left out.
struct Listed {
    std::array<std::string_view, 3> meta;
    std::string_view path;
};
std::vector<Listed> parse_listing(std::string_view listing);

// Whether a path git hands back is safe to recreate under a private directory: relative,
// with no empty, "." or ".." component.
bool safe_path(std::string_view path);

// Reads `git cat-file --batch` output fed in chunks of any size: the i-th object answered
// is order[i], written to every path targets[order[i]] lists (a missing object or one that
// is not a blob writes nothing). GitError on output of another shape, NoSpace when the
// files would take more than `capacity` bytes or the disk is full.
class BatchReader {
public:
    BatchReader(std::vector<std::string> order, std::unordered_map<std::string, std::vector<std::string>> targets,
                uint64_t capacity = UINT64_MAX);
    ~BatchReader();
    BatchReader(const BatchReader &) = delete;
    BatchReader &operator=(const BatchReader &) = delete;
    void feed(std::string_view data);
    // Throws GitError when the output ended inside an object.
    void finish();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// A directory that may hold temporary copies.
struct TempPlace {
    std::string dir;
    uint64_t capacity = UINT64_MAX;  // bytes of file content it may take (a smaller disk, for tests)
};

// Where copies are made, in order: $TMPDIR or else /dev/shm, then /tmp.
std::vector<TempPlace> temp_places();

// Whether a directory entry is a copy whose owner is gone: named
// "tally-warden-<pid namespace>-<pid>-<start time>-<random>" by a process of this pid
// namespace that no longer runs (its pid is free or taken by a process started later).
bool owner_gone(std::string_view name);
// Removes the copies under `parent` that are this user's and whose owner is gone.
void sweep_stale(const std::string &parent);

// A private temporary directory holding the relevant files of the base tree and of the
// index, written from git's object store; removed with the object. It is made in the first
// of `places` (default temp_places()) with room for it; stale copies there are removed first.
// With `repo_tf`, the .tf files of the whole repository are copied too (module sources the
// scan directory calls from elsewhere in the repository).
class Snapshot {
public:
    Snapshot(const Repo &repo, const std::vector<std::string> &exclude_patterns, bool repo_tf = false,
             const std::vector<TempPlace> &places = {});
    ~Snapshot();
    Snapshot(const Snapshot &) = delete;
    Snapshot &operator=(const Snapshot &) = delete;

    // Where each tree's copy of the scan directory lies (a file path when the scan
    // directory is a file).
    const std::string &base_root() const { return base_root_; }
    const std::string &index_root() const { return index_root_; }
    // Where each tree's copy of the repository's top level lies.
    std::string base_top() const { return dir_ + "/base"; }
    std::string index_top() const { return dir_ + "/index"; }
    // Removes the temporary directory now (idempotent).
    void remove();
    // One line for each place that was full, naming where the copy went instead.
    const std::vector<std::string> &notes() const { return notes_; }

private:
    void build(const Repo &repo, const std::vector<std::string> &exclude_patterns, bool repo_tf,
               const TempPlace &place);
    std::string dir_, base_root_, index_root_;
    std::vector<std::string> notes_;
};

// Removes a directory tree (no symlinks are followed).
void remove_tree(const std::string &path);

}  // namespace tw::commit
