// The portal's command handlers, as the command map calls them.
#pragma once

#include <cstdint>

#include "gateway/request_context.h"
#include "gateway/web_extension.h"

namespace commands {

// Query commands: every parameter absent from the query arrives as "".
void DoCommand(gateway::WebExtension& extension, gateway::RequestContext& context,
               const char* logon, const char* command, const char* p1, const char* p2,
               const char* p3, const char* token);
void DoKommand(gateway::WebExtension& extension, gateway::RequestContext& context,
               const char* logon, const char* command, const char* p1, const char* p2,
               const char* p3);

// Raw-body commands: the posted body as received, `count` bytes. PostCommand
// gets it without the trailing spaces, CR and LF the request cycle trims (a
// form's line end is no part of it); StoreData gets every byte.
void PostCommand(gateway::WebExtension& extension, gateway::RequestContext& context,
                 const char* body, std::uint32_t count);
void StoreData(gateway::WebExtension& extension, gateway::RequestContext& context, const char* body,
               std::uint32_t count);

}  // namespace commands
