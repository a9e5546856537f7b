// The scheme rule: the port text chooses the scheme of the reload URL.
#include "commands/scheme.h"

namespace commands {

std::string_view SchemeForPort(std::string_view server_port) {
  if (server_port == "80" || server_port == "8000" || server_port == "8080") return "http";
  return "https";
}

}  // namespace commands
