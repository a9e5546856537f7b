// What DoCommand and DoKommand read and decide alike before a request goes to
// the ticket exchange: the server's texts for the reload URL, the client
// address, and when that address replaces the client's p3.
#pragma once

#include <string>
#include <string_view>

#include "gateway/request_context.h"
#include "spool/ticket_exchange.h"

namespace commands {

// Buffer capacity of the client address, terminator included.
inline constexpr std::uint32_t kClientAddressCapacity = 80;

struct QueryServerTexts {
  spool::ServerTexts server;   // scheme by the port, server name, port, script name
  std::string client_address;  // "REMOTE_ADDR"
};

// Reads what a request of `command` with `p1` and `p3` needs of the server's
// variables: "REMOTE_ADDR" when the client address replaces p3
// (SendsClientAddress), the server texts (ReadServerTexts) for a new request
// (an empty p1), whose wait page they go into. A poll needs neither and
// leaves both empty. A variable that does not fit its buffer or cannot be
// read counts as the empty text.
QueryServerTexts ReadQueryServerTexts(gateway::RequestContext& context, std::string_view command,
                                      std::string_view p1, std::string_view p3);

// True when the back-end gets the client address as p3: for "customlogin"
// (exact) and for a p3 of "[ip]" in any letter case.
bool SendsClientAddress(std::string_view command, std::string_view p3);

}  // namespace commands
