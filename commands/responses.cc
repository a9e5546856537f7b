// Plain replies, error pages and file downloads of the portal commands.
#include "commands/responses.h"

#include <algorithm>
#include <array>
#include <limits>

#include "commands/file_names.h"
#include "gateway/html_escape.h"
#include "gateway/html_stream.h"

namespace commands {

namespace {

// One read of a download, the size of the handlers' line buffer.
constexpr std::size_t kChunkSize = 1024;

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
  gateway::HtmlStream part(gateway::kStreamGrowthStep);
  std::uint64_t sent = 0;
  if (length > 0 && file.Seek(static_cast<std::int64_t>(offset))) {
    // Room for the whole part at once: the capacity is the one the chunks
    // would grow it to, without a reallocation (and possibly a copy) every
    // few chunks.
    part.Grow(static_cast<std::uint32_t>(
        std::min<std::uint64_t>(length, std::numeric_limits<std::uint32_t>::max())));
    std::array<unsigned char, kChunkSize> chunk{};
    while (sent < length) {
      const std::size_t want =
          static_cast<std::size_t>(std::min<std::uint64_t>(length - sent, chunk.size()));
      const std::size_t got = file.Read(chunk.data(), want);
      if (got == 0) break;
      part.Write(chunk.data(), static_cast<std::uint32_t>(got));
      sent += got;
    }
  }
  file.Close();

  for (const std::string_view header : ContentTypeHeaders(type_name)) {
    extension.AddHeaderLine(context, header);
  }
  extension.AddHeaderLine(context, "Content-length: " + std::to_string(sent) + "\r\n");
  if (context.stream() != nullptr) context.stream()->Append(part);
}

}  // namespace commands
