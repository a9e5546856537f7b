// What DoCommand and DoKommand read and decide alike before a request goes to
// the ticket exchange: the server's texts for the reload URL, the client
// address, and when that address replaces the client's p3.
#pragma once

#include <string>
#include <string_view>

#include "gateway/request_context.h"
#include "spool/ticket_exchange.h"

namespace commands {

// Buffer capacities of the server variables, terminator included.
inline constexpr std::uint32_t kClientAddressCapacity = 80;
inline constexpr std::uint32_t kServerTextCapacity = 250;

struct QueryServerTexts {
  spool::ServerTexts server;   // scheme by the port, server name, port, script name
  std::string client_address;  // "REMOTE_ADDR"
};

// Reads "REMOTE_ADDR", "SERVER_NAME", "SERVER_PORT" and "SCRIPT_NAME", in
// that order, and applies the scheme rule. A variable that does not fit its
// buffer or cannot be read counts as the empty text.
QueryServerTexts ReadQueryServerTexts(gateway::RequestContext& context);

// True when the back-end gets the client address as p3: for "customlogin"
// (exact) and for a p3 of "[ip]" in any letter case.
bool SendsClientAddress(std::string_view command, std::string_view p3);

}  // namespace commands
