#include "core/terminal.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace tw::term {

namespace {
// The controlling terminal's device number from /proc/self/stat (field 7), or -1.
long long controlling_tty_nr() {
    FILE *f = std::fopen("/proc/self/stat", "re");
    if (!f) return -1;
    char buf[1024];
    size_t n = std::fread(buf, 1, sizeof buf - 1, f);
    std::fclose(f);
    buf[n] = '\0';
    const char *p = std::strrchr(buf, ')');  // the command name may hold blanks
    if (!p) return -1;
    char state;
    int ppid, pgrp, session;
    long long tty_nr;
    if (std::sscanf(p + 1, " %c %d %d %d %lld", &state, &ppid, &pgrp, &session, &tty_nr) != 5) return -1;
    return tty_nr;
}
}  // namespace

bool is_controlling_terminal(int fd) {
    struct stat st;
    if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode) || !::isatty(fd)) return false;
    long long nr = controlling_tty_nr();
    if (nr < 0) return true;
    unsigned maj = unsigned((nr >> 8) & 0xfff), min = unsigned((nr & 0xff) | ((nr >> 12) & 0xfff00));
    return major(st.st_rdev) == maj && minor(st.st_rdev) == min;
}

}  // namespace tw::term
