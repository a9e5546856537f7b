// Answer delivery: what a query command sends back once the ticket exchange
// has named a file. The file is the back-end's answer or the wait page; its
// first line may name a file to download instead.
#pragma once

#include <string>
#include <string_view>

#include "gateway/request_context.h"
#include "gateway/web_extension.h"
#include "spool/text_file.h"

namespace commands {

// Capacity of a download name taken from an answer's first line, terminator
// included: at most 255 characters.
inline constexpr std::size_t kDownloadNameCapacity = 256;

// The most of an answer file that is delivered: the response buffer cannot
// hold more than 4 GiB.
inline constexpr std::size_t kMaxAnswerBytes = 0xFFFFFFFFu;

// Delivers the spool result `spool_result`: an error page for "!" and its
// text; otherwise the named text file as a download answer (its first line
// names a file), a phone answer (when `phone_answer`: DoCommand for a phone
// command) or the ordinary answer (the file's text as read). A non-empty
// `own_wait_page` (a wait page the exchange built for this request alone) is
// delivered in place of the file the result names.
void DeliverAnswer(gateway::WebExtension& extension, gateway::RequestContext& context,
                   const std::string& spool_result, bool phone_answer,
                   std::string_view own_wait_page = {});

// Writes the rest of `file` to the body, line by line as read, and closes it.
void CopyRemainingLines(gateway::WebExtension& extension, gateway::RequestContext& context,
                        spool::TextFileReader& file);

}  // namespace commands
