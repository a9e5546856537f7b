// The response shapes of the portal commands: the plain reply, the error
// page, and a file part streamed as a download after its headers.
#pragma once

#include <cstdint>
#include <string_view>

#include "gateway/request_context.h"
#include "gateway/web_extension.h"
#include "platform/file.h"

namespace commands {

// One short text as the whole body: no header, no page frame.
void WritePlainReply(gateway::WebExtension& extension, gateway::RequestContext& context,
                     std::string_view text);

// The error page: page start, title, then `before`, `shown` HTML-escaped and
// `after`, then page end. `before` and `after` are this system's own texts;
// `shown` is whatever the page reports (a path, a name, an error text) and
// may carry request text.
void WriteErrorPage(gateway::WebExtension& extension, gateway::RequestContext& context,
                    std::string_view before, std::string_view shown = {},
                    std::string_view after = {});

// Sends `length` bytes of `file` from `offset` as the body of a download: the
// content-type headers `type_name` selects, "Content-length: %d\r\n", then
// the bytes, read in chunks of 1024. When the response is still empty the
// bytes go straight into it; otherwise they are gathered in a stream of the
// handler's own and appended after the headers. The length header counts the
// bytes actually read, so a file that shrinks meanwhile still gives a
// consistent answer. Closes the file.
void StreamFilePart(gateway::WebExtension& extension, gateway::RequestContext& context,
                    platform::File& file, std::uint64_t offset, std::uint64_t length,
                    std::string_view type_name);

}  // namespace commands
