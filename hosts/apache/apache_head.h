// What the Apache httpd module puts onto request_rec for a decided head,
// apart from httpd itself so that a test can compare it with the embedded
// host's head: the status and its line, the content type (httpd's own
// field) and the other header fields; httpd frames the body itself.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "hosts/extension/response_decision.h"
#include "hosts/extension/response_framer.h"
#include "text/ascii.h"

namespace hosts::apache {

struct ApacheHead {
  int status = 200;
  std::string status_line;  // "404 Not Found", as request_rec's status_line
  std::optional<std::string_view> content_type;
  std::vector<ResponseHeader> headers;  // for headers_out, in order
  std::optional<std::uint64_t> content_length;
};

inline ApacheHead BuildApacheHead(const ResponseHead& head) {
  ApacheHead out;
  out.status = static_cast<int>(head.status);
  const std::string_view reason = head.reason.empty() ? StandardReason(head.status) : head.reason;
  out.status_line = std::to_string(head.status) + " " + std::string(reason);
  for (const ResponseHeader& header : head.headers) {
    if (text::EqualsIgnoringAsciiCase(header.name, "Content-Type")) {
      out.content_type = header.value;
    } else {
      out.headers.push_back(header);
    }
  }
  out.content_length = head.content_length;
  return out;
}

}  // namespace hosts::apache
