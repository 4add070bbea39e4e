// Reading the index and the base tree through git plumbing.
#include "core/commit/commit.h"

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <limits.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iterator>
#include <optional>
#include <set>
#include <unordered_map>

#include "core/fsutil.h"
#include "core/stackreader/reader.h"

extern char **environ;


namespace tw::commit {

namespace {

using Chunk = std::function<void(std::string_view)>;

bool (*g_interrupt_check)() = nullptr;

struct Fd {
    int fd = -1;
    explicit Fd(int f = -1) : fd(f) {}
    ~Fd() { reset(); }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    void reset(int f = -1) {
        if (fd >= 0) ::close(fd);
        fd = f;
    }
};

std::string cwd() {
    char buf[PATH_MAX];
    return ::getcwd(buf, sizeof buf) ? std::string(buf) : std::string(".");
}

// The process environment, with git's relative path variables made absolute so that git
// finds the same index and repository from another directory.
std::vector<std::string> git_environment() {
    static const char *const kPathVars[] = {"GIT_INDEX_FILE=", "GIT_DIR=", "GIT_WORK_TREE=",
                                            "GIT_OBJECT_DIRECTORY=", "GIT_COMMON_DIR="};
    std::vector<std::string> env;
    std::string here;
    for (char **e = environ; e && *e; ++e) {
        std::string item(*e);
        for (const char *var : kPathVars) {
            size_t n = std::strlen(var);
            if (item.compare(0, n, var) == 0 && item.size() > n && item[n] != '/') {
                if (here.empty()) here = cwd();
                item = std::string(var) + here + "/" + item.substr(n);
            }
        }
        env.push_back(std::move(item));
    }
    return env;
}

// Runs git with `args`; its standard output goes to `out` in chunks, standard input comes
// from `in_fd` (or /dev/null). Returns the exit status; `err` receives standard error.
int run_git(const std::vector<std::string> &args, int in_fd, const Chunk &out, std::string &err) {
    int op[2], ep[2];
    if (::pipe2(op, O_CLOEXEC) != 0) throw GitError(std::string("cannot run git: ") + std::strerror(errno));
    Fd out_r(op[0]), out_w(op[1]);
    if (::pipe2(ep, O_CLOEXEC) != 0) throw GitError(std::string("cannot run git: ") + std::strerror(errno));
    Fd err_r(ep[0]), err_w(ep[1]);

    std::vector<std::string> argv_s{"git"};
    argv_s.insert(argv_s.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (auto &a : argv_s) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> env_s = git_environment();
    std::vector<char *> envp;
    for (auto &e : env_s) envp.push_back(e.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    if (in_fd >= 0) posix_spawn_file_actions_adddup2(&fa, in_fd, 0);
    else posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&fa, out_w.fd, 1);
    posix_spawn_file_actions_adddup2(&fa, err_w.fd, 2);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);  // the host ignores it; git should not
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF);
    pid_t pid;
    int rc = ::posix_spawnp(&pid, "git", &fa, &attr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&fa);
    posix_spawnattr_destroy(&attr);
    if (rc != 0) throw GitError(std::string("cannot run git: ") + std::strerror(rc));
    out_w.reset();
    err_w.reset();

