// Server texts and the client-address rule of the query commands.
#include "commands/query_request.h"

#include "commands/scheme.h"
#include "text/ascii.h"

namespace commands {

QueryServerTexts ReadQueryServerTexts(gateway::RequestContext& context, std::string_view command,
                                      std::string_view p1, std::string_view p3) {
  QueryServerTexts texts;
  if (SendsClientAddress(command, p3)) {
    texts.client_address = context.ServerVariable("REMOTE_ADDR", kClientAddressCapacity);
  }
  if (p1.empty()) texts.server = ReadServerTexts(context);
  return texts;
}

bool SendsClientAddress(std::string_view command, std::string_view p3) {
  if (command == "customlogin") return true;
  return text::EqualsIgnoringAsciiCase(p3, "[ip]");
}

}  // namespace commands
