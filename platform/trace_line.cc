// The body of one trace line, shared by the systems' trace outputs.
#include "platform/trace_line.h"

namespace platform {

std::size_t AppendTraceMessage(char* line, std::size_t used, std::size_t capacity,
                               std::string_view message, std::string_view line_end) {
  const std::size_t room = capacity - line_end.size();
  for (const char c : message) {
    const bool escaped = c == '\r' || c == '\n';
    if (used + (escaped ? 2 : 1) > room) break;
    if (escaped) {
      line[used++] = '\\';
      line[used++] = c == '\r' ? 'r' : 'n';
    } else {
      line[used++] = c;
    }
  }
  for (const char c : line_end) line[used++] = c;
  return used;
}

}  // namespace platform
