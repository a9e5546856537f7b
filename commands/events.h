// "newevent": a client records an event for the back-end, one line appended
// to the user's event file, without a ticket.
#pragma once

#include <string_view>

#include "gateway/request_context.h"
#include "gateway/web_extension.h"

namespace commands {

// Appends "p1;p2;p3" and a line end to events/<logon>.evt under
// `install_root` and answers "Done". A logon that cannot name its own event
// file, or a field holding a line end (it would forge further events), is
// refused with an error page and nothing is written. A line that cannot be
// written is reported with an error page, never with "Done".
void RecordEvent(gateway::WebExtension& extension, gateway::RequestContext& context,
                 std::string_view install_root, std::string_view logon, std::string_view p1,
                 std::string_view p2, std::string_view p3);

}  // namespace commands
