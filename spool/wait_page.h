// The wait page of a spooled request: an HTML page (or, for a Cisco IP
// phone, a CiscoIPPhoneText document behind a Refresh header line) that
// reloads the DoCommand URL of the same request, now carrying its ticket,
// one second later.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "spool/ticket_exchange.h"

namespace spool {

// Percent-encodes every byte except ASCII letters, digits and "-._~", so
// that the value comes back unchanged through the gateway's URL decoding and
// can end neither the script string, the element nor a header line.
std::string PercentEncodeValue(std::string_view value);

// Keeps the bytes of a server text (scheme, server name, port, script name)
// that cannot end a JavaScript string, an HTML element or a header line and
// have no meaning in a URL escape; percent-encodes the others (controls,
// blank, non-ASCII, and " ' < > \ % `). Plain host names, ports and paths
// stay as they are.
std::string EncodeServerText(std::string_view text);

// "<scheme>://<name>:<port><script>?DoCommand?logon=..&command=..&p1=..
// &p2=..&p3=..", each part encoded as above. The port is always written.
std::string WaitPageTarget(const ServerTexts& server, const RequestFields& fields);

// The HTML wait page; a basket command gets its own title and text.
std::string HtmlWaitPage(std::string_view target, bool basket);

// The phone's wait page: the "Refresh: 1;url=<target>" header line, then
// the CiscoIPPhoneText document (an empty text for a "numerote" command).
std::string PhoneWaitPage(std::string_view target, bool numerote);

// The request a wait page reloads, its values decoded: what the request was
// spooled with, and so what its own browser or phone sends back when it polls.
struct WaitPageRequest {
  std::string logon;
  std::string command;
  std::string p1;
  std::string p2;
  std::string p3;

  bool operator==(const WaitPageRequest&) const = default;
};

// Reads the reload target of a wait page of either form (the HTML page's
// script string or the phone page's Refresh line) and decodes its five
// values. Nothing when the page holds no target this module wrote.
std::optional<WaitPageRequest> ReadWaitPageRequest(std::string_view page);

}  // namespace spool
