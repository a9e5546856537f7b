// The ticket exchange: a request without a ticket is spooled for the back-end
// (request file, server file, wait page) under a new ticket; a request that
// carries its ticket is a poll that picks up the answer once the ready flag
// exists. The caller streams the file whose path comes back.
#pragma once

#include <string>
#include <string_view>

#include "spool/install_root.h"

namespace spool {

// The web server's texts that the wait page's reload URL is built from.
struct ServerTexts {
  std::string scheme;       // "http" or "https"
  std::string server_name;  // "SERVER_NAME"
  std::string server_port;  // "SERVER_PORT"
  std::string script_name;  // "SCRIPT_NAME"
};

// Spool results that are not "!Can't create <path>".
inline constexpr std::string_view kInvalidTicketResult = "!Invalid ticket";
inline constexpr std::string_view kLineEndResult = "!Invalid parameter (line end)";

// Returns the spool result: the path of the file to stream (answer file or
// wait file) under `root`, or "!" followed by an error text. Never longer than 255
// characters. `ticket_out`, when given, receives the ticket the request
// carries from now on.
//
// A non-empty p1 is a poll and must be a ticket the counter can issue: the
// decimal text of 1 to 1000000, without sign, blank or leading zero;
// anything else gives "!Invalid ticket" and touches no file. A poll is
// answered only when its logon, command, p2 and p3 are those the ticket's
// request was spooled with, as its wait file records them (what its own
// reload sends back); any other poll gives "!Invalid ticket" and touches no
// file. A ticket whose wait file is gone (its answer picked up) gives the
// wait file's path, which the caller cannot open. A new request whose texts
// hold a CR or LF (they would add lines to the request file) gives
// "!Invalid parameter (line end)" before a ticket is taken.
//
// A new request that draws a ticket still in use gets a wait page without
// ticket that belongs to it alone: it comes back in `own_wait_page` (written
// nowhere), and the result names out/wait.tmp for the trace. Callers stream
// `own_wait_page` whenever it is not empty; without it that request gets
// "!Can't create <out/wait.tmp>".
std::string ExchangeTicket(const InstallRoot& root, const ServerTexts& server,
                           std::string_view logon, std::string_view command, std::string_view p1,
                           std::string_view p2, std::string_view p3, std::string* ticket_out,
                           std::string* own_wait_page = nullptr);

// The request fields an exchange works on, whether they came from a query
// or from a posted form.
struct RequestFields {
  std::string_view logon;
  std::string_view command;
  std::string_view p1;  // the ticket of a poll; empty for a new request
  std::string_view p2;
  std::string_view p3;
};

// How one caller's exchange differs from the query commands'.
struct ExchangeVariant {
  // A command holding "cisco" gets the phone's wait page (else always HTML).
  bool phone_wait_page = true;
  // A wait file that cannot be written gives "!Can't create <path>" (else
  // its path is returned all the same and the caller finds nothing).
  bool wait_file_failure_is_error = true;
};

inline constexpr ExchangeVariant kQueryExchange{true, true};
inline constexpr ExchangeVariant kPostedFormExchange{false, false};

// The exchange itself, shared by ExchangeTicket (kQueryExchange) and the
// posted-form exchange (kPostedFormExchange, no ticket out). Same results and
// refusals as ExchangeTicket.
std::string RunTicketExchange(const InstallRoot& root, const ServerTexts& server,
                              const RequestFields& fields, const ExchangeVariant& variant,
                              std::string* ticket_out, std::string* own_wait_page = nullptr);

// True when `p1` is a ticket the in counter can have issued (see above).
bool IsValidTicket(std::string_view p1);

// Command classes, case-sensitive substring tests: a basket command
// ("getqv", "fctunit") keeps its ready flag and wait file after pick-up; a
// phone command ("cisco") gets the phone's wait page and, from DoCommand,
// the phone answer.
bool IsBasketCommand(std::string_view command);
bool IsPhoneCommand(std::string_view command);

}  // namespace spool
