// The commit as git will record it: the staged tree and its base, read through git
// plumbing run as subprocesses, never from the working tree.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace tw::commit {

// git could not be run, or refused (not a repository, an unknown base, ...).
struct GitError : std::runtime_error {
    using std::runtime_error::runtime_error;
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
// ".tf" anywhere, ".json"/".yaml"/".yml" outside excluded directories.
bool relevant(std::string_view rel, const std::vector<std::string> &exclude_patterns);

// Whether any relevant file under the scan directory differs between the index and the
// base tree (added, changed or deleted).
bool staged_changes(const Repo &repo, const std::vector<std::string> &exclude_patterns);

// The same answer from one git process run in the scan directory itself; nothing when
// that cannot tell (an unknown base, no commit yet, GIT_DIR set, ...).
std::optional<bool> quick_staged_changes(const std::string &directory, const std::string &base,
                                         const std::vector<std::string> &exclude_patterns);

// A private temporary directory holding the relevant files of the base tree and of the
// index, written from git's object store; removed with the object.
class Snapshot {
public:
    Snapshot(const Repo &repo, const std::vector<std::string> &exclude_patterns);
    ~Snapshot();
    Snapshot(const Snapshot &) = delete;
    Snapshot &operator=(const Snapshot &) = delete;

    // Where each tree's copy of the scan directory lies (a file path when the scan
    // directory is a file).
    const std::string &base_root() const { return base_root_; }
    const std::string &index_root() const { return index_root_; }
    // Removes the temporary directory now (idempotent).
    void remove();

private:
    std::string dir_, base_root_, index_root_;
};

// Removes a directory tree (no symlinks are followed).
void remove_tree(const std::string &path);

}  // namespace tw::commit
