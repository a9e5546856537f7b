// Placeholder until this handler is written: it answers with an empty body.
#include "commands/portal_commands.h"

namespace commands {

void DoCommand(gateway::WebExtension&, gateway::RequestContext&, const char*, const char*, const char*, const char*, const char*, const char*) {}

}  // namespace commands
