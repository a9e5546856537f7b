// The embedded server's side of one response on a connection: the head
// written out, the body framed by its length, in chunks or by the close of
// the connection, and every piece queued in order for the connection to
// write. A HEAD request's head goes out with the length the body would have
// had when the module wrote one, else with none, and no body.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "hosts/extension/response_framer.h"

namespace hosts {

// What the connection knows of the request a response answers.
struct ResponseContext {
  unsigned version = 11;  // 10 or 11
  bool head_request = false;
  bool keep_alive = true;  // the client and the server both allow it
};

class ResponseQueue {
 public:
  struct Piece {
    std::string own;               // the server's bytes: head, chunk line, a copied body
    std::string_view borrowed;     // body bytes its writer keeps until `sent`
    bool chunk_end = false;        // "\r\n" follows the borrowed bytes
    ResponseTransport::Sent sent;  // told when the piece has left, or not
    bool last = false;             // the response ends with this piece
  };

  // A new response; the queue is empty.
  void Begin(const ResponseContext& context);

  // The head's text up to its framing fields, appended to `text` where the
  // head's views are valid (any thread); queue it with QueueHead.
  void HeadText(const ResponseHead& head, std::string& text) const;
  // An empty buffer for a piece: one a written piece left, when there is.
  std::string TakeBuffer();
  void QueueHead(std::string text, unsigned status, std::optional<std::uint64_t> content_length);
  // Body bytes: copied when `sent` is empty, else borrowed until it runs.
  void QueueBody(std::string_view bytes, ResponseTransport::Sent sent);
  void QueueEnd(bool reusable);

  bool empty() const { return pieces_.empty(); }
  std::size_t size() const { return pieces_.size(); }
  const Piece& at(std::size_t index) const { return pieces_[index]; }
  Piece& front() { return pieces_.front(); }
  void pop_front();
  // The server's own bytes queued and not yet written.
  std::size_t queued_bytes() const { return queued_bytes_; }
  // Tells every piece's writer that it did not leave, and empties the queue.
  void Abandon();

  // The connection goes after this response (the server is stopping);
  // before its head is queued.
  void CloseAfter() { keep_alive_ = false; }
  // Whether the connection may serve another request after this response.
  bool keep_alive() const { return keep_alive_; }
  std::uint64_t body_bytes() const { return body_bytes_; }
  unsigned status() const { return status_; }

 private:
  void AppendFramingFields(std::string& text, std::optional<std::uint64_t> content_length);

  ResponseContext context_;
  std::deque<Piece> pieces_;
  // The buffers of pieces written, kept for the next pieces of this
  // connection so that a response in steady state allocates none.
  std::vector<std::string> spare_;
  bool chunked_ = false;
  bool keep_alive_ = true;
  // A HEAD request's head without a length waits for the end of the body.
  std::optional<std::string> deferred_head_;
  std::uint64_t body_bytes_ = 0;
  std::size_t queued_bytes_ = 0;
  unsigned status_ = 0;
};

// The HTTP date of now, formatted at most once a second per thread.
std::string_view HttpDate();

}  // namespace hosts
