// Reading a request as the embedded server receives it, with its limits:
// what is refused before the module sees the request, and the module's
// input built from what was received. Apart from the connection, so the
// fuzz target runs the same reading over raw bytes.
#pragma once

#include <boost/beast/http/message.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/string_body.hpp>
#include <cstddef>
#include <cstdint>
#include <memory_resource>
#include <string>
#include <string_view>
#include <vector>

#include "hosts/extension/extension_request.h"
#include "hosts/extension/forwarded.h"
#include "hosts/host_options.h"

namespace hosts {

// A head's fields come from the allocator the parser is given: the
// connection's arena, released for each request, or the heap by default.
using FieldsAllocator = std::pmr::polymorphic_allocator<char>;
using RequestParser =
    boost::beast::http::request_parser<boost::beast::http::string_body, FieldsAllocator>;
using ReceivedRequest =
    boost::beast::http::request<boost::beast::http::string_body,
                                boost::beast::http::basic_fields<FieldsAllocator>>;

// The most a connection buffers of what it has not parsed yet. A chunk-size
// line with its extensions, and a whole trailer section, must fit in it, so
// neither can grow without end; body bytes pass through it.
std::size_t ReadBufferLimit(const RequestLimits& limits);

// A parser for the next request: its head bounded as the limits say, its
// body's bound checked once the head is in.
void PrepareParser(RequestParser& parser, const RequestLimits& limits);

// The status a request head is refused with before its body is read, or 0:
// 431 for too many fields; 400 for framing a proxy in front could read
// differently (two Content-Length fields, one that is not plain decimal,
// Content-Length with Transfer-Encoding, a coding other than chunked,
// chunked on HTTP/1.0) and for an HTTP/1.1 request without exactly one
// well-formed Host; 413 for a declared body over the bound.
unsigned RefusalOfHead(const RequestParser& parser, const RequestLimits& limits);

// The status a whole request is refused with once its trailer fields are
// in: 431 when head and trailer fields together pass the bound; or 0.
unsigned RefusalOfTrailer(const RequestParser& parser, const RequestLimits& limits);

// The client a request is counted, limited and logged as: the peer, or,
// when the peer is a trusted proxy that names one, the client it names (as
// REMOTE_ADDR will say). A peer that is not trusted cannot choose it.
std::string ClientOfRequest(const ReceivedRequest& request, std::string_view peer,
                            const TrustedProxies& proxies);

// The connection a request came on.
struct ConnectionFacts {
  std::string_view remote_addr;
  std::string_view remote_port;
  std::string_view local_addr;
  std::string_view local_port;
  bool tls = false;
};

struct InputSettings {
  std::string_view script_name;
  std::string_view software;
  const TrustedProxies* trusted_proxies = nullptr;
};

// The module's input: the request's texts, its body (moved out), and its
// server variables from the first `head_fields` fields (trailer fields
// become no variables) and the connection, behind a trusted proxy the
// client's side as the proxy reports it. `rejected` receives a line for
// each forwarded value that was ignored.
RequestInput BuildRequestInput(ReceivedRequest& request, std::size_t head_fields,
                               const ConnectionFacts& connection, const InputSettings& settings,
                               std::vector<std::string>* rejected);

}  // namespace hosts
