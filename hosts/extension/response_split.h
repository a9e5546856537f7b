// Reading what an extension sent for one request -- the header text of its
// header call followed by every byte it wrote -- as the header lines and the
// body of an HTTP response. Both hosts (embedded, Apache httpd) use this
// one reading, so a module answers the same through all of them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace hosts {

struct ResponseHeader {
  std::string_view name;   // as written, case kept
  std::string_view value;  // surrounding blanks removed
};

struct SplitResponse {
  // Header lines to send, in the order written. Content-Length and
  // Transfer-Encoding are left out: the server frames the body itself and a
  // response must never carry two lengths.
  std::vector<ResponseHeader> headers;
  // The body is stream.substr(body_offset).
  std::size_t body_offset = 0;
  // The extension wrote a Content-Length that is not the body's length (or
  // not a number). The body as written is sent with its true length.
  bool content_length_mismatch = false;
  // The extension's own Content-Length value as written (blanks removed),
  // empty when it sent none: a host that streams the body before it has it
  // whole frames the body by this length.
  std::string_view declared_length_text;
  // The extension's Content-Length when it is plain decimal: the length a
  // response the host passes on as it is written is sent with.
  std::optional<std::uint64_t> declared_length;
};

// The header block is the run of header lines ("Name: value", ended by LF or
// CR LF) at the start of the stream. It ends at the first empty line, which
// belongs to neither part, or at the first line that is not a header line,
// which is then the first line of the body: no byte the extension wrote is
// dropped and nothing that is not a well-formed header goes out as one. An
// empty stream has no header and an empty body. The views point into
// `stream`, which must outlive the result.
SplitResponse SplitResponseStream(std::string_view stream);

// Where the header block of a stream that is still growing ends, once that
// is known: an empty line or a line that is not a header line has arrived
// whole. `body_offset` is where the body starts (as SplitResponseStream
// reports it for the same bytes) and `ended_by_empty_line` false when a line
// that is not a header line ended the block. Nothing while more bytes could
// still extend the block.
struct HeaderBlockEnd {
  std::size_t body_offset = 0;
  bool ended_by_empty_line = false;
};
std::optional<HeaderBlockEnd> FindHeaderBlockEnd(std::string_view stream);

// The status code at the start of a status line ("404 Not Found", "200"):
// three digits from 100 to 999 followed by the end or a blank. Nothing for
// any other text.
std::optional<unsigned> ParseStatusCode(std::string_view status_line);

}  // namespace hosts
