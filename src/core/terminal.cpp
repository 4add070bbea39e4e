#include "core/terminal.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

namespace tw::term {

namespace {

// The controlling terminal's device as /proc/self/stat gives it (field tty_nr); false where
// there is no such file (not Linux) or it cannot be read.
bool controlling_device(unsigned &maj, unsigned &min) {
    std::ifstream in("/proc/self/stat");
    std::string line;
    if (!in || !std::getline(in, line)) return false;
    // The command name (field 2) may hold blanks and parentheses: fields resume after the last ')'.
    auto close = line.rfind(')');
    if (close == std::string::npos) return false;
    std::istringstream rest(line.substr(close + 1));
    std::string state;
    long ppid = 0, pgrp = 0, session = 0, tty_nr = 0;
    if (!(rest >> state >> ppid >> pgrp >> session >> tty_nr)) return false;
    auto nr = static_cast<unsigned long>(tty_nr);
    maj = (nr >> 8) & 0xfff;
    min = (nr & 0xff) | ((nr >> 12) & 0xfff00);
    return true;
}

}  // namespace

bool is_controlling_terminal(int fd) {
    if (fd < 0 || !isatty(fd)) return false;
    struct stat st;
    if (fstat(fd, &st) != 0) return false;
    unsigned maj = 0, min = 0;
    if (!controlling_device(maj, min)) return true;
    return major(st.st_rdev) == maj && minor(st.st_rdev) == min;
}

}  // namespace tw::term
