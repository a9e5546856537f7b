// Writing a response's head and framing its body for the embedded server.
#include "hosts/server/response_queue.h"

#include <charconv>
#include <ctime>

#include "hosts/extension/response_decision.h"
#include "text/ascii.h"

namespace hosts {

using text::EqualsIgnoringAsciiCase;

namespace {

void AppendNumber(std::string& out, std::uint64_t number, int base = 10) {
  char digits[24];
  const auto result = std::to_chars(digits, digits + sizeof digits, number, base);
  out.append(digits, result.ptr);
}

}  // namespace

std::string_view HttpDate() {
  thread_local std::time_t formatted = -1;
  thread_local char text[32];
  thread_local std::size_t length = 0;
  const std::time_t now = std::time(nullptr);
  if (now != formatted) {
    std::tm utc{};
    gmtime_r(&now, &utc);
    length = std::strftime(text, sizeof text, "%a, %d %b %Y %H:%M:%S GMT", &utc);
    formatted = now;
  }
  return {text, length};
}

void ResponseQueue::Begin(const ResponseContext& context) {
  context_ = context;
  pieces_.clear();
  queued_bytes_ = 0;
  chunked_ = false;
  keep_alive_ = context.keep_alive;
  deferred_head_.reset();
  body_bytes_ = 0;
  status_ = 0;
}

std::string ResponseQueue::TakeBuffer() {
  if (spare_.empty()) return {};
  std::string buffer = std::move(spare_.back());
  spare_.pop_back();
  buffer.clear();
  return buffer;
}

void ResponseQueue::pop_front() {
  // A buffer is kept for later pieces unless it is a large body's.
  static constexpr std::size_t kMostSpare = 4;
  static constexpr std::size_t kLargestSpare = 64 * 1024;
  Piece& piece = pieces_.front();
  queued_bytes_ -= piece.own.size();
  if (spare_.size() < kMostSpare && piece.own.capacity() != 0 &&
      piece.own.capacity() <= kLargestSpare) {
    spare_.push_back(std::move(piece.own));
  }
  pieces_.pop_front();
}

void ResponseQueue::HeadText(const ResponseHead& head, std::string& text) const {
  text.reserve(text.size() + 256);
  text += "HTTP/1.1 ";
  AppendNumber(text, head.status);
  text += ' ';
  text += head.reason.empty() ? StandardReason(head.status) : head.reason;
  text += "\r\n";
  bool dated = false;
  for (const ResponseHeader& header : head.headers) {
    dated = dated || EqualsIgnoringAsciiCase(header.name, "Date");
    text += header.name;
    text += ": ";
    text += header.value;
    text += "\r\n";
  }
  if (!dated) {
    text += "Date: ";
    text += HttpDate();
    text += "\r\n";
  }
}

void ResponseQueue::AppendFramingFields(std::string& text,
                                        std::optional<std::uint64_t> content_length) {
  if (context_.head_request) {
    // No body follows a HEAD answer whatever its fields say, so nothing
    // here ends the connection; a length is given only when known, as GET
    // would have it (RFC 9110 9.3.2, 8.6).
    if (content_length) {
      text += "Content-Length: ";
      AppendNumber(text, *content_length);
      text += "\r\n";
    }
  } else if (content_length) {
    text += "Content-Length: ";
    AppendNumber(text, *content_length);
    text += "\r\n";
  } else if (context_.version >= 11) {
    chunked_ = true;
    text += "Transfer-Encoding: chunked\r\n";
  } else {
    keep_alive_ = false;  // the close marks the end
  }
  if (!keep_alive_) {
    text += "Connection: close\r\n";
  } else if (context_.version == 10) {
    text += "Connection: keep-alive\r\n";  // HTTP/1.0 closes unless told (RFC 9112 9.3)
  }
  text += "\r\n";
}

void ResponseQueue::QueueHead(std::string text, unsigned status,
                              std::optional<std::uint64_t> content_length) {
  status_ = status;
  // A HEAD answer whose length is not known yet, or is 0 only because the
  // module wrote nothing for it, waits for the end of what it writes.
  if (context_.head_request && content_length.value_or(0) == 0) {
    deferred_head_ = std::move(text);
    return;
  }
  AppendFramingFields(text, content_length);
  queued_bytes_ += text.size();
  pieces_.push_back(Piece{std::move(text), {}, false, nullptr, false});
}

void ResponseQueue::QueueBody(std::string_view bytes, ResponseTransport::Sent sent) {
  body_bytes_ += bytes.size();
  if (context_.head_request) bytes = {};
  if (bytes.empty() && !sent) return;
  Piece piece;
  if (chunked_ || !sent) piece.own = TakeBuffer();
  if (chunked_ && !bytes.empty()) {
    AppendNumber(piece.own, bytes.size(), 16);
    piece.own += "\r\n";
    piece.chunk_end = true;
  }
  if (sent) {
    piece.borrowed = bytes;
    piece.sent = std::move(sent);
  } else {
    piece.own.append(bytes);
    if (piece.chunk_end) {
      piece.own += "\r\n";
      piece.chunk_end = false;
    }
  }
  queued_bytes_ += piece.own.size();
  pieces_.push_back(std::move(piece));
}

void ResponseQueue::QueueEnd(bool reusable) {
  Piece piece;
  // A HEAD answer has no body to misframe: its connection goes on even when
  // the module failed (it answers HEAD with a status line and an error).
  if (!reusable && !context_.head_request) keep_alive_ = false;
  if (deferred_head_) {
    piece.own = std::move(*deferred_head_);
    // The length of what the module wrote for it; when it wrote nothing,
    // that length is not known to be GET's, and none is given.
    const std::optional<std::uint64_t> length =
        body_bytes_ != 0 ? std::optional<std::uint64_t>(body_bytes_) : std::nullopt;
    AppendFramingFields(piece.own, length);
    deferred_head_.reset();
  }
  if (chunked_) piece.own += "0\r\n\r\n";
  piece.last = true;
  queued_bytes_ += piece.own.size();
  pieces_.push_back(std::move(piece));
}

void ResponseQueue::Abandon() {
  std::deque<Piece> pieces;
  pieces.swap(pieces_);
  queued_bytes_ = 0;
  for (Piece& piece : pieces) {
    if (piece.sent) piece.sent(false);
  }
}

}  // namespace hosts
