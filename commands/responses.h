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

// Makes `length` bytes of `file` from `offset` the whole body of a download:
// header lines added before stay, body text written before is dropped; the
// content-type headers `type_name` selects and "Content-length: %d\r\n" go
// into the response now; the bytes follow them when the response is sent,
// read in bounded pieces (WebExtension::SendFileBody). The part is first
// fitted to the file's size at this moment, so the length header counts the
// bytes that really follow. Takes the file over (it is closed here or once
// sent).
void StreamFilePart(gateway::WebExtension& extension, gateway::RequestContext& context,
                    platform::File& file, std::uint64_t offset, std::uint64_t length,
                    std::string_view type_name);

}  // namespace commands
