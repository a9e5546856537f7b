// What the reload URL of a wait page is built from, for every command that
// spools a request: the server's texts, and the scheme rule that uses "http"
// only on the ports the portal is served in clear on, unless the server says
// the request itself came over TLS.
#pragma once

#include <string_view>

#include "gateway/request_context.h"
#include "spool/ticket_exchange.h"

namespace commands {

// "http" when `server_port` is exactly "80", "8000" or "8080" (compared as
// text, so "080" and "" do not count), otherwise "https".
std::string_view SchemeForPort(std::string_view server_port);

// The scheme of the reload URL: "https" when the server's "HTTPS" variable is
// exactly "on" (the request came over TLS, so a reload in clear on that port
// would never be answered), otherwise the port rule above.
std::string_view SchemeForRequest(std::string_view server_port, std::string_view https);

// Reads "SERVER_NAME", "SERVER_PORT" and "SCRIPT_NAME", in that order, each
// into a buffer of 250 bytes, and applies the scheme rule; only when the port
// rule gives "http" is "HTTPS" read too. A variable that does not fit its
// buffer or cannot be read counts as the empty text.
spool::ServerTexts ReadServerTexts(gateway::RequestContext& context);

}  // namespace commands
