// The one reading of an extension's response that every host drives. The
// header call's status line and header text and every byte the extension
// writes become a status, header fields, a framing decision and body pieces,
// handed to the host's transport, which only knows how to send a head, a
// body piece and the end. A response that ends within the hold limit goes
// out whole with its true length; a longer one is passed on as it is written,
// framed by the extension's own Content-Length or, without one, by the
// transport (chunked, or the close of the connection).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "hosts/extension/response_split.h"

namespace hosts {

struct ResponseHead {
  unsigned status = 200;
  // As response_decision.h decides it: the extension's reason phrase when
  // every byte of it may go on the wire, else the standard one; empty for
  // the server's own answers (the standard one is written).
  std::string_view reason;
  // Content-Length, Transfer-Encoding and Connection are never among them.
  std::vector<ResponseHeader> headers;
  // The body's length when it is known; nothing when the transport frames
  // the body itself.
  std::optional<std::uint64_t> content_length;
};

// How one host sends a response. The views it is handed are valid for the
// call only, except those of SendBodyAsync.
class ResponseTransport {
 public:
  // Runs once the bytes of an asynchronous send have left, or with false
  // when the client is gone.
  using Sent = std::function<void(bool)>;

  virtual ~ResponseTransport() = default;
  // Once, before any body byte; false when the client is gone.
  virtual bool SendHead(const ResponseHead& head) = 0;
  // Body bytes in order. Returns once the caller may reuse them; false when
  // the client is gone.
  virtual bool SendBody(std::string_view bytes) = 0;
  // Whether SendBodyAsync may be used.
  virtual bool CanSendAsync() const { return false; }
  // Body bytes that stay valid until `sent` has run; `sent` never runs
  // inside this call. False when the send cannot start (then `sent` never
  // runs).
  virtual bool SendBodyAsync(std::string_view bytes, Sent sent) {
    (void)bytes;
    (void)sent;
    return false;
  }
  // The response is over. `reusable` is false when its framing came out
  // short or long, or the extension asked for the connection to go.
  virtual void End(bool reusable) = 0;
};

class ResponseFramer {
 public:
  // `hold_limit`: body bytes held before the response starts to go out.
  // `recorded_status` is the control block's status, read when the response
  // starts.
  ResponseFramer(ResponseTransport& transport, std::size_t hold_limit,
                 const std::uint32_t* recorded_status)
      : transport_(transport), hold_limit_(hold_limit), recorded_status_(recorded_status) {}
  ResponseFramer(const ResponseFramer&) = delete;
  ResponseFramer& operator=(const ResponseFramer&) = delete;

  // The header call: its status line and header text (or null). False once
  // the response has started to go out, or for a second call: a status line
  // then could only land in the body.
  bool PutHeader(std::string_view status_line, const char* header_text);

  // One write of the extension; false when the client is gone.
  bool Write(std::string_view bytes);
  // An asynchronous write: the bytes stay valid until `sent` has run.
  bool WriteAsync(std::string_view bytes, ResponseTransport::Sent sent);

  // Ends the response; `failed`: the extension reported an error, and the
  // connection goes after the answer.
  void Finish(bool failed);

  bool CanWriteAsync() const { return transport_.CanSendAsync(); }
  // Nothing was sent: no header call and no byte written.
  bool empty() const { return !header_sent_ && held_.empty() && !started_; }
  // The status the response went out with (or would go out with now).
  unsigned status() const { return status_; }
  // The status a response that has not started would go out with now,
  // `failed` or not (response_decision.h).
  unsigned StatusFor(bool failed) const;
  // Body bytes handed to the transport.
  std::uint64_t body_bytes() const { return body_bytes_; }
  // The extension's Content-Length was not its body's length (a response
  // sent whole goes out with its true length).
  bool length_mismatch() const { return length_mismatch_; }
  // A line that is not a well-formed header ended the header block.
  bool header_block_cut() const { return header_block_cut_; }

 private:
  // Sends the head and the body held so far, the response being `whole`
  // (its true length known) or not.
  bool Start(bool whole, bool failed);
  // Body bytes within the declared length; the rest is dropped.
  std::string_view WithinLength(std::string_view bytes);

  ResponseTransport& transport_;
  const std::size_t hold_limit_;
  const std::uint32_t* const recorded_status_;
  bool header_sent_ = false;
  std::string status_line_;
  // The header text and the bytes written before the response starts.
  std::string held_;
  bool started_ = false;
  bool client_gone_ = false;
  std::optional<std::uint64_t> declared_length_;
  bool overrun_ = false;
  bool length_mismatch_ = false;
  bool header_block_cut_ = false;
  unsigned status_ = 200;
  std::uint64_t body_bytes_ = 0;
};

}  // namespace hosts
