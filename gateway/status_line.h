// The HTTP status table and the status line formed from it.
#pragma once

#include <string>

namespace gateway {

// "%d %s" of the code and its text; a code missing from the table (0
// included) gives the line of 200, "200 OK". At most 32 characters.
std::string FormatStatusLine(unsigned code);

}  // namespace gateway
