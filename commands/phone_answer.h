// The answer to a Cisco IP phone: an XML document with headers of its own,
// where a first line beginning with "R" (the wait page's "Refresh: ..." line)
// is sent as a header that makes the phone reload.
#pragma once

#include <string>

#include "gateway/request_context.h"
#include "gateway/web_extension.h"
#include "spool/text_file.h"

namespace commands {

// Sends the open answer or wait file `file`, whose first line (as read, line
// end included) is `first_line`, as a phone answer, and closes it.
void DeliverPhoneAnswer(gateway::WebExtension& extension, gateway::RequestContext& context,
                        spool::TextFileReader& file, std::string first_line);

}  // namespace commands
