// What the reload URL of a wait page is built from, for every command that
// spools a request: the server's texts, and the scheme rule that uses "http"
// only on the ports the portal is served in clear on.
#pragma once

#include <string_view>

#include "gateway/request_context.h"
#include "spool/ticket_exchange.h"

namespace commands {

// "http" when `server_port` is exactly "80", "8000" or "8080" (compared as
// text, so "080" and "" do not count), otherwise "https".
std::string_view SchemeForPort(std::string_view server_port);

// Reads "SERVER_NAME", "SERVER_PORT" and "SCRIPT_NAME", in that order, each
// into a buffer of 250 bytes, and applies the scheme rule. A variable that
// does not fit its buffer or cannot be read counts as the empty text.
spool::ServerTexts ReadServerTexts(gateway::RequestContext& context);

}  // namespace commands
