// The process's controlling terminal.
#pragma once

namespace tw::term {

// Whether descriptor `fd` is the controlling terminal itself, so that text written to it is
// seen by the person at that terminal. False for pipes, files and other terminals (such as
// a pseudo-terminal a hook framework reads to collect a hook's output). Where the process's
// terminal cannot be identified, any terminal counts.
bool is_controlling_terminal(int fd);

}  // namespace tw::term
