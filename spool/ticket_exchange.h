// The ticket exchange: a request without a ticket is spooled for the back-end
// (request file, server file, wait page) under a new ticket; a request that
// carries its ticket is a poll that picks up the answer once the ready flag
// exists. The caller streams the file whose path comes back.
#pragma once

#include <string>
#include <string_view>

namespace spool {

// The web server's texts that the wait page's reload URL is built from.
struct ServerTexts {
  std::string scheme;       // "http" or "https"
  std::string server_name;  // "SERVER_NAME"
  std::string server_port;  // "SERVER_PORT"
  std::string script_name;  // "SCRIPT_NAME"
};

// Returns the spool result: the path of the file to stream (answer file or
// wait file), or "!" followed by an error text. Never longer than 255
// characters. `ticket_out`, when given, receives the ticket the request
// carries from now on.
std::string ExchangeTicket(const ServerTexts& server, std::string_view logon,
                           std::string_view command, std::string_view p1, std::string_view p2,
                           std::string_view p3, std::string* ticket_out);

}  // namespace spool
