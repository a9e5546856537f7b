// One request as the extension sees it: the control block with its
// callbacks, filled from what the server received; what the extension sends
// back goes through the response framer to the host's transport. Knows no
// HTTP library, so every host (the embedded server, Apache httpd) runs an
// extension through it.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "dudarovuvadu/httpext.h"
#include "hosts/extension/request_texts.h"
#include "hosts/extension/response_framer.h"
#include "hosts/extension/server_variables.h"

namespace hosts {

// Where body bytes past those the request holds come from: a server that
// reads the body as the extension asks for it.
class BodySource {
 public:
  virtual ~BodySource() = default;
  // Up to `capacity` bytes into `buffer`, *count 0 at the end of the body;
  // false when the body cannot be read.
  virtual bool ReadMore(char* buffer, std::size_t capacity, std::size_t* count) = 0;
};

// What the server received, owned by the request.
struct RequestInput {
  RequestTexts texts;  // method, query string, path info and translated, content type
  std::string body;    // the whole body, already received, or its first part
  ServerVariables variables;
  // When `body` is only the first part: the whole body's length, and where
  // ReadClient reads the rest once `body` is handed out.
  std::optional<DWORD> total_bytes;
  BodySource* more_body = nullptr;
};

class ExtensionRequest {
 public:
  // Runs once when the extension ends a pending request
  // (HSE_REQ_DONE_WITH_SESSION), with its status, on the thread it called
  // from; the host then calls Finish.
  using SessionDone = std::function<void(DWORD status)>;

  ExtensionRequest(RequestInput input, ResponseTransport& transport, std::size_t hold_limit,
                   std::size_t available_limit);
  ~ExtensionRequest();
  ExtensionRequest(const ExtensionRequest&) = delete;
  ExtensionRequest& operator=(const ExtensionRequest&) = delete;

  void OnSessionDone(SessionDone done) { session_done_ = std::move(done); }

  // Calls the extension once with this request's control block; its result.
  // HSE_STATUS_PENDING: the extension goes on writing asynchronously and
  // ends the request through the session-done call.
  DWORD Run(PFN_HTTPEXTENSIONPROC proc);
  // Ends the response with the extension's result (or the pending session's
  // status). HSE_STATUS_ERROR asks for the connection to go after it.
  void Finish(DWORD result) { framer_.Finish(result == HSE_STATUS_ERROR); }

  EXTENSION_CONTROL_BLOCK& control_block() { return ecb_; }
  const ResponseFramer& response() const { return framer_; }
  // What the first callback that failed by an exception caught, for the
  // host to log once; empty when none did.
  const std::string& failure() const { return failure_; }

 private:
  static ExtensionRequest* FromHandle(HCONN connection);
  template <class Work>
  static BOOL Contained(ExtensionRequest* request, Work&& work);
  void NoteFailure(std::string_view what);
  static BOOL GetServerVariable(HCONN connection, LPSTR name, LPVOID buffer, LPDWORD size);
  static BOOL WriteClient(HCONN connection, LPVOID buffer, LPDWORD bytes, DWORD flags);
  static BOOL ReadClient(HCONN connection, LPVOID buffer, LPDWORD size);
  static BOOL ServerSupportFunction(HCONN connection, DWORD request, LPVOID buffer, LPDWORD size,
                                    LPDWORD data_type);
  BOOL Write(LPVOID buffer, LPDWORD bytes, DWORD flags);
  BOOL Read(LPVOID buffer, LPDWORD size);
  BOOL Support(DWORD request, LPVOID buffer, LPDWORD data_type);
  // Hands the end of an asynchronous write to the extension's callback.
  void Completed(bool sent, DWORD bytes);

  DWORD magic_ = 0;
  RequestInput input_;
  EXTENSION_CONTROL_BLOCK ecb_{};
  ResponseFramer framer_;
  std::size_t read_offset_ = 0;  // next body byte ReadClient hands out
  PFN_HSE_IO_COMPLETION completion_ = nullptr;
  void* completion_context_ = nullptr;
  SessionDone session_done_;
  std::string failure_;
};

}  // namespace hosts
