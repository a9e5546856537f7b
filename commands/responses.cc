// Plain replies, error pages and file downloads of the portal commands.
#include "commands/responses.h"

#include <algorithm>
#include <string>
#include <utility>

#include "commands/file_names.h"
#include "gateway/html_escape.h"
#include "gateway/html_stream.h"

namespace commands {

namespace {

void AddPartHeaders(gateway::WebExtension& extension, gateway::RequestContext& context,
                    std::string_view type_name, std::uint64_t length) {
  for (const std::string_view header : ContentTypeHeaders(type_name)) {
    extension.AddHeaderLine(context, header);
  }
  extension.AddHeaderLine(context, "Content-length: " + std::to_string(length) + "\r\n");
}

// Leaves only the header block in the response: body text written before a
// download is dropped, so no caller can turn it into header lines or make
// the length header wrong.
void KeepHeaderBlockOnly(gateway::RequestContext& context) {
  gateway::HtmlStream& stream = *context.stream();
  const std::uint32_t mark = std::min(context.end_of_headers(), stream.size());
  if (mark == stream.size()) return;
  const std::string header_block(stream.view().substr(0, mark));
  stream.Reset();
  stream.WriteText(header_block);
}

}  // namespace

void WritePlainReply(gateway::WebExtension& extension, gateway::RequestContext& context,
                     std::string_view text) {
  extension.WriteText(context, text);
}

void WriteErrorPage(gateway::WebExtension& extension, gateway::RequestContext& context,
                    std::string_view before, std::string_view shown, std::string_view after) {
  extension.StartPage(context);
  extension.WritePageTitle(context);
  extension.WriteText(context, before);
  extension.WriteText(context, gateway::EscapeHtml(shown));
  extension.WriteText(context, after);
  extension.EndPage(context);
}

void StreamFilePart(gateway::WebExtension& extension, gateway::RequestContext& context,
                    platform::File& file, std::uint64_t offset, std::uint64_t length,
                    std::string_view type_name) {
  if (context.stream() == nullptr) {
    file.Close();
    return;
  }
  // Fit the part to the file as it is now, so the length header counts the
  // bytes that really follow.
  const std::int64_t size = file.Size();
  const std::uint64_t available = size > 0 && offset < static_cast<std::uint64_t>(size)
                                      ? static_cast<std::uint64_t>(size) - offset
                                      : 0;
  length = std::min(length, available);
  KeepHeaderBlockOnly(context);
  AddPartHeaders(extension, context, type_name, length);
  // The bytes are read and sent in bounded pieces after the headers, when
  // the response goes out: the part never lies in memory whole.
  if (length > 0) {
    context.set_file_body(std::move(file), offset, length);
  } else {
    file.Close();
  }
}

}  // namespace commands
