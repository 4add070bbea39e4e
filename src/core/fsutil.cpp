#include "core/fsutil.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

#include "core/pytext.h"

namespace tw::fs {

std::string py_repr(std::string_view s) {
    bool has_single = s.find('\'') != std::string_view::npos;
    bool has_double = s.find('"') != std::string_view::npos;
    char q = (has_single && !has_double) ? '"' : '\'';
    std::string out(1, q);
    for (unsigned char c : s) {
        if (c == '\\') out += "\\\\";
        else if (c == static_cast<unsigned char>(q)) { out += '\\'; out += char(c); }
        else if (c == '\n') out += "\\n";
        else if (c == '\r') out += "\\r";
        else if (c == '\t') out += "\\t";
        else if (c < 0x20 || c == 0x7f) {
            char b[8];
            std::snprintf(b, sizeof b, "\\x%02x", c);
            out += b;
        } else out += char(c);
    }
    out += q;
    return out;
}

std::string os_error_text(int err, const std::string &path) {
    return "[Errno " + std::to_string(err) + "] " + std::strerror(err) + ": " + py_repr(path);
}

bool read_bytes(const std::string &path, std::string &out, std::string &error) {
    // O_NONBLOCK: opening a FIFO must not wait for a writer (the scan would hang).
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        error = os_error_text(errno, path);
        return false;
    }
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        ::close(fd);
        error = os_error_text(EISDIR, path);
        return false;
    }
    if (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode) || S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)) {
        ::close(fd);
        error = "not a regular file: " + py_repr(path);
        return false;
    }
    // Regular files read as before, blocking.
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    out.clear();
    if (st.st_size > 0) out.reserve(size_t(st.st_size));
    char buf[1 << 16];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            error = os_error_text(errno, path);
            ::close(fd);
            return false;
        }
        if (n == 0) break;
        out.append(buf, size_t(n));
    }
    ::close(fd);
    return true;
}

bool read_utf8(const std::string &path, std::string &out, std::string &error) {
    if (!read_bytes(path, out, error)) return false;
    if (auto e = pytext::utf8_error(out)) {
        error = *e;
        return false;
    }
    return true;
}

bool exists(const std::string &path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}
bool is_file(const std::string &path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}
bool is_dir(const std::string &path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string join(const std::string &dir, const std::string &name) {
    if (dir.empty()) return name;
    if (dir.back() == '/') return dir + name;
    return dir + "/" + name;
}

std::string basename(std::string_view path) {
    while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
    size_t p = path.rfind('/');
    return std::string(p == std::string_view::npos ? path : path.substr(p + 1));
}

std::string dirname(std::string_view path) {
    size_t p = path.rfind('/');
    if (p == std::string_view::npos) return "";
    if (p == 0) return "/";
    return std::string(path.substr(0, p));
}

std::string suffix(std::string_view path) {
    std::string name = basename(path);
    size_t p = name.rfind('.');
    if (p == std::string::npos || p == 0) return "";
    // A name made only of dots (such as "..") has no suffix.
    if (name.find_first_not_of('.') == std::string::npos) return "";
    return name.substr(p);
}

void walk(const std::string &root, const std::function<void(const std::string &, bool)> &visit,
          const std::function<void(const std::string &, const std::string &)> &unreadable) {
    walk_pruned(
        root,
        [&](const std::string &path, bool is_dir) {
            visit(path, is_dir);
            return true;
        },
        unreadable);
}

void walk_pruned(const std::string &root, const std::function<bool(const std::string &, bool)> &visit,
                 const std::function<void(const std::string &, const std::string &)> &unreadable) {
    std::set<std::pair<dev_t, ino_t>> seen;
    struct stat st;
    if (::stat(root.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return;
    // Pending entries in reverse order, so that popping from the back visits them in order.
    std::vector<std::pair<std::string, bool>> stack;
    // Lists a directory not met before (symlinked directories are followed once each).
    auto list_dir = [&](const std::string &dir) {
        DIR *d = ::opendir(dir.c_str());
        if (!d) {
            if (unreadable) unreadable(dir, os_error_text(errno, dir));
            return;
        }
        struct stat ds;
        if (::fstat(dirfd(d), &ds) != 0 || !seen.insert({ds.st_dev, ds.st_ino}).second) {
            ::closedir(d);
            return;
        }
        std::vector<std::pair<std::string, unsigned char>> names;
        errno = 0;
        while (struct dirent *e = ::readdir(d)) {
            if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
            names.emplace_back(e->d_name, e->d_type);
            errno = 0;
        }
        if (errno != 0 && unreadable) unreadable(dir, os_error_text(errno, dir));
        ::closedir(d);
        std::sort(names.begin(), names.end());
        for (auto it = names.rbegin(); it != names.rend(); ++it) {
            std::string p = join(dir, it->first);
            bool isdir = false;
            if (it->second == DT_DIR) {
                isdir = true;
            } else if (it->second == DT_LNK || it->second == DT_UNKNOWN) {
                struct stat s2;
                isdir = ::stat(p.c_str(), &s2) == 0 && S_ISDIR(s2.st_mode);
            }
            stack.emplace_back(std::move(p), isdir);
        }
    };
    list_dir(root);
    while (!stack.empty()) {
        auto [path, isdir] = std::move(stack.back());
        stack.pop_back();
        if (visit(path, isdir) && isdir) list_dir(path);
    }
}

}  // namespace tw::fs
