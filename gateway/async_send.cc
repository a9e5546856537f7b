// Writing a response by asynchronous writes: one outstanding write at a time,
// each completion starting the next, the last one ending the request.
#include "gateway/async_send.h"

#include <new>
#include <utility>

namespace gateway {

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
  if (owned->StartWrite(piece)) return true;
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
      if (!pieces_) return Next::kDone;
      switch (pieces_->Next(piece)) {
        case FilePieces::Step::kPiece:
          return Next::kWrite;
        case FilePieces::Step::kDone:
          return Next::kDone;
        case FilePieces::Step::kFailed:
          return Next::kFailed;
      }
  }
  return Next::kFailed;
}

bool AsyncSend::StartWrite(std::span<const unsigned char> piece) {
  asked_ = static_cast<std::uint32_t>(piece.size());
  DWORD size = asked_;
  EXTENSION_CONTROL_BLOCK* const request = request_;
  // The callback takes a non-const buffer, as the published interface has
  // it. Once the host has the write, its completion may run and free this
  // object at any moment: nothing of it is touched after the call.
  return request->WriteClient(request->ConnID, const_cast<unsigned char*>(piece.data()), &size,
                              HSE_IO_ASYNC) != FALSE;
}

void AsyncSend::Continue() {
  std::span<const unsigned char> piece;
  switch (Advance(piece)) {
    case Next::kDone:
      Finish(true);
      return;
    case Next::kFailed:
      Finish(false);
      return;
    case Next::kWrite:
      if (!StartWrite(piece)) Finish(false);
      return;
  }
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
  // A client that is gone, or a write that fell short, ends the request:
  // the bytes after it could not follow what it left out.
  if (error != 0 || written != send->asked_) {
    send->Finish(false);
    return;
  }
  // Nothing may reach the host through its callback. What can throw (a
  // file's failure traced without memory) comes before the next write is
  // started, so the send is still this thread's to end.
  try {
    send->Continue();
  } catch (...) {
    send->Finish(false);
  }
}

}  // namespace gateway
