// Parsing of request and server files.

#include "backend_kit/request_file.h"

#include <algorithm>
#include <vector>

#include "backend_kit/escapes.h"
#include "backend_kit/spool_text.h"

namespace backend_kit {

namespace {

constexpr std::size_t kRequestLines = 6;

}  // namespace

bool RequestFileComplete(std::string_view text) {
  return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')) >= kRequestLines;
}

std::variant<Request, Malformed> ParseRequestFile(std::string_view text) {
  if (text.size() > kMaxRequestFileBytes) {
    return Malformed{"the request file is larger than " + std::to_string(kMaxRequestFileBytes) +
                     " bytes"};
  }
  if (text.empty() || text.back() != '\n') {
    return Malformed{"the request file does not end with a line end"};
  }
  const std::vector<std::string> lines = SplitLines(text);
  if (lines.size() < kRequestLines) {
    return Malformed{"the request file has " + std::to_string(lines.size()) +
                     " lines where six are expected"};
  }
  Request request;
  request.script_name = lines[0];
  request.logon = lines[1];
  request.command = lines[2];
  request.ticket = lines[3];
  request.p2 = lines[4];
  for (std::size_t i = 5; i < lines.size(); ++i) {
    if (i > 5) request.p3.push_back('\n');
    request.p3 += lines[i];
  }
  // The script name, command and ticket come from the module itself and
  // never hold control characters; finding some means the file is not a
  // request file.
  if (HasControlBytes(request.script_name) || HasControlBytes(request.command) ||
      HasControlBytes(request.ticket)) {
    return Malformed{"the request file holds control characters in its first lines"};
  }
  if (request.script_name.empty() || request.script_name.front() != '/') {
    return Malformed{"the request file does not begin with the script name"};
  }
  return request;
}

std::optional<ServerInfo> ParseServerFile(std::string_view text) {
  const std::vector<std::string> lines = SplitLines(text);
  if (lines.size() < 3) return std::nullopt;
  ServerInfo server{lines[0], lines[1], lines[2]};
  if (server.scheme.empty() || server.name.empty() || server.port.empty()) return std::nullopt;
  if (HasControlBytes(server.scheme) || HasControlBytes(server.name) ||
      HasControlBytes(server.port)) {
    return std::nullopt;
  }
  return server;
}

std::string ModuleUrl(const ServerInfo& server, std::string_view script_name) {
  std::string url = server.scheme;
  url += "://";
  url += server.name;
  url += ':';
  url += server.port;
  url += script_name;
  return url;
}

}  // namespace backend_kit
