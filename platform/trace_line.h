// The body of one trace line, the same on every system: a message's own line
// ends are written as the two characters "\r" or "\n", so that each message
// stays one line of the trace file.
#pragma once

#include <cstddef>
#include <string_view>

namespace platform {

// Copies `message` into `line` from `used` on, cut where it would leave no
// room for `line_end`, then writes `line_end`; returns the length of the
// whole line. `capacity` must exceed `used` + `line_end`'s size.
std::size_t AppendTraceMessage(char* line, std::size_t used, std::size_t capacity,
                               std::string_view message, std::string_view line_end);

}  // namespace platform