    char buf[65536];
    bool out_open = true, err_open = true, stopped = false;
    std::exception_ptr failure;
    while (out_open || err_open) {
        pollfd fds[2] = {{out_open ? out_r.fd : -1, POLLIN, 0}, {err_open ? err_r.fd : -1, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno != EINTR) break;
            if (!stopped && g_interrupt_check && g_interrupt_check()) {
                stopped = true;
                ::kill(pid, SIGTERM);  // then drain what it wrote until it is gone
            }
            continue;
        }
        for (int i = 0; i < 2; ++i) {
            if (!fds[i].revents) continue;
            ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                (i == 0 ? out_open : err_open) = false;
                continue;
            }
            if (i == 1) {
                if (err.size() < 65536) err.append(buf, size_t(n));
            } else if (!failure) {
                try {
                    out(std::string_view(buf, size_t(n)));
                } catch (...) {
                    failure = std::current_exception();  // drain git's output, then report
                }
            }
        }
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (stopped || (WIFSIGNALED(status) && WTERMSIG(status) == SIGINT)) throw Interrupted();
    if (failure) std::rethrow_exception(failure);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

std::string first_line(std::string_view s) {
    size_t nl = s.find('\n');
    std::string line(s.substr(0, nl));
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
    return line;
}

// git's standard output; a non-zero exit raises GitError with git's own message.
std::string git(const std::vector<std::string> &args, int *status = nullptr) {
    std::string out, err;
    int rc = run_git(args, -1, [&](std::string_view c) { out.append(c); }, err);
    if (status) *status = rc;
    else if (rc != 0) {
        std::string msg = first_line(err);
        if (msg.starts_with("fatal: ")) msg = msg.substr(7);
        throw GitError(msg.empty() ? "git " + args[2] + " failed" : msg);
    }
    return out;
}

std::vector<std::string_view> split(std::string_view s, char sep) {
    std::vector<std::string_view> parts;
    while (!s.empty()) {
        size_t i = s.find(sep);
        parts.push_back(s.substr(0, i));
        if (i == std::string_view::npos) break;
        s.remove_prefix(i + 1);
    }
    return parts;
}

// The pathspec of the scan directory, for commands run at the top level.
std::vector<std::string> pathspec(const Repo &repo) {
    if (repo.prefix.empty()) return {};
    return {"--", ":(literal)" + repo.prefix};
}

// The path below the scan directory, or nothing when `path` is not under it.
std::optional<std::string_view> below(const Repo &repo, std::string_view path, bool prefix_is_file) {
    if (repo.prefix.empty()) return path;
    if (prefix_is_file) {
        if (path != repo.prefix) return std::nullopt;
        size_t slash = path.rfind('/');
        return slash == std::string_view::npos ? path : path.substr(slash + 1);
    }
    if (path.size() <= repo.prefix.size() || !path.starts_with(repo.prefix) || path[repo.prefix.size()] != '/')
        return std::nullopt;
    return path.substr(repo.prefix.size() + 1);
}


// A failure to write under the temporary directory; a full disk raises NoSpace.
[[noreturn]] void write_failed(const char *what, const std::string &path, int err) {
    std::string msg = std::string(what) + " " + path + ": " + std::strerror(err);
    if (err == ENOSPC || err == EDQUOT) throw NoSpace(msg);
    throw GitError(msg);
}

void make_dirs(const std::string &path, std::set<std::string> &made) {
    if (path.empty() || made.count(path)) return;
    make_dirs(fs::dirname(path), made);
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) write_failed("cannot create", path, errno);
    made.insert(path);
}

// One tree entry to write: the blob and where its copy goes.
struct Entry {
    std::string sha;
    std::string target;
};

// Parses `git cat-file --batch` output, writing each blob to its targets.
class BlobWriter {
public:
    BlobWriter(std::vector<std::string> order, std::unordered_map<std::string, std::vector<std::string>> targets,
               uint64_t capacity)
        : order_(std::move(order)), targets_(std::move(targets)), capacity_(capacity) {}

    void feed(std::string_view data) {
        while (!data.empty()) {
            if (state_ == State::Header) {
                size_t nl = data.find('\n');
                header_.append(data.substr(0, nl));
                if (header_.size() > kMaxHeader) throw GitError("unexpected output of git cat-file");
                if (nl == std::string_view::npos) return;
                data.remove_prefix(nl + 1);
                start_blob();
            } else if (state_ == State::Body) {
                size_t n = size_t(std::min<uint64_t>(remaining_, data.size()));
                write_all(data.substr(0, n));
                remaining_ -= n;
                data.remove_prefix(n);
                if (remaining_ == 0) state_ = State::Newline;
            } else {
                if (data.front() != '\n') throw GitError("unexpected output of git cat-file");
                data.remove_prefix(1);  // the line feed after each object
                finish_blob();
                state_ = State::Header;
            }
        }
    }

