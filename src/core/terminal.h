// The process's controlling terminal.
#pragma once

namespace tw::term {

// Whether `fd` writes to the controlling terminal itself (not a pipe, a file or another
// pseudo-terminal). When the controlling terminal cannot be told, any terminal counts.
bool is_controlling_terminal(int fd);

}  // namespace tw::term
