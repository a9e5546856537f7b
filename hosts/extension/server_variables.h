// The server variables of one request and the extension interface's rules
// for handing one of them to the extension through GetServerVariable.
#pragma once

#include <cstddef>
#include <cstdint>
#include <forward_list>
#include <string>
#include <string_view>
#include <vector>

#include "dudarovuvadu/httpext.h"
#include "hosts/extension/text_arena.h"

namespace hosts {

// What a host knows of one request and the connection it came on, under the
// names of the variables an extension reads them by.
struct RequestFacts {
  std::string_view remote_addr;   // REMOTE_ADDR, and REMOTE_HOST (no name look-up)
  std::string_view remote_port;   // REMOTE_PORT
  std::string_view local_addr;    // LOCAL_ADDR
  std::string_view server_name;   // SERVER_NAME
  std::string_view server_port;   // SERVER_PORT
  bool tls = false;               // SERVER_PORT_SECURE "1" or "0", HTTPS "on" or "off"
  std::string_view protocol;      // SERVER_PROTOCOL
  std::string_view software;      // SERVER_SOFTWARE
  std::string_view method;        // REQUEST_METHOD
  std::string_view script_name;   // SCRIPT_NAME
  std::string_view path;          // URL and PATH_INFO
  std::string_view query;         // QUERY_STRING
  std::string_view content_type;  // CONTENT_TYPE
};

// The server name of a request: the name part of its Host header
// ("portal.example:8080" -> "portal.example", "[::1]:80" -> "[::1]") when
// it is a well-formed authority (the module writes SERVER_NAME into the
// pages and URLs it builds), else the local address, an IPv6 one in
// brackets.
std::string ServerNameOf(std::string_view host_header, std::string_view local_addr);

// The variables live in one text arena and one index, reserved once for a
// request, so that building them costs two allocations in all; names the
// host sets are literals, never copied.
class ServerVariables {
 public:
  ServerVariables() = default;
  // Views into the variables' own storage: moved, never copied.
  ServerVariables(const ServerVariables&) = delete;
  ServerVariables& operator=(const ServerVariables&) = delete;
  ServerVariables(ServerVariables&&) noexcept = default;
  ServerVariables& operator=(ServerVariables&&) noexcept = default;

  // Makes room for what SetRequestVariables sets from `facts`, for
  // CONTENT_LENGTH, for the few a trusted proxy's report replaces, and for
  // `headers` request headers whose names and values come to `header_bytes`
  // in all: adding them then takes no further allocation.
  void ReserveForRequest(const RequestFacts& facts, std::size_t headers, std::size_t header_bytes);

  // Sets (or replaces) a variable. Names are matched ignoring case.
  void Set(std::string_view name, std::string_view value);

  // CONTENT_LENGTH, in decimal.
  void SetContentLength(std::uint64_t length);

  // Keeps a request header. It is served as "HTTP_" + its name in capitals
  // with "-" made "_" (User-Agent -> HTTP_USER_AGENT); a header that comes
  // twice has its values joined with ", ", as a proxy would fold them; and
  // ALL_HTTP lists every header as "HTTP_NAME:value\n". A name with an
  // underscore is dropped: it would be served under the same variable as
  // the dashed name a proxy sets (X_Forwarded_For as X-Forwarded-For).
  // Variables of headers are built only when asked for.
  void AddRequestHeader(std::string_view name, std::string_view value);

  // The variables every host serves, from `facts`; PATH_TRANSLATED is empty
  // (no file system mapping) and GATEWAY_INTERFACE "CGI/1.1". CONTENT_LENGTH
  // is the host's to set once it knows the body.
  void SetRequestVariables(const RequestFacts& facts);

  // The value, or nullptr for an unknown name. The pointer stays valid
  // until the variables are changed or destroyed; a copy of the view it
  // points at stays valid until they are destroyed, whatever is set after.
  const std::string_view* Find(std::string_view name) const;

  // GetServerVariable: on entry *size is the buffer's capacity. On success
  // the value and its terminating zero are stored and *size is the bytes
  // stored, terminator included. A buffer that is too small (or null) fails
  // with errno ENOBUFS and *size the bytes needed, and stores nothing; an
  // unknown name fails with errno ENOENT, a null name or size with EINVAL.
  bool CopyTo(const char* name, void* buffer, DWORD* size) const;

 private:
  // A variable, or a request header (whose variables are built when asked
  // for). Both texts are literals or kept in `text_`.
  struct Entry {
    std::string_view name;
    std::string_view value;
    bool header = false;
  };
  // A value built on demand (joined headers, ALL_HTTP) and the view handed
  // out of it.
  struct Built {
    std::string text;
    std::string_view view;
  };

  Entry* FindVariable(std::string_view name);
  // Sets `name` to `value`, both literals or already kept.
  void SetKept(std::string_view name, std::string_view value);
  const std::string_view* FindHeaderVariable(std::string_view name) const;
  const std::string_view* KeepBuilt(std::string text) const;

  TextArena text_;
  std::vector<Entry> entries_;
  // A list's nodes never move, so the views handed out stay valid.
  mutable std::forward_list<Built> built_;
};

}  // namespace hosts
