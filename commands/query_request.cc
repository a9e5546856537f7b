// Server texts and the client-address rule of the query commands.
#include "commands/query_request.h"

#include "commands/scheme.h"
#include "gateway/ascii_case.h"

namespace commands {

QueryServerTexts ReadQueryServerTexts(gateway::RequestContext& context) {
  QueryServerTexts texts;
  texts.client_address = context.ServerVariable("REMOTE_ADDR", kClientAddressCapacity);
  texts.server.server_name = context.ServerVariable("SERVER_NAME", kServerTextCapacity);
  texts.server.server_port = context.ServerVariable("SERVER_PORT", kServerTextCapacity);
  texts.server.script_name = context.ServerVariable("SCRIPT_NAME", kServerTextCapacity);
  texts.server.scheme = std::string(SchemeForPort(texts.server.server_port));
  return texts;
}

bool SendsClientAddress(std::string_view command, std::string_view p3) {
  if (command == "customlogin") return true;
  return gateway::EqualsIgnoringAsciiCase(p3, "[ip]");
}

}  // namespace commands
