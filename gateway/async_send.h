// A response written by writes that complete later, so that a client that
// reads slowly, or not at all, holds none of the web server's workers. The
// send owns everything it still has to write and ends the request itself.
//
// The contract with the host, as the extension interface defines it:
// - Offer() registers the completion callback (HSE_REQ_IO_COMPLETION) with
//   the send as its context; a host that cannot write asynchronously
//   answers FALSE and the response is sent by writes that wait instead.
// - Start() makes the first WriteClient(HSE_IO_ASYNC) call; from then on
//   exactly one write is outstanding. Each completion (on any thread, maybe
//   before WriteClient has returned) starts the next write, or ends the
//   request with HSE_REQ_DONE_WITH_SESSION, exactly once: SUCCESS when all
//   was written, ERROR when a write failed (dwError != 0, or fewer bytes
//   than asked), the file part fell short or memory ran out. The send is
//   freed, its file closed, just before that call.
// - The thread that started a write touches nothing of the send afterwards,
//   unless the host completed it inside WriteClient on that same thread:
//   the next write is then started from the same loop, not from inside the
//   completion.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>

#include "dudarovuvadu/httpext.h"
#include "gateway/file_pieces.h"
#include "gateway/html_stream.h"
#include "gateway/request_context.h"

namespace gateway {

class AsyncSend {
 public:
  AsyncSend(const AsyncSend&) = delete;
  AsyncSend& operator=(const AsyncSend&) = delete;
  // Gives back the response bytes to their stream; closes the file.
  ~AsyncSend();

  // A send registered with the host for `request`; null when the host
  // cannot write asynchronously (or no memory was left): write and wait.
  static std::unique_ptr<AsyncSend> Offer(EXTENSION_CONTROL_BLOCK* request);

  // Takes over what is left to send after the header call: the detached
  // response `bytes` of `stream` (given back with its Release), of which
  // [body_start, body_end) is the body, and the file part that follows.
  void Take(std::unique_ptr<HtmlStream> stream, unsigned char* bytes, std::uint32_t body_start,
            std::uint32_t body_end, RequestContext::FileBody part);

  // Starts the first write ("\r\n"). True: the send now ends the request on
  // its own; the caller returns HSE_STATUS_PENDING and touches neither the
  // send nor the control block again. False: no write was started and the
  // send is freed; the request is the caller's to end.
  [[nodiscard]] static bool Start(std::unique_ptr<AsyncSend> send);

  // What a completion that ran inside WriteClient, on the thread that
  // called it, reported to that thread.
  struct InlineCompletion {
    const AsyncSend* send = nullptr;
    bool ran = false;
    DWORD written = 0;
    DWORD error = 0;
  };

 private:
  explicit AsyncSend(EXTENSION_CONTROL_BLOCK* request) : request_(request) {}

  enum class Stage { kEndOfHeaders, kBody, kFilePart };
  enum class Next { kWrite, kDone, kFailed };
  // What to write next, advancing the stage.
  Next Advance(std::span<const unsigned char>& piece);
  Next NextPiece(std::span<const unsigned char>& piece);
  // Writes from `piece` on until one write stays with the host or the send
  // ends. False only when the `first` write was refused: then nothing ended
  // and the send is the caller's.
  bool Write(std::span<const unsigned char> piece, bool first);
  // Starts the write of `piece`; false when the host refused it (then no
  // completion will come). `at_once` tells whether it completed inside.
  bool StartWrite(std::span<const unsigned char> piece, InlineCompletion& at_once);
  bool Succeeded(DWORD written, DWORD error) const;
  // Frees the send, then ends the request.
  void Finish(bool complete);

  static void WINAPI OnWritten(EXTENSION_CONTROL_BLOCK* request, PVOID context, DWORD written,
                               DWORD error);

  EXTENSION_CONTROL_BLOCK* request_;
  Stage stage_ = Stage::kEndOfHeaders;
  std::unique_ptr<HtmlStream> stream_;
  unsigned char* bytes_ = nullptr;
  std::span<const unsigned char> body_;
  std::optional<FilePieces> pieces_;
  std::uint32_t asked_ = 0;  // bytes of the outstanding write
  char end_of_headers_[3] = "\r\n";
};

}  // namespace gateway
