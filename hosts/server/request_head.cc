// The embedded server's reading of a request head and the module's input.
#include "hosts/server/request_head.h"

#include <algorithm>
#include <limits>

#include "hosts/extension/host_name.h"
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

// The head fields (the first `head_fields`; the rest are trailer fields):
// their count, the bytes of their names and values, and the Host header.
struct HeadSizes {
  std::size_t fields = 0;
  std::size_t bytes = 0;
  std::string_view host;
};

HeadSizes MeasureHead(const ReceivedRequest& request, std::size_t head_fields) {
  HeadSizes head;
  for (const auto& field : request) {
    if (head.fields == head_fields) break;
    ++head.fields;
    head.bytes += field.name_string().size() + field.value().size();
    if (field.name() == http::field::host) head.host = field.value();
  }
  return head;
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

namespace {

// A field's values as one ("a, b" for a field sent twice), as the server
// variables join them; nullopt when it was not sent.
std::optional<std::string_view> JoinedField(const ReceivedRequest& request, std::string_view name,
                                            std::string& storage) {
  std::optional<std::string_view> joined;
  const auto [first, last] = request.equal_range(name);
  for (auto field = first; field != last; ++field) {
    if (!joined) {
      joined = field->value();
      continue;
    }
    if (storage.empty()) storage.assign(*joined);
    storage += ", ";
    storage += field->value();
    joined = storage;
  }
  return joined;
}

}  // namespace

std::string ClientOfRequest(const ReceivedRequest& request, std::string_view peer,
                            const TrustedProxies& proxies) {
  if (proxies.empty() || !proxies.Trusts(peer)) return std::string(peer);
  std::string forwarded_storage;
  std::string for_storage;
  ForwardingHeaders headers;
  headers.forwarded = JoinedField(request, "Forwarded", forwarded_storage);
  headers.x_forwarded_for = JoinedField(request, "X-Forwarded-For", for_storage);
  ForwardedRequest forwarded = ReadForwardedRequest(proxies, peer, headers);
  return forwarded.remote_addr ? std::move(*forwarded.remote_addr) : std::string(peer);
}

RequestInput BuildRequestInput(ReceivedRequest& request, std::size_t head_fields,
                               const ConnectionFacts& connection, const InputSettings& settings,
                               std::vector<std::string>* rejected) {
  RequestInput input;
  const std::string_view target = request.target();
  const std::size_t question = target.find('?');
  RequestTexts::Values texts;
  texts.method = request.method_string();
  if (question != std::string_view::npos) texts.query = target.substr(question + 1);
  texts.path_info = target.substr(0, question);
  texts.content_type = request[http::field::content_type];
  input.texts = RequestTexts(texts);
  input.body = std::move(request.body());
  const HeadSizes head = MeasureHead(request, head_fields);
  const std::string server_name = ServerNameOf(head.host, connection.local_addr);
  RequestFacts facts;
  facts.remote_addr = connection.remote_addr;
  facts.remote_port = connection.remote_port;
  facts.local_addr = connection.local_addr;
  facts.server_name = server_name;
  facts.server_port = connection.local_port;
  facts.tls = connection.tls;
  facts.protocol = request.version() == 10 ? "HTTP/1.0" : "HTTP/1.1";
  facts.software = settings.software;
  facts.method = texts.method;
  facts.script_name = settings.script_name;
  facts.path = texts.path_info;
  facts.query = texts.query;
  facts.content_type = texts.content_type;
  ServerVariables& variables = input.variables;
  variables.ReserveForRequest(facts, head.fields, head.bytes);
  std::size_t taken = 0;
  for (const auto& field : request) {
    if (taken++ == head_fields) break;  // the rest are trailer fields
    variables.AddRequestHeader(field.name_string(), field.value());
  }
  variables.SetRequestVariables(facts);
  // The length of the body as received, declared or chunked.
  variables.SetContentLength(input.body.size());
  if (settings.trusted_proxies != nullptr) {
    std::vector<std::string> lines = ApplyForwardedRequest(*settings.trusted_proxies, &variables);
    if (rejected != nullptr) *rejected = std::move(lines);
  }
  return input;
}

}  // namespace hosts
