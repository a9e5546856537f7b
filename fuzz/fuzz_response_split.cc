// The hosts' reading of what an extension sent: the header block and body of
// a response stream, and the status code of a status line. Checks what every
// host relies on: the views lie inside the stream, the body starts after the
// headers, and no framing header is passed on.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "hosts/extension/response_split.h"
#include "text/ascii.h"

namespace {

void Check(bool holds) {
  if (!holds) std::abort();
}

bool Inside(std::string_view part, std::string_view whole) {
  return part.empty() ||
         (part.data() >= whole.data() && part.data() + part.size() <= whole.data() + whole.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view stream(reinterpret_cast<const char*>(data), size);
  const hosts::SplitResponse split = hosts::SplitResponseStream(stream);
  Check(split.body_offset <= stream.size());
  for (const hosts::ResponseHeader& header : split.headers) {
    Check(Inside(header.name, stream) && Inside(header.value, stream));
    Check(header.name.data() + header.name.size() <= stream.data() + split.body_offset);
    Check(!header.name.empty());
    Check(header.name.find_first_of("\r\n") == std::string_view::npos);
    Check(header.value.find_first_of("\r\n") == std::string_view::npos);
    Check(!text::EqualsIgnoringAsciiCase(header.name, "Content-Length") &&
          !text::EqualsIgnoringAsciiCase(header.name, "Transfer-Encoding"));
  }
  if (const std::optional<unsigned> code = hosts::ParseStatusCode(stream)) {
    Check(*code >= 100 && *code <= 999);
  }
  return 0;
}
