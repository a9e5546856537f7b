// The server texts of the reload URL; the port text chooses its scheme.
#include "commands/scheme.h"

#include <cstdint>
#include <string>

namespace commands {

namespace {

// Buffer capacity of each server text, terminator included.
constexpr std::uint32_t kServerTextCapacity = 250;
constexpr std::uint32_t kHttpsTextCapacity = 10;

}  // namespace

std::string_view SchemeForPort(std::string_view server_port) {
  if (server_port == "80" || server_port == "8000" || server_port == "8080") return "http";
  return "https";
}

std::string_view SchemeForRequest(std::string_view server_port, std::string_view https) {
  if (https == "on") return "https";
  return SchemeForPort(server_port);
}

spool::ServerTexts ReadServerTexts(gateway::RequestContext& context) {
  spool::ServerTexts server;
  server.server_name = context.ServerVariable("SERVER_NAME", kServerTextCapacity);
  server.server_port = context.ServerVariable("SERVER_PORT", kServerTextCapacity);
  server.script_name = context.ServerVariable("SCRIPT_NAME", kServerTextCapacity);
  std::string_view scheme = SchemeForPort(server.server_port);
  if (scheme == "http") {
    // "HTTPS" holds "on" or "off"; 10 bytes leave room for either.
    const std::string https = context.ServerVariable("HTTPS", kHttpsTextCapacity);
    scheme = SchemeForRequest(server.server_port, https);
  }
  server.scheme = std::string(scheme);
  return server;
}

}  // namespace commands
