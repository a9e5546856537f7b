// Writing a response by asynchronous writes: one outstanding write at a time,
// each completion starting the next, the last one ending the request.
#include "gateway/async_send.h"

#include <new>
#include <utility>

namespace gateway {

namespace {

// The write this thread is starting, and what its completion reported when
// the host ran it at once, inside WriteClient on this thread. The next write
// is then started by the loop in Write, not from inside the completion, so a
// host that completes every write at once costs no stack per piece. A plain
// value, set and restored around each WriteClient call.
thread_local AsyncSend::InlineCompletion t_inline_completion;

}  // namespace

AsyncSend::~AsyncSend() {
  if (bytes_ != nullptr && stream_ != nullptr) stream_->Release(bytes_);
}

std::unique_ptr<AsyncSend> AsyncSend::Offer(EXTENSION_CONTROL_BLOCK* request) {
  if (request->ServerSupportFunction == nullptr || request->WriteClient == nullptr) return nullptr;
  std::unique_ptr<AsyncSend> send(new (std::nothrow) AsyncSend(request));
  if (send == nullptr) return nullptr;
  // The interface hands the callback over as the buffer and the context as
  // the data type argument.
  const PFN_HSE_IO_COMPLETION callback = &AsyncSend::OnWritten;
  const BOOL registered = request->ServerSupportFunction(
      request->ConnID, HSE_REQ_IO_COMPLETION, reinterpret_cast<LPVOID>(callback), nullptr,
      reinterpret_cast<LPDWORD>(send.get()));
  if (registered == FALSE) return nullptr;
  return send;
}

void AsyncSend::Take(std::unique_ptr<HtmlStream> stream, unsigned char* bytes,
                     std::uint32_t body_start, std::uint32_t body_end,
                     RequestContext::FileBody part) {
  stream_ = std::move(stream);
  bytes_ = bytes;
  if (bytes_ != nullptr && body_end > body_start) {
    body_ = {bytes_ + body_start, body_end - body_start};
  }
  if (part.file.is_open()) pieces_.emplace(std::move(part));
}

bool AsyncSend::Start(std::unique_ptr<AsyncSend> send) {
  std::span<const unsigned char> piece;
  if (send->Advance(piece) != Next::kWrite) return false;
  AsyncSend* const owned = send.release();
  if (owned->Write(piece, true)) return true;
  delete owned;
  return false;
}

AsyncSend::Next AsyncSend::Advance(std::span<const unsigned char>& piece) {
  switch (stage_) {
    case Stage::kEndOfHeaders:
      stage_ = Stage::kBody;
      piece = {reinterpret_cast<const unsigned char*>(end_of_headers_), 2};
      return Next::kWrite;
    case Stage::kBody:
      stage_ = Stage::kFilePart;
      // A download's body is all file part: no empty write before it.
      if (!body_.empty() || !pieces_) {
        piece = body_;
        return Next::kWrite;
      }
      [[fallthrough]];
    case Stage::kFilePart:
      return NextPiece(piece);
  }
  return Next::kFailed;
}

AsyncSend::Next AsyncSend::NextPiece(std::span<const unsigned char>& piece) {
  if (!pieces_) return Next::kDone;
  // Nothing may reach the host through its callback: a file's failure that
  // cannot even be traced ends the send like any failure.
  try {
    switch (pieces_->Next(piece)) {
      case FilePieces::Step::kPiece:
        return Next::kWrite;
      case FilePieces::Step::kDone:
        return Next::kDone;
      case FilePieces::Step::kFailed:
        return Next::kFailed;
    }
  } catch (...) {
  }
  return Next::kFailed;
}

bool AsyncSend::Write(std::span<const unsigned char> piece, bool first) {
  for (;;) {
    InlineCompletion at_once;
    if (!StartWrite(piece, at_once)) {
      if (first) return false;
      Finish(false);
      return true;
    }
    // The host has the write: its completion, on another thread, may
    // already have freed this object.
    if (!at_once.ran) return true;
    // It completed inside WriteClient, on this thread: the send is still
    // this thread's, and the loop goes on without a level of stack.
    first = false;
    Next next = Succeeded(at_once.written, at_once.error) ? Advance(piece) : Next::kFailed;
    if (next != Next::kWrite) {
      Finish(next == Next::kDone);
      return true;
    }
  }
}

bool AsyncSend::StartWrite(std::span<const unsigned char> piece, InlineCompletion& at_once) {
  asked_ = static_cast<std::uint32_t>(piece.size());
  DWORD size = asked_;
  EXTENSION_CONTROL_BLOCK* const request = request_;
  const InlineCompletion outer = t_inline_completion;
  t_inline_completion = InlineCompletion{this, false, 0, 0};
  // The callback takes a non-const buffer, as the published interface has
  // it. Once the host has the write, its completion may run and free this
  // object at any moment: nothing of it is touched after the call.
  const bool started =
      request->WriteClient(request->ConnID, const_cast<unsigned char*>(piece.data()), &size,
                           HSE_IO_ASYNC) != FALSE;
  at_once = t_inline_completion;
  t_inline_completion = outer;
  return started;
}

bool AsyncSend::Succeeded(DWORD written, DWORD error) const {
  // A client that is gone, or a write that fell short, ends the request:
  // the bytes after it could not follow what it left out.
  return error == 0 && written == asked_;
}

void AsyncSend::Finish(bool complete) {
  EXTENSION_CONTROL_BLOCK* const request = request_;
  // As a response written by waiting writes records it.
  request->dwHttpStatusCode = complete ? 200 : 500;
  // Everything the send holds goes before the host may unload the module.
  delete this;
  DWORD status = complete ? HSE_STATUS_SUCCESS : HSE_STATUS_ERROR;
  (void)request->ServerSupportFunction(request->ConnID, HSE_REQ_DONE_WITH_SESSION, &status, nullptr,
                                       nullptr);
}

void WINAPI AsyncSend::OnWritten(EXTENSION_CONTROL_BLOCK*, PVOID context, DWORD written,
                                 DWORD error) {
  auto* const send = static_cast<AsyncSend*>(context);
  InlineCompletion& starting = t_inline_completion;
  if (starting.send == send) {
    // Inside this send's own WriteClient: its loop carries on.
    starting.ran = true;
    starting.written = written;
    starting.error = error;
    return;
  }
  std::span<const unsigned char> piece;
  const Next next = send->Succeeded(written, error) ? send->Advance(piece) : Next::kFailed;
  if (next == Next::kWrite) {
    (void)send->Write(piece, false);
  } else {
    send->Finish(next == Next::kDone);
  }
}

}  // namespace gateway
