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

// `used` + `more` bytes as a stream capacity to grow to; a part too large for
// a stream asks for its largest size, and writing it raises the stream's error.
std::uint32_t FitCapacity(std::uint32_t used, std::uint64_t more) {
  const std::uint64_t needed = used + more;
  return static_cast<std::uint32_t>(
      std::min<std::uint64_t>(needed, std::numeric_limits<std::uint32_t>::max()));
}

// Reads up to `length` bytes from `offset` in chunks and writes them to
// `stream`; returns how many were read (fewer when the file is shorter).
// Closes the file.
std::uint64_t ReadPart(platform::File& file, std::uint64_t offset, std::uint64_t length,
                       gateway::HtmlStream& stream) {
  std::uint64_t sent = 0;
  if (length > 0 && file.Seek(static_cast<std::int64_t>(offset))) {
    std::array<unsigned char, kChunkSize> chunk{};
    while (sent < length) {
      const std::size_t want =
          static_cast<std::size_t>(std::min<std::uint64_t>(length - sent, chunk.size()));
      const std::size_t got = file.Read(chunk.data(), want);
      if (got == 0) break;
      stream.Write(chunk.data(), static_cast<std::uint32_t>(got));
      sent += got;
    }
  }
  file.Close();
  return sent;
}

void AddPartHeaders(gateway::WebExtension& extension, gateway::RequestContext& context,
                    std::string_view type_name, std::uint64_t length) {
  for (const std::string_view header : ContentTypeHeaders(type_name)) {
    extension.AddHeaderLine(context, header);
  }
  extension.AddHeaderLine(context, "Content-length: " + std::to_string(length) + "\r\n");
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
  gateway::HtmlStream* response = context.stream();
  if (response != nullptr && response->size() == 0) {
    // Nothing precedes the part: it goes straight into the response behind
    // its headers, so the file is held in memory once, not twice.
    AddPartHeaders(extension, context, type_name, length);
    const std::uint32_t body_start = response->size();
    // Room for the part and the terminator the request cycle adds.
    response->Grow(FitCapacity(body_start, length + 1));
    const std::uint64_t sent = ReadPart(file, offset, length, *response);
    if (sent != length) {
      // The file shrank while it was read: the length header counts what
      // really follows.
      const std::string body(response->view().substr(body_start));
      response->Reset();
      AddPartHeaders(extension, context, type_name, sent);
      response->WriteText(body);
    }
    return;
  }
  // Something is already written: build the part apart and append it after
  // its headers.
  gateway::HtmlStream part(gateway::kStreamGrowthStep);
  part.Grow(FitCapacity(0, length));
  const std::uint64_t sent = ReadPart(file, offset, length, part);
  AddPartHeaders(extension, context, type_name, sent);
  if (response != nullptr) response->Append(part);
}

}  // namespace commands
