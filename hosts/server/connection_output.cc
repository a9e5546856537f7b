// One client connection of the embedded server, its writing side: the
// transport the module's response reaches it through, the queue's pieces
// written in order, the server's own answers, lingering and closing.
#include <array>
#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <span>

#include "hosts/operations/access_log.h"
#include "hosts/operations/metrics.h"
#include "hosts/server/connection.h"
#include "hosts/server/worker_write.h"

namespace hosts {

namespace asio = boost::asio;
namespace beast = boost::beast;
using boost::system::error_code;
using tcp = asio::ip::tcp;

namespace {

// After an answer given before the body was read, the body is read on and
// dropped for this long and this much, so that a client that writes its
// whole body before reading gets the answer instead of a reset.
constexpr std::uint64_t kDiscardAllowance = 64u * 1024u * 1024u;
constexpr auto kDiscardTime = std::chrono::seconds(5);
// The server's own answers.
std::string_view AnswerText(unsigned status) {
  switch (status) {
    case 400:
      return "Bad request\n";
    case 404:
      return "Not Found\n";
    case 413:
      return "Request entity was too large\n";
    case 431:
      return "Request header fields too large\n";
    case 429:
      return "Too many requests\n";
    default:
      return "The server is stopping\n";
  }
}

// The most response bytes a module call on a network thread may have
// queued and not yet written; past it, its write fails as for a client that
// has gone.
constexpr std::size_t kMostQueuedOnTheStrand = 64 * 1024 * 1024;

}  // namespace

// ---------------------------------------------------------------- the transport

template <class Stream>
bool Connection<Stream>::SendHead(const ResponseHead& head) {
  // A worker builds the text in a buffer of its own; the strand reuses one.
  std::string text = strand_.running_in_this_thread() ? queue_.TakeBuffer() : std::string();
  queue_.HeadText(head, text);
  OnStrand(
      [this, text = std::move(text), status = head.status, length = head.content_length]() mutable {
        if (Gone()) return;
        if (server_->Stopping()) queue_.CloseAfter();
        queue_.QueueHead(std::move(text), status, length);
        WriteNext();
      });
  return true;
}

template <class Stream>
bool Connection<Stream>::SendBody(std::string_view bytes) {
  if (strand_.running_in_this_thread()) {
    // The response sent whole once the module has returned, or written by
    // a module call on this thread: copied, and written after. A call here
    // cannot wait for the client, so what it may queue is bounded.
    if (Gone() || queue_.queued_bytes() + bytes.size() > kMostQueuedOnTheStrand) {
      return false;
    }
    queue_.QueueBody(bytes, nullptr);
    WriteNext();
    return true;
  }
  // A worker inside the module: the bytes are the module's until they have
  // left, so it waits for the strand's answer (worker_write.h). Whatever
  // holds the write answers false when it goes unanswered, so neither a
  // task the stopped server drops nor one that throws leaves it waiting.
  auto write = std::make_shared<WorkerWrite>();
  OnStrand([this, bytes, write, drop = std::make_shared<WorkerWrite::Drop>(write)] {
    if (!write->Take()) return;  // the worker stopped waiting
    if (Gone()) return write->Answer(false);
    queue_.QueueBody(bytes, [write, drop](bool sent) { write->Answer(sent); });
    WriteNext();
  });
  // The strand takes a posted write at once unless the server is stuck;
  // past the write deadline and the stop's bound the worker gives up.
  return write->Wait(std::chrono::seconds(server_->options.idle_timeout_seconds +
                                          server_->options.drain_timeout_seconds));
}

template <class Stream>
bool Connection<Stream>::SendBodyAsync(std::string_view bytes, Sent sent) {
  asio::post(strand_, [self = this->shared_from_this(), bytes, sent = std::move(sent)]() mutable {
    self->Guarded([&] {
      if (self->Gone()) return sent(false);
      self->queue_.QueueBody(bytes, std::move(sent));
      self->WriteNext();
    });
  });
  return true;
}

template <class Stream>
void Connection<Stream>::End(bool reusable) {
  // Called by FinishExtension, on the strand.
  if (Gone()) return;
  queue_.QueueEnd(reusable);
  WriteNext();
}

// ---------------------------------------------------------------- writing

template <class Stream>
void Connection<Stream>::Answer(unsigned status, bool linger, std::string_view text,
                                unsigned retry_after) {
  if (Gone()) return;  // closed meanwhile: the request ends with the connection
  if (text.empty()) text = AnswerText(status);
  ResponseContext context = context_;
  context.keep_alive = context.keep_alive && !linger && !server_->Stopping();
  queue_.Begin(context);
  ResponseHead head;
  head.status = status;
  head.headers.push_back({"Content-Type", "text/plain"});
  const std::string seconds = retry_after != 0 ? std::to_string(retry_after) : std::string();
  if (!seconds.empty()) head.headers.push_back({"Retry-After", seconds});
  head.content_length = text.size();
  std::string head_text = queue_.TakeBuffer();
  queue_.HeadText(head, head_text);
  queue_.QueueHead(std::move(head_text), status, head.content_length);
  queue_.QueueBody(text, nullptr);
  queue_.QueueEnd(true);
  StopReadingBody();
  state_ = linger ? State::kAnsweringEarly : State::kAnswering;
  WriteNext();
}

template <class Stream>
void Connection<Stream>::WriteNext() {
  if (pieces_in_flight_ != 0 || writes_held_ || Gone()) return;
  if (queue_.empty()) return Unbounded();  // the module writes on, or the next request comes
  // Every piece queued, up to a bound, leaves in one write.
  static constexpr std::string_view kChunkEnd = "\r\n";
  std::size_t used = 0;
  const std::size_t pieces = std::min(queue_.size(), write_buffers_.size() / 3);
  for (std::size_t i = 0; i < pieces; ++i) {
    const ResponseQueue::Piece& piece = queue_.at(i);
    if (!piece.own.empty()) write_buffers_[used++] = asio::buffer(piece.own);
    if (!piece.borrowed.empty()) {
      write_buffers_[used++] = asio::buffer(piece.borrowed.data(), piece.borrowed.size());
    }
    if (piece.chunk_end) write_buffers_[used++] = asio::buffer(kChunkEnd.data(), kChunkEnd.size());
  }
  pieces_in_flight_ = pieces;
  Expire(std::chrono::seconds(server_->options.idle_timeout_seconds));
  asio::async_write(stream_, std::span<const asio::const_buffer>(write_buffers_.data(), used),
                    [self = this->shared_from_this()](error_code ec, std::size_t) {
                      self->Guarded([&] { self->OnPiecesWritten(ec); });
                    });
}

template <class Stream>
void Connection<Stream>::OnPiecesWritten(error_code ec) {
  const std::size_t pieces = pieces_in_flight_;
  pieces_in_flight_ = 0;
  bool last = false;
  for (std::size_t i = 0; i < pieces; ++i) {
    ResponseQueue::Piece piece = std::move(queue_.front());
    queue_.pop_front();
    last = last || piece.last;
    if (piece.sent) piece.sent(!ec);
  }
  if (ec) {
    queue_.Abandon();
    Close(false);
    // The request is over once the module is done with it too.
    if (module_ == ModuleCall::kNone) FinishRequest();
    return;
  }
  if (last) return OnResponseWritten();
  WriteNext();
}

template <class Stream>
void Connection<Stream>::OnResponseWritten() {
  const bool keep = queue_.keep_alive() && !server_->Stopping();
  const bool early = state_ == State::kAnsweringEarly;
  FinishRequest();
  if (state_ == State::kClosing) return;  // closed while the last bytes left
  if (early) return Linger();
  if (keep) return WaitForRequest();
  Close(true);
}

// The request is over (answered or abandoned): logged and uncounted.
template <class Stream>
void Connection<Stream>::FinishRequest() {
  if (!InHand() && !admitted_) return;
  state_ = state_ == State::kClientGone ? State::kClosing : State::kAnswered;
  server_->Log(method_, target_, queue_.status(), queue_.body_bytes(), start_);
  if (server_->options.access_log != nullptr) {
    access_.Finish(method_, target_, context_.version, queue_.status(), queue_.body_bytes(),
                   start_);
    server_->options.access_log->Record(access_);
  }
  if (server_->options.metrics != nullptr) {
    server_->options.metrics->RequestDone(queue_.status(), queue_.body_bytes(),
                                          std::chrono::duration_cast<std::chrono::microseconds>(
                                              std::chrono::steady_clock::now() - start_));
  }
  if (response_counted_) server_->limits().EndResponse(client_);
  response_counted_ = false;
  if (held_body_ != 0) server_->limits().ReleaseBody(held_body_);
  held_body_ = 0;
  extension_.reset();
  if (admitted_) server_->Complete();
  admitted_ = false;
}

// Reads and drops what the client still sends, within a bound, so that the
// answer is read before the connection goes.
template <class Stream>
void Connection<Stream>::Linger() {
  if constexpr (!kTls) {
    error_code ignored;
    socket().shutdown(tcp::socket::shutdown_send, ignored);
  }
  state_ = State::kLingering;
  parser_.reset();
  buffer_.consume(buffer_.size());
  Expire(kDiscardTime);
  Discard();
}

template <class Stream>
void Connection<Stream>::Discard() {
  stream_.async_read_some(buffer_.prepare(buffer_.max_size()),
                          [self = this->shared_from_this()](error_code ec, std::size_t read) {
                            self->discarded_ += read;
                            if (ec || self->discarded_ > kDiscardAllowance) {
                              return self->Close(false);
                            }
                            self->Discard();
                          });
}

template <class Stream>
void Connection<Stream>::Close(bool graceful) {
  if (Gone()) return;
  StopReadingBody();
  state_ = InHand() ? State::kClientGone : State::kClosing;
  if constexpr (kTls) {
    if (graceful) {
      Expire(std::chrono::seconds(2));
      return stream_.async_shutdown(
          [self = this->shared_from_this()](error_code) { self->CloseSocket(); });
    }
  }
  (void)graceful;
  CloseSocket();
}

template <class Stream>
void Connection<Stream>::StopReadingBody() {
  if (state_ != State::kReadingBody) return;
  state_ = State::kHeadIn;  // its body is in, or answered: the request is still in hand
  server_->RemoveBodyReader(this);
}

template <class Stream>
void Connection<Stream>::CloseSocket() {
  Unbounded();
  timer_.cancel();
  error_code ignored;
  socket().shutdown(tcp::socket::shutdown_both, ignored);
  socket().close(ignored);
}

// The members defined here, for both kinds of connection.
#define DUDAROVUVADU_CONNECTION_OUTPUT(Stream)                                          \
  template bool Connection<Stream>::SendHead(const ResponseHead&);                      \
  template bool Connection<Stream>::SendBody(std::string_view);                         \
  template bool Connection<Stream>::SendBodyAsync(std::string_view, Sent);              \
  template void Connection<Stream>::End(bool);                                          \
  template void Connection<Stream>::Answer(unsigned, bool, std::string_view, unsigned); \
  template void Connection<Stream>::WriteNext();                                        \
  template void Connection<Stream>::OnPiecesWritten(error_code);                        \
  template void Connection<Stream>::OnResponseWritten();                                \
  template void Connection<Stream>::FinishRequest();                                    \
  template void Connection<Stream>::Linger();                                           \
  template void Connection<Stream>::Discard();                                          \
  template void Connection<Stream>::Close(bool);                                        \
  template void Connection<Stream>::StopReadingBody();                                  \
  template void Connection<Stream>::CloseSocket();
DUDAROVUVADU_CONNECTION_OUTPUT(PlainStream)
DUDAROVUVADU_CONNECTION_OUTPUT(TlsStream)
#undef DUDAROVUVADU_CONNECTION_OUTPUT

}  // namespace hosts
