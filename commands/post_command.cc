// Placeholder until this handler is written: it answers with an empty body.
#include "commands/portal_commands.h"

namespace commands {

void PostCommand(gateway::WebExtension&, gateway::RequestContext&, const char*, std::uint32_t) {}

}  // namespace commands
