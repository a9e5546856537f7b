// The server variables of one request and the extension interface's rules
// for handing one of them to the extension through GetServerVariable.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "dudarovuvadu/httpext.h"

namespace hosts {

class ServerVariables {
 public:
  // Sets (or replaces) a variable. Names are matched ignoring case.
  void Set(std::string_view name, std::string value);

  // Adds a request header as "HTTP_" + its name in capitals with "-" made
  // "_" (User-Agent -> HTTP_USER_AGENT). A header that comes twice gets its
  // values joined with ", ", as a proxy would fold them. Also kept for
  // ALL_HTTP, which lists every header as "HTTP_NAME:value\n".
  void AddRequestHeader(std::string_view name, std::string_view value);

  // The value, or nullptr for an unknown name.
  const std::string* Find(std::string_view name) const;

  // GetServerVariable: on entry *size is the buffer's capacity. On success
  // the value and its terminating zero are stored and *size is the bytes
  // stored, terminator included. A buffer that is too small (or null) fails
  // with errno ENOBUFS and *size the bytes needed, and stores nothing; an
  // unknown name fails with errno ENOENT, a null name or size with EINVAL.
  bool CopyTo(const char* name, void* buffer, DWORD* size) const;

 private:
  std::vector<std::pair<std::string, std::string>> variables_;
  std::string all_http_;
};

}  // namespace hosts
