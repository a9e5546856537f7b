// The embedded server's reading of a request head and the module's input.
#include "hosts/request_head.h"

#include <algorithm>
#include <limits>

#include "hosts/host_name.h"
#include "text/ascii.h"

namespace hosts {

namespace http = boost::beast::http;
using text::EqualsIgnoringAsciiCase;
using text::ParsePlainDecimal;

namespace {

constexpr std::size_t kChunkLineAllowance = 4096;

// Framing a proxy could read differently: answered 400.
bool AmbiguousFraming(const ReceivedRequest& head) {
  std::size_t lengths = 0;
  std::size_t encodings = 0;
  for (const auto& field : head) {
    if (field.name() == http::field::content_length) {
      ++lengths;
      if (!ParsePlainDecimal(field.value())) lengths = 2;
    } else if (field.name() == http::field::transfer_encoding) {
      ++encodings;
      if (!EqualsIgnoringAsciiCase(field.value(), "chunked")) encodings = 2;
    }
  }
  if (encodings != 0 && head.version() < 11) return true;  // chunked is HTTP/1.1's
  return lengths > 1 || encodings > 1 || (lengths != 0 && encodings != 0);
}

// RFC 9112: an HTTP/1.1 request has exactly one Host, empty or a valid
// authority. An HTTP/1.0 one may have none; a malformed one is then not
// used as the server name.
bool BadHost(const ReceivedRequest& head) {
  std::size_t hosts = 0;
  bool valid = true;
  for (const auto& field : head) {
    if (field.name() != http::field::host) continue;
    ++hosts;
    const std::string_view value = field.value();
    valid = valid && (value.empty() || ParseAuthority(value).has_value());
  }
  if (head.version() < 11) return hosts > 1;
  return hosts != 1 || !valid;
}

}  // namespace

std::size_t ReadBufferLimit(const RequestLimits& limits) {
  return limits.max_header_bytes + kChunkLineAllowance;
}

void PrepareParser(RequestParser& parser, const RequestLimits& limits) {
  parser.header_limit(static_cast<std::uint32_t>(
      std::min<std::size_t>(limits.max_header_bytes, std::numeric_limits<std::uint32_t>::max())));
  // Checked once the head is in, so a declared length over it gets 413.
  parser.body_limit(std::numeric_limits<std::uint64_t>::max());
}

unsigned RefusalOfHead(const RequestParser& parser, const RequestLimits& limits) {
  const ReceivedRequest& head = parser.get();
  const auto fields = static_cast<std::size_t>(std::distance(head.begin(), head.end()));
  if (fields > limits.max_header_fields) return 431;
  if (AmbiguousFraming(head) || BadHost(head)) return 400;
  if (const auto length = parser.content_length(); length && *length > limits.max_body) {
    return 413;
  }
  return 0;
}

unsigned RefusalOfTrailer(const RequestParser& parser, const RequestLimits& limits) {
  const ReceivedRequest& request = parser.get();
  const auto fields = static_cast<std::size_t>(std::distance(request.begin(), request.end()));
  return fields > limits.max_header_fields ? 431 : 0;
}

RequestInput BuildRequestInput(ReceivedRequest& request, std::size_t head_fields,
                               const ConnectionFacts& connection, const InputSettings& settings,
                               std::vector<std::string>* rejected) {
  RequestInput input;
  input.method = std::string(request.method_string());
  const std::string_view target = request.target();
  const std::size_t question = target.find('?');
  if (question != std::string_view::npos) input.query = std::string(target.substr(question + 1));
  input.path_info = std::string(target.substr(0, question));
  input.content_type = std::string(request[http::field::content_type]);
  input.body = std::move(request.body());
  ServerVariables& variables = input.variables;
  std::string_view host;
  std::size_t taken = 0;
  for (const auto& field : request) {
    if (taken++ == head_fields) break;  // the rest are trailer fields
    variables.AddRequestHeader(field.name_string(), field.value());
    if (field.name() == http::field::host) host = field.value();
  }
  const std::string server_name = ServerNameOf(host, connection.local_addr);
  RequestFacts facts;
  facts.remote_addr = connection.remote_addr;
  facts.remote_port = connection.remote_port;
  facts.local_addr = connection.local_addr;
  facts.server_name = server_name;
  facts.server_port = connection.local_port;
  facts.tls = connection.tls;
  facts.protocol = request.version() == 10 ? "HTTP/1.0" : "HTTP/1.1";
  facts.software = settings.software;
  facts.method = input.method;
  facts.script_name = settings.script_name;
  facts.path = input.path_info;
  facts.query = input.query;
  facts.content_type = input.content_type;
  variables.SetRequestVariables(facts);
  // The length of the body as received, declared or chunked.
  variables.Set("CONTENT_LENGTH", std::to_string(input.body.size()));
  if (settings.trusted_proxies != nullptr) {
    std::vector<std::string> lines = ApplyForwardedRequest(*settings.trusted_proxies, &variables);
    if (rejected != nullptr) *rejected = std::move(lines);
  }
  return input;
}

}  // namespace hosts