    void finish() {
        if (state_ != State::Header || !header_.empty()) throw GitError("git cat-file ended early");
    }

private:
    enum class State { Header, Body, Newline };
    static constexpr size_t kMaxHeader = 4096;

    // "<object> <type> <size>" and the object's bytes, or "<object> missing" (and the like) alone.
    void start_blob() {
        std::string header = std::move(header_);
        header_.clear();
        auto parts = split(header, ' ');
        if (next_ >= order_.size()) throw GitError("unexpected output of git cat-file");
        current_ = &targets_[order_[next_++]];
        if (parts.size() != 3) {
            current_ = nullptr;  // no such object: nothing follows, nothing to write
            return;
        }
        std::string_view size = parts[2];
        if (size.empty() || size.size() > 18 || size.find_first_not_of("0123456789") != std::string_view::npos)
            throw GitError("unexpected output of git cat-file");
        remaining_ = std::strtoull(std::string(size).c_str(), nullptr, 10);
        if (parts[1] != "blob" || current_->empty()) current_ = nullptr;  // read past it
        if (current_) {
            out_.reset(::open(current_->front().c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
            if (out_.fd < 0) write_failed("cannot write", current_->front(), errno);
        }
        state_ = remaining_ ? State::Body : State::Newline;
    }

    void write_all(std::string_view data) {
        if (!current_) return;
        if (data.size() > capacity_) write_failed("cannot write", current_->front(), ENOSPC);
        capacity_ -= data.size();
        while (!data.empty()) {
            ssize_t n = ::write(out_.fd, data.data(), data.size());
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) write_failed("cannot write", current_->front(), n < 0 ? errno : ENOSPC);
            data.remove_prefix(size_t(n));
        }
    }

    void finish_blob() {
        if (!current_) return;
        if (::close(out_.fd) != 0) {
            out_.fd = -1;
            write_failed("cannot write", current_->front(), errno);
        }
        out_.fd = -1;
        const auto &paths = *current_;
        for (size_t i = 1; i < paths.size(); ++i) {
            if (::link(paths[0].c_str(), paths[i].c_str()) == 0) continue;
            std::string bytes, error;
            if (!fs::read_bytes(paths[0], bytes, error)) throw GitError(error);
            out_.reset(::open(paths[i].c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
            if (out_.fd < 0) write_failed("cannot write", paths[i], errno);
            write_all(bytes);
            out_.reset();
        }
    }

    std::vector<std::string> order_;
    std::unordered_map<std::string, std::vector<std::string>> targets_;
    size_t next_ = 0;
    std::vector<std::string> *current_ = nullptr;
    State state_ = State::Header;
    std::string header_;
    uint64_t remaining_ = 0;
    uint64_t capacity_;
    Fd out_;
};

// Removal of the temporary directory when SIGTERM, SIGHUP or SIGQUIT ends the process: the
// handler starts `rm -rf` on it (fork and execve are safe in a handler), then dies of the
// signal. A copy left by SIGKILL is removed by a later run (sweep_stale).
char g_rm_path[PATH_MAX];
char g_rm_0[] = "rm", g_rm_1[] = "-rf", g_rm_2[] = "--";
char *g_rm_argv[] = {g_rm_0, g_rm_1, g_rm_2, g_rm_path, nullptr};
constexpr int kCleanupSignals[] = {SIGTERM, SIGHUP, SIGQUIT};
constexpr size_t kSignals = std::size(kCleanupSignals);
struct sigaction g_previous[kSignals];
bool g_installed[kSignals] = {};

void remove_on_signal(int sig) {
    if (::fork() == 0) {
        char *envp[] = {nullptr};
        ::execve("/bin/rm", g_rm_argv, envp);
        ::_exit(127);
    }
    ::signal(sig, SIG_DFL);
    ::raise(sig);
}

// Installed only over the default action, so a host's own handlers stay in charge.
void install_cleanup(const std::string &dir) {
    if (dir.size() >= sizeof g_rm_path) return;
    std::memcpy(g_rm_path, dir.c_str(), dir.size() + 1);
    for (size_t i = 0; i < kSignals; ++i) {
        struct sigaction now;
        if (::sigaction(kCleanupSignals[i], nullptr, &now) != 0 || now.sa_handler != SIG_DFL) continue;
        struct sigaction sa;
        std::memset(&sa, 0, sizeof sa);
        sa.sa_handler = remove_on_signal;
        sigemptyset(&sa.sa_mask);
        g_installed[i] = ::sigaction(kCleanupSignals[i], &sa, &g_previous[i]) == 0;
    }
}

void uninstall_cleanup() {
    for (size_t i = 0; i < kSignals; ++i)
        if (g_installed[i]) {
            ::sigaction(kCleanupSignals[i], &g_previous[i], nullptr);
            g_installed[i] = false;
        }
}

constexpr std::string_view kTempPrefix = "tally-warden-";

// The start time of a process (clock ticks after boot, /proc/PID/stat field 22); "0" when unknown.
std::string start_time(pid_t pid) {
    std::string stat, error;
    if (!fs::read_bytes("/proc/" + std::to_string(pid) + "/stat", stat, error)) return "0";
    size_t close = stat.rfind(')');
    if (close == std::string::npos) return "0";
    auto fields = split(std::string_view(stat).substr(close + 2), ' ');  // from field 3, the state
    if (fields.size() < 20 || fields[19].empty() || fields[19].find_first_not_of("0123456789") != std::string_view::npos)
        return "0";
    return std::string(fields[19]);
}

// The inode of this process's pid namespace; "0" when unknown.
std::string pid_namespace() {
    char buf[64];
    ssize_t n = ::readlink("/proc/self/ns/pid", buf, sizeof buf - 1);
    if (n <= 0) return "0";
    std::string link(buf, size_t(n));  // "pid:[4026531836]"
    size_t open = link.find('['), close = link.find(']');
    if (open == std::string::npos || close == std::string::npos || close <= open + 1) return "0";
    return link.substr(open + 1, close - open - 1);
}

// What names the owner of a copy: "<pid namespace>-<pid>-<start time>".
std::string owner_tag() {
    pid_t pid = ::getpid();
    return pid_namespace() + "-" + std::to_string(pid) + "-" + start_time(pid);
}

}  // namespace

std::vector<TempPlace> temp_places() {
    // $TMPDIR, else memory-backed /dev/shm where there is one (directory operations on a busy
    // disk cost milliseconds each, and a tree holds thousands); /tmp when that one is full.
    std::vector<TempPlace> places;
    const char *tmp = std::getenv("TMPDIR");
    struct stat st;
    if (tmp && *tmp) places.push_back({tmp});
    else if (::stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode) && ::access("/dev/shm", W_OK | X_OK) == 0)
        places.push_back({"/dev/shm"});
    if (places.empty() || places.front().dir != "/tmp") places.push_back({"/tmp"});
    return places;
}

bool owner_gone(std::string_view name) {
    if (!name.starts_with(kTempPrefix)) return false;
    auto parts = split(name.substr(kTempPrefix.size()), '-');  // namespace, pid, start, random
    if (parts.size() != 4) return false;  // an older name: its owner cannot be told
    auto number = [](std::string_view t) {
        return !t.empty() && t.size() <= 20 && t.find_first_not_of("0123456789") == std::string_view::npos;
    };
    if (!number(parts[0]) || !number(parts[1]) || !number(parts[2])) return false;
    // Another pid namespace (another container sharing the directory) is not ours to judge.
    if (parts[0] == "0" || parts[0] != pid_namespace()) return false;
    unsigned long long pid = std::strtoull(std::string(parts[1]).c_str(), nullptr, 10);
    if (pid == 0 || pid > 0x7fffffff || pid_t(pid) == ::getpid()) return false;
    if (::kill(pid_t(pid), 0) != 0) return errno == ESRCH;
    // The pid is in use: by the owner, unless it started at another time (a reused pid).
    std::string now = start_time(pid_t(pid));
    return parts[2] != "0" && now != "0" && now != parts[2];
}

void sweep_stale(const std::string &parent) {
    DIR *d = ::opendir(parent.c_str());
    if (!d) return;
    std::vector<std::string> stale;
    while (struct dirent *e = ::readdir(d)) {
        std::string_view name = e->d_name;
        if (!owner_gone(name)) continue;
        std::string path = parent + "/" + std::string(name);
        struct stat st;
        // Only this user's own directories, never a symlink planted in their place.
        if (::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid())
            stale.push_back(std::move(path));
    }
    ::closedir(d);
    for (const auto &path : stale) remove_tree(path);
}

void set_interrupt_check(bool (*check)()) { g_interrupt_check = check; }

std::vector<Listed> parse_listing(std::string_view listing) {
    std::vector<Listed> out;
    for (auto rec : split(listing, '\0')) {
        size_t tab = rec.find('\t');
        if (tab == std::string_view::npos) continue;
        auto meta = split(rec.substr(0, tab), ' ');
        if (meta.size() == 3) out.push_back({{meta[0], meta[1], meta[2]}, rec.substr(tab + 1)});
    }
    return out;
}

bool safe_path(std::string_view p) {
    if (p.empty() || p.front() == '/' || p.back() == '/') return false;  // split() drops a last empty part
    for (auto part : split(p, '/'))
        if (part.empty() || part == "." || part == "..") return false;
    return true;
}

struct BatchReader::Impl : BlobWriter {
    using BlobWriter::BlobWriter;
};

BatchReader::BatchReader(std::vector<std::string> order,
                         std::unordered_map<std::string, std::vector<std::string>> targets, uint64_t capacity)
    : impl_(std::make_unique<Impl>(std::move(order), std::move(targets), capacity)) {}
BatchReader::~BatchReader() = default;
void BatchReader::feed(std::string_view data) { impl_->feed(data); }
void BatchReader::finish() { impl_->finish(); }

Repo open(const std::string &directory, const std::string &base) {
    if (base.empty() || base.front() == '-') throw GitError("invalid base revision '" + base + "'");
    char resolved[PATH_MAX];
    if (!::realpath(directory.c_str(), resolved)) throw GitError("cannot find '" + directory + "'");
    std::string abs(resolved);
    bool is_file = !fs::is_dir(abs);
    std::string where = is_file ? fs::dirname(abs) : abs;
    if (where.empty()) where = "/";

    // With GIT_DIR set, git takes the current directory for the top of the work tree, as in
    // the hook git starts: ask there. Otherwise ask where the scan directory is.
    if (const char *gd = std::getenv("GIT_DIR"); gd && *gd) where = ".";
    Repo repo;
    repo.base = base;
    int rc = 0;
    std::string out = git({"-C", where, "rev-parse", "--show-toplevel", base + "^{tree}", "--"}, &rc);
    if (rc != 0) out = git({"-C", where, "rev-parse", "--show-toplevel"});
    auto lines = split(out, '\n');
    if (lines.empty() || lines[0].empty()) throw GitError("'" + directory + "' is not in a git work tree");
    repo.top = std::string(lines[0]);
    char top_real[PATH_MAX];
    std::string top = ::realpath(repo.top.c_str(), top_real) ? std::string(top_real) : repo.top;
    if (abs == top) repo.prefix = "";
    else if (top == "/" || (abs.size() > top.size() && abs.starts_with(top) && abs[top.size()] == '/'))
        repo.prefix = abs.substr(top == "/" ? 1 : top.size() + 1);
    else throw GitError("'" + directory + "' is outside the repository at " + repo.top);
    if (rc == 0 && lines.size() >= 2 && !lines[1].empty()) {
        repo.base_tree = std::string(lines[1]);
        return repo;
    }
    int head_rc = 0;
    git({"-C", repo.top, "rev-parse", "--verify", "-q", "HEAD"}, &head_rc);
    if (base != "HEAD" || head_rc == 0) throw GitError("unknown base revision '" + base + "'");
    // Before the first commit the base is the empty tree (of this repository's hash).
    repo.base_tree = first_line(git({"-C", repo.top, "hash-object", "-t", "tree", "/dev/null"}));
    return repo;
}

Repo open_range(const std::string &directory, const std::string &base, const std::string &head) {
    Repo repo;
    try {
        repo = open(directory, head);
    } catch (const GitError &e) {
        if (std::string_view(e.what()).starts_with("unknown base") || std::string_view(e.what()).starts_with("invalid base"))
            throw GitError("unknown head revision '" + head + "'");
        throw;
    }
    repo.head_tree = repo.base_tree;
    repo.base = base;
    int rc = 0;
    if (!base.empty() && base.front() != '-') git({"-C", repo.top, "rev-parse", "--verify", "-q", base + "^{commit}"}, &rc);
    if (base.empty() || base.front() == '-' || rc != 0) throw GitError("unknown base revision '" + base + "'");
    std::string merge_base = first_line(git({"-C", repo.top, "merge-base", base, head}, &rc));
    if (rc != 0 || merge_base.empty())
        throw GitError("'" + base + "' and '" + head + "' have no common ancestor here (in a shallow clone, fetch "
                       "more of the history)");
    repo.base_tree = first_line(git({"-C", repo.top, "rev-parse", merge_base + "^{tree}"}));
    return repo;
}

bool relevant(std::string_view rel, const std::vector<std::string> &exclude_patterns) {
    if (rel.ends_with(".tf")) return true;
    // Variable files are read wherever they lie, excluded directories included.
    size_t slash = rel.rfind('/');
    if (stack::is_tfvars(slash == std::string_view::npos ? rel : rel.substr(slash + 1))) return true;
    if (!(rel.ends_with(".json") || rel.ends_with(".yaml") || rel.ends_with(".yml"))) return false;
    auto parts = split(rel, '/');
    for (size_t i = 0; i + 1 < parts.size(); ++i) {
        for (const char *d : stack::kDefaultExcludes)
            if (parts[i] == d) return false;
        for (const auto &p : exclude_patterns)
            if (parts[i] == p) return false;
    }
    return true;
}

namespace {
bool prefix_is_file(const Repo &repo) { return !repo.prefix.empty() && !fs::is_dir(repo.top + "/" + repo.prefix); }
}  // namespace

bool staged_changes(const Repo &repo, const std::vector<std::string> &exclude_patterns, bool repo_tf) {
    std::vector<std::string> args{"-C", repo.top, "diff-index", "--cached", "--name-only", "--no-renames", "-z",
                                  repo.base_tree};
    if (!repo.head_tree.empty())
        args = {"-C", repo.top, "diff-tree", "-r", "--name-only", "--no-renames", "-z", repo.base_tree, repo.head_tree};
    if (!repo_tf)
        for (auto &p : pathspec(repo)) args.push_back(p);
    std::string out = git(args);
    bool file = prefix_is_file(repo);
    for (auto path : split(out, '\0')) {
        auto rel = below(repo, path, file);
        if (rel ? relevant(*rel, exclude_patterns) : repo_tf && path.ends_with(".tf")) return true;
    }
    return false;
}

std::optional<bool> quick_staged_changes(const std::string &directory, const std::string &base,
                                         const std::vector<std::string> &exclude_patterns) {
    if (const char *gd = std::getenv("GIT_DIR"); gd && *gd) return std::nullopt;
    if (base.empty() || base.front() == '-') return std::nullopt;
    bool is_dir = fs::is_dir(directory);
    std::string where = is_dir ? directory : fs::dirname(directory);
    if (where.empty()) where = ".";
    std::vector<std::string> args{"-C", where, "diff-index", "--cached", "--name-only", "--no-renames", "-z",
                                  "--relative", base, "--"};
    if (!is_dir) args.push_back(":(literal)" + fs::basename(directory));
    int rc = 0;
    std::string out = git(args, &rc);
    if (rc != 0) return std::nullopt;
    for (auto rel : split(out, '\0'))
        if (!rel.empty() && relevant(rel, exclude_patterns)) return true;
    return false;
}

Snapshot::Snapshot(const Repo &repo, const std::vector<std::string> &exclude_patterns, bool repo_tf,
                   const std::vector<TempPlace> &places) {
    std::vector<TempPlace> where = places.empty() ? temp_places() : places;
    for (const auto &place : where) sweep_stale(place.dir);
    for (size_t i = 0;; ++i) {
        try {
            build(repo, exclude_patterns, repo_tf, where[i]);
            return;
        } catch (const NoSpace &) {
            // build() removed what it wrote; the next place, if any.
            if (i + 1 >= where.size()) throw;
            notes_.push_back("No space left for the temporary copy under " + where[i].dir + "; it is made under " +
                             where[i + 1].dir + " instead.");
        }
    }
}

void Snapshot::build(const Repo &repo, const std::vector<std::string> &exclude_patterns, bool repo_tf,
                     const TempPlace &place) {
    std::string tmpl = place.dir + "/" + std::string(kTempPrefix) + owner_tag() + "-XXXXXX";
    // A SIGTERM or SIGHUP between creating the directory and arming its removal would leave
    // it behind: both wait until the removal is armed.
    sigset_t cleanup_signals, previous_mask;
    sigemptyset(&cleanup_signals);
    for (int sig : kCleanupSignals) sigaddset(&cleanup_signals, sig);
    ::pthread_sigmask(SIG_BLOCK, &cleanup_signals, &previous_mask);
    bool made = ::mkdtemp(tmpl.data()) != nullptr;
    int err = errno;
    if (made) {
        dir_ = tmpl;
        install_cleanup(dir_);
    }
    ::pthread_sigmask(SIG_SETMASK, &previous_mask, nullptr);
    if (!made) write_failed("cannot create a temporary directory in", place.dir, err);
    try {
        bool file = prefix_is_file(repo);
        repo_tf = repo_tf && !file && !repo.prefix.empty();
        auto regular = [](std::string_view mode) { return mode == "100644" || mode == "100755"; };
        // Relevant regular files of each tree: path -> blob.
        std::unordered_map<std::string, std::string> index, base;
        auto keep = [&](std::unordered_map<std::string, std::string> &side, std::string_view sha, std::string_view path) {
            if (!safe_path(path)) return;
            auto rel = below(repo, path, file);
            if (rel ? relevant(*rel, exclude_patterns) : repo_tf && path.ends_with(".tf")) side.emplace(path, sha);
        };
        // The index: "<mode> <sha> <stage>\t<path>"; a head tree instead: as the base tree below.
        bool head = !repo.head_tree.empty();
        std::vector<std::string> args{"-C", repo.top, "ls-files", "-s", "-z"};
        std::string listing;
        if (head) {
            args = {"-C", repo.top, "ls-tree", "-r", "-z", "--full-tree", repo.head_tree};
            if (!repo.prefix.empty() && !repo_tf) args.insert(args.end(), {"--", repo.prefix});
            listing = git(args);
            for (const auto &[meta, path] : parse_listing(listing))
                if (regular(meta[0]) && meta[1] == "blob") keep(index, meta[2], path);
        } else {
            if (!repo_tf)
                for (auto &p : pathspec(repo)) args.push_back(p);
            listing = git(args);
            std::set<std::string_view> unmerged;  // paths in conflict: stages 1 to 3, no stage 0
            for (const auto &[meta, path] : parse_listing(listing)) {
                if (meta[2] != "0") {
                    auto rel = below(repo, path, file);
                    if (rel && relevant(*rel, exclude_patterns)) unmerged.insert(path);
                } else if (regular(meta[0])) {
                    keep(index, meta[1], path);
                }
            }
            if (!unmerged.empty()) {
                std::string names;
                for (auto p : unmerged) names += (names.empty() ? "" : ", ") + std::string(p);
                throw GitError("unmerged paths (resolve the conflicts first): " + names);
            }
        }
        // The base tree: "<mode> <type> <sha>\t<path>".
        args = {"-C", repo.top, "ls-tree", "-r", "-z", "--full-tree", repo.base_tree};
        if (!repo.prefix.empty() && !repo_tf) args.insert(args.end(), {"--", repo.prefix});
        listing = git(args);
        for (const auto &[meta, path] : parse_listing(listing))
            if (regular(meta[0]) && meta[1] == "blob") keep(base, meta[2], path);

        // Directories holding a difference; the base tree links every other directory to
        // its copy in the index tree instead of writing its files again.
        std::set<std::string> dirty{""};
        auto mark = [&](const std::string &path) {
            for (std::string d = fs::dirname(path); !d.empty() && dirty.insert(d).second; d = fs::dirname(d)) {
            }
        };
        for (auto &[path, sha] : base) {
            auto it = index.find(path);
            if (it == index.end() || it->second != sha) mark(path);
        }
        for (auto &[path, sha] : index)
            if (!base.count(path)) mark(path);
        std::string root_dir = file ? fs::dirname(repo.prefix) : repo.prefix;

        std::set<std::string> made{dir_};
        std::set<std::string> linked;
        std::unordered_map<std::string, std::vector<std::string>> targets;
        std::vector<std::string> order;
        auto add = [&](const char *side, const std::string &sha, const std::string &path) {
            std::string target = dir_ + "/" + side + "/" + path;
            make_dirs(fs::dirname(target), made);
            auto &t = targets[sha];
            if (t.empty()) order.push_back(sha);
            t.push_back(std::move(target));
        };
        for (auto &[path, sha] : index) add("index", sha, path);
        for (auto &[path, sha] : base) {
            // The outermost unchanged directory below the scan directory, if any.
            std::string clean;
            for (std::string d = fs::dirname(path); d.size() > root_dir.size(); d = fs::dirname(d))
                if (!dirty.count(d)) clean = d;
            if (clean.empty()) {
                add("base", sha, path);
                continue;
            }
            if (!linked.insert(clean).second) continue;
            std::string link = dir_ + "/base/" + clean;
            make_dirs(fs::dirname(link), made);
            if (::symlink((dir_ + "/index/" + clean).c_str(), link.c_str()) != 0) write_failed("cannot create", link, errno);
        }

        base_root_ = dir_ + "/base" + (repo.prefix.empty() ? "" : "/" + repo.prefix);
        index_root_ = dir_ + "/index" + (repo.prefix.empty() ? "" : "/" + repo.prefix);
        make_dirs(file ? fs::dirname(base_root_) : base_root_, made);
        make_dirs(file ? fs::dirname(index_root_) : index_root_, made);
        if (order.empty()) return;

        // Every distinct blob once, through one cat-file process reading its list from a file.
        std::string list_path = dir_ + "/objects";
        {
            Fd list(::open(list_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
            if (list.fd < 0) write_failed("cannot write", list_path, errno);
            std::string text;
            for (auto &sha : order) text += sha + "\n";
            std::string_view rest = text;
            while (!rest.empty()) {
                ssize_t n = ::write(list.fd, rest.data(), rest.size());
                if (n < 0 && errno == EINTR) continue;
                if (n <= 0) write_failed("cannot write", list_path, n < 0 ? errno : ENOSPC);
                rest.remove_prefix(size_t(n));
            }
        }
        Fd list(::open(list_path.c_str(), O_RDONLY | O_CLOEXEC));
        if (list.fd < 0) throw GitError("cannot read " + list_path + ": " + std::strerror(errno));
        BatchReader writer(std::move(order), std::move(targets), place.capacity);
        std::string err;
        int rc = run_git({"-C", repo.top, "cat-file", "--batch", "--buffer"}, list.fd,
                         [&](std::string_view chunk) { writer.feed(chunk); }, err);
        if (rc != 0) throw GitError(first_line(err).empty() ? "git cat-file failed" : first_line(err));
        writer.finish();
        ::unlink(list_path.c_str());
    } catch (...) {
        remove();
        throw;
    }
}

Snapshot::~Snapshot() { remove(); }

void Snapshot::remove() {
    if (dir_.empty()) return;
    remove_tree(dir_);
    uninstall_cleanup();
    dir_.clear();
}

void remove_tree(const std::string &path) {
    ::nftw(
        path.c_str(),
        [](const char *p, const struct stat *, int, struct FTW *) {
            ::remove(p);
            return 0;
        },
        16,
        FTW_DEPTH | FTW_PHYS);
}

}  // namespace tw::commit
