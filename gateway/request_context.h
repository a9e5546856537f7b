// RequestContext: one request's view of the host (server variables) and the
// response under construction (stream plus end-of-headers mark).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
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

  std::uint32_t end_of_headers() const { return end_of_headers_; }
  void set_end_of_headers(std::uint32_t mark) { end_of_headers_ = mark; }

  std::uint32_t received_count() const { return received_count_; }
  void set_received_count(std::uint32_t count) { received_count_ = count; }

  // The request text the cycle dispatches (query string or body copy), and
  // what trimming did to its end: the bytes from `trimmed_at` on were spaces,
  // CR or LF and are now zero bytes. A raw-data command gets them back.
  void set_request_text(char* text, std::uint32_t trimmed_at, std::string trimmed_tail) {
    request_text_ = text;
    trimmed_at_ = trimmed_at;
    trimmed_tail_ = std::move(trimmed_tail);
  }
  char* request_text() const { return request_text_; }
  // Puts the trimmed bytes back, so the text is again exactly as received.
  void RestoreTrimmedTail();

  // A part of an open file that follows the stream's body when the response
  // is sent, so that a download is never held in memory whole. The request
  // cycle reads it in bounded pieces; the file closes with the context at the
  // latest.
  struct FileBody {
    platform::File file;
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
  };
  void set_file_body(platform::File file, std::uint64_t offset, std::uint64_t length) {
    file_body_.file = std::move(file);
    file_body_.offset = offset;
    file_body_.length = length;
  }
  FileBody& file_body() { return file_body_; }
  bool has_file_body() const { return file_body_.file.is_open(); }
  // Forgets the file part and closes its file.
  void DropFileBody() { file_body_ = FileBody(); }

 private:
  EXTENSION_CONTROL_BLOCK* request_;
  std::unique_ptr<HtmlStream> stream_;
  std::uint32_t end_of_headers_ = 0;
  std::uint32_t received_count_ = 0;
  char* request_text_ = nullptr;
  std::uint32_t trimmed_at_ = 0;
  std::string trimmed_tail_;
  FileBody file_body_;
};

}  // namespace gateway
