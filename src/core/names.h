// File names in output. A name is bytes: those that would act on a terminal or that are
// not UTF-8 are escaped, so that what is shown names the file and changes nothing else.
#pragma once

#include <string>
#include <string_view>

namespace tw::names {

// For text output: C0 and C1 control characters, DEL and bytes that are not UTF-8 as \xNN
// (a C1 character as the \xNN of both its bytes); everything else unchanged.
std::string printable(std::string_view name);

// Appends `name` as a JSON string (json::write_string's escapes) in which each byte that is
// not UTF-8 is the host's surrogate escape \udcNN, so that the name decodes to the text
// os.fsdecode() gives for it and encodes back to the same bytes.
void write_json(std::string &out, std::string_view name, bool ascii);

}  // namespace tw::names
