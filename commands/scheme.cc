// The server texts of the reload URL; the port text chooses its scheme.
#include "commands/scheme.h"

#include <cstdint>
#include <string>

namespace commands {

namespace {

// Buffer capacity of each server text, terminator included.
constexpr std::uint32_t kServerTextCapacity = 250;

}  // namespace

std::string_view SchemeForPort(std::string_view server_port) {
  if (server_port == "80" || server_port == "8000" || server_port == "8080") return "http";
  return "https";
}

spool::ServerTexts ReadServerTexts(gateway::RequestContext& context) {
  spool::ServerTexts server;
  server.server_name = context.ServerVariable("SERVER_NAME", kServerTextCapacity);
  server.server_port = context.ServerVariable("SERVER_PORT", kServerTextCapacity);
  server.script_name = context.ServerVariable("SCRIPT_NAME", kServerTextCapacity);
  server.scheme = std::string(SchemeForPort(server.server_port));
  return server;
}

}  // namespace commands
