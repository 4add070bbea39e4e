// File access for the readers: whole-file reads with the host's error texts, and a
// recursive directory walk that survives symlink loops and unreadable directories.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tw::fs {

// Reads a whole file as bytes. On failure returns false and sets `error` to the host's
// text for it, such as "[Errno 2] No such file or directory: 'x.tf'".
bool read_bytes(const std::string &path, std::string &out, std::string &error);

// Reads a whole file as UTF-8 text (read_bytes, then validation).
bool read_utf8(const std::string &path, std::string &out, std::string &error);

bool exists(const std::string &path);
bool is_file(const std::string &path);
bool is_dir(const std::string &path);

// The host's rendering of an OS error: "[Errno N] strerror: 'path'".
std::string os_error_text(int err, const std::string &path);

// Python's repr() of a text, as it appears in OS error texts.
std::string py_repr(std::string_view s);

// Recursive walk below `root` (root excluded), depth first with the entries of each
// directory in byte order of their names. Directory symlinks are followed once per
// directory; a loop or an unreadable directory ends that branch. The callback gets the
// path (root joined with the relative path by "/") and whether it is a directory;
// `unreadable`, when given, gets each directory that could not be listed with the error text.
void walk(const std::string &root, const std::function<void(const std::string &, bool is_dir)> &visit,
          const std::function<void(const std::string &, const std::string &)> &unreadable = {});
// The same walk; a directory for which `visit` returns false is not entered.
void walk_pruned(const std::string &root, const std::function<bool(const std::string &, bool is_dir)> &visit,
                 const std::function<void(const std::string &, const std::string &)> &unreadable = {});

std::string join(const std::string &dir, const std::string &name);
std::string basename(std::string_view path);
std::string dirname(std::string_view path);
// Extension from the last "." of the last component (".tar" for "a.tar"; "" for ".bashrc").
std::string suffix(std::string_view path);

}  // namespace tw::fs
