// Raw bytes through the embedded server's reading of requests: the HTTP
// parser with the server's limits and read buffer bound, the refusals of a
// head and of a trailer section, the forwarded headers of both families and
// the server variables the module would be handed. Pipelined requests are
// read one after the other, as a connection reads them.
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/error.hpp>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "hosts/server/request_head.h"

namespace {

namespace http = boost::beast::http;

hosts::TrustedProxies Proxies(hosts::ForwardedFamily family) {
  hosts::TrustedProxies proxies;
  std::string error;
  // A refusal here is a broken fuzz set-up, not a finding: stop loudly.
  if (!proxies.Add("127.0.0.0/8", &error) || !proxies.Add("::1", &error)) std::abort();
  proxies.set_family(family);
  return proxies;
}

// What the module reads of a request, so every variable is built.
void ReadVariables(const hosts::RequestInput& input) {
  for (const char* name : {"REMOTE_ADDR", "SERVER_NAME", "SERVER_PORT", "HTTPS", "ALL_HTTP",
                           "HTTP_HOST", "HTTP_X_FORWARDED_FOR", "HTTP_USER_AGENT"}) {
    char buffer[256];
    DWORD size = sizeof buffer;
    (void)input.variables.CopyTo(name, buffer, &size);
  }
}

// Reads one request from `data` at `*offset`; false when the connection
// would close (refused, malformed, or the bytes end).
bool ReadOneRequest(const std::uint8_t* data, std::size_t size, std::size_t* offset,
                    boost::beast::flat_buffer& buffer, bool forwarded_family) {
  static const hosts::RequestLimits limits;
  static const hosts::TrustedProxies x_proxies = Proxies(hosts::ForwardedFamily::kXForwarded);
  static const hosts::TrustedProxies forwarded_proxies =
      Proxies(hosts::ForwardedFamily::kForwarded);
  hosts::RequestParser parser;
  hosts::PrepareParser(parser, limits);
  bool head_checked = false;
  std::size_t head_fields = 0;
  while (!parser.is_done()) {
    boost::system::error_code ec;
    if (buffer.size() != 0) buffer.consume(parser.put(buffer.data(), ec));
    if (ec && ec != http::error::need_more) return false;
    if (parser.is_header_done() && !head_checked) {
      head_checked = true;
      if (hosts::RefusalOfHead(parser, limits) != 0) return false;
      const auto& head = parser.get();
      head_fields = static_cast<std::size_t>(std::distance(head.begin(), head.end()));
      parser.body_limit(limits.max_body);
      continue;
    }
    if (parser.is_done()) break;
    const std::size_t room = buffer.max_size() - buffer.size();
    if (room == 0 || *offset == size) return false;  // overflow, or the client stopped
    const std::size_t piece = std::min(room, size - *offset);
    std::memcpy(buffer.prepare(piece).data(), data + *offset, piece);
    buffer.commit(piece);
    *offset += piece;
  }
  if (hosts::RefusalOfTrailer(parser, limits) != 0) return false;
  const hosts::ConnectionFacts facts{"127.0.0.1", "40000", "127.0.0.1", "8080", false};
  const hosts::InputSettings settings{"/scripts/dudarovuvadu.dll", "fuzz",
                                      forwarded_family ? &forwarded_proxies : &x_proxies};
  std::vector<std::string> rejected;
  hosts::ReceivedRequest request = parser.release();
  const hosts::RequestInput input =
      hosts::BuildRequestInput(request, head_fields, facts, settings, &rejected);
  ReadVariables(input);
  return parser.keep_alive();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  // The first byte picks the proxies' family; the rest is the connection.
  const bool forwarded_family = (data[0] & 1) != 0;
  boost::beast::flat_buffer buffer(hosts::ReadBufferLimit(hosts::RequestLimits()));
  std::size_t offset = 1;
  for (int requests = 0; requests < 16; ++requests) {
    if (!ReadOneRequest(data, size, &offset, buffer, forwarded_family)) break;
  }
  return 0;
}
