// RequestContext: one request's view of the host (server variables) and the
// response under construction (stream plus end-of-headers mark).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "dudarovuvadu/httpext.h"
#include "gateway/html_stream.h"
#include "platform/file.h"

namespace gateway {

class RequestContext {
 public:
  explicit RequestContext(EXTENSION_CONTROL_BLOCK* request) : request_(request) {}
  RequestContext(const RequestContext&) = delete;
  RequestContext& operator=(const RequestContext&) = delete;

  // The host's GetServerVariable. On entry *size is the buffer's capacity; on
  // success the buffer holds the zero-terminated value and *size the bytes
  // stored. On failure the buffer's content is unspecified and *size is what
  // the host reported (for a too-small buffer, the size it needs).
  bool ReadServerVariable(const char* name, char* buffer, std::uint32_t* size);

  // The variable's value read into a buffer of `capacity` bytes, as the
  // handlers' fixed buffers do. A value that does not fit (capacity - 1
  // characters at most) or cannot be read counts as the empty text.
  std::string ServerVariable(const char* name, std::uint32_t capacity);

  EXTENSION_CONTROL_BLOCK* platform_request() const { return request_; }

  HtmlStream* stream() const { return stream_.get(); }
  void set_stream(std::unique_ptr<HtmlStream> stream) { stream_ = std::move(stream); }
  // Hands the stream over to whoever sends the response after the context
  // is gone (a write that completes later).
  std::unique_ptr<HtmlStream> TakeStream() { return std::move(stream_); }

  std::uint32_t end_of_headers() const { return end_of_headers_; }
  void set_end_of_headers(std::uint32_t mark) { end_of_headers_ = mark; }

  // The request text the cycle dispatches (query string copy or body), the
  // bytes received, and how many remain once the trailing spaces, CR and LF
  // are left out (never the first byte). The text stays as received: the
  // parse and the binders of parsed arguments end it at the trimmed count, a
  // raw-data command takes every received byte.
  void set_request_text(char* text, std::uint32_t received_count, std::uint32_t trimmed_count) {
    request_text_ = text;
    received_count_ = received_count;
    trimmed_count_ = trimmed_count;
  }
  char* request_text() const { return request_text_; }
  std::uint32_t received_count() const { return received_count_; }
  std::uint32_t trimmed_count() const { return trimmed_count_; }

  // Where `text` lies in the request text: its offset, or nothing when it
  // is not part of it.
  std::optional<std::uint32_t> OffsetInRequestText(const char* text) const;
  // The part of the text from `text` to the trimmed end, cut at a zero byte
  // as every text that is parsed; a text that is not part of the request
  // text runs to its own zero byte.
  std::string_view TrimmedFrom(const char* text) const;
  // Ends the request text at `count` bytes: a zero byte there, and the
  // trimmed count no larger. For the binders of parsed arguments, which read
  // zero-ended texts, and for the parse when it removes a last "?".
  void EndRequestTextAt(std::uint32_t count);

  // How a file part is turned into what is sent: each piece of `piece_bytes`
  // bytes read (the last one shorter), zero-filled where the file has ended,
  // goes out as `encode` appends it to its text. A whole number of pieces
  // must encode exactly as the whole part would.
  struct PieceEncoding {
    std::uint32_t piece_bytes;
    void (*encode)(std::span<const unsigned char> bytes, std::string& text);
  };

  // A part of an open file that follows the stream's body when the response
  // is sent, so that a download is never held in memory whole: its bytes as
  // they are (encoding null; a file that ends before the part fails it), or
  // as an encoding gives them. The request cycle reads it in bounded pieces;
  // the file closes with the context at the latest.
  struct FileBody {
    platform::File file;
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
    const PieceEncoding* encoding = nullptr;
  };
  void set_file_body(platform::File file, std::uint64_t offset, std::uint64_t length,
                     const PieceEncoding* encoding = nullptr) {
    file_body_.file = std::move(file);
    file_body_.offset = offset;
    file_body_.length = length;
    file_body_.encoding = encoding;
  }
  FileBody& file_body() { return file_body_; }
  bool has_file_body() const { return file_body_.file.is_open(); }
  // Forgets the file part and closes its file.
  void DropFileBody() { file_body_ = FileBody(); }

 private:
  EXTENSION_CONTROL_BLOCK* request_;
  std::unique_ptr<HtmlStream> stream_;
  std::uint32_t end_of_headers_ = 0;
  char* request_text_ = nullptr;
  std::uint32_t received_count_ = 0;
  std::uint32_t trimmed_count_ = 0;
  FileBody file_body_;
};

}  // namespace gateway
