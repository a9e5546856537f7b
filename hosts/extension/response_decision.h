// The one place that decides what a response's head says, for both hosts:
// its status (with the rule for a failure that sent nothing), its reason
// phrase and the header fields a host must drop. A host only writes out the
// head it is handed.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace hosts {

// The status to answer with: the header call's status line when it has a
// readable code, else the status recorded in the control block (500 when
// out of 100-999). A call that failed without a word -- no header call,
// nothing written, the status left at 200 -- is no success: 500.
unsigned DecideStatus(std::optional<unsigned> status_line_code, bool header_call,
                      bool nothing_written, bool failed, std::uint32_t recorded);

// The reason phrase to send with `status`: the extension's own when it gave
// one that may go on the wire (`extension_reason`, checked by the framer),
// else the standard phrase, "Unknown" for a code without one.
std::string_view DecideReason(unsigned status, std::string_view extension_reason);

// The standard reason phrase of a status code, "Unknown" for others.
std::string_view StandardReason(unsigned status);

// Header fields the extension may not send: the connection's fate is the
// host's to say (Content-Length and Transfer-Encoding never reach a head:
// the response split leaves them out).
bool HostDecidesHeader(std::string_view name);

}  // namespace hosts
