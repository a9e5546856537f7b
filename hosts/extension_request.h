// One request as the extension sees it: the control block with its
// callbacks, filled from what the server received, and everything the
// extension sends back, collected for the server to answer with or handed to
// the server as it is written. Knows no HTTP library, so every host (the
// embedded server, Apache httpd) runs an extension through it.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "dudarovuvadu/httpext.h"
#include "hosts/server_variables.h"

namespace hosts {

// Where a response too large to hold goes: the host passes the bytes on to
// its client as they come, so a download in flight holds one piece at a
// time and a large buffer the extension wrote is sent from where it lies.
class ResponseSink {
 public:
  virtual ~ResponseSink() = default;
  // Passes bytes of the response stream on, in order: on the first call the
  // bytes held so far (the header text and what was written before), then
  // the bytes of the current write. Returns once they are sent (the caller
  // may then reuse its buffer); false when the client has gone.
  virtual bool Stream(std::string_view held, std::string_view bytes) = 0;
};

// A server that takes the response as the extension writes it and frames
// it itself (httpd's output filters): every write and the header call's
// header text go to it, and nothing is held by the request.
class ResponseWriter {
 public:
  virtual ~ResponseWriter() = default;
  // The bytes of one WriteClient call; false when the client has gone.
  virtual bool Write(std::string_view bytes) = 0;
  // True once the response has begun to go out: a header call then is
  // refused, as it could only put a status line into the body.
  virtual bool Started() const = 0;
  // The header call's header text (the status line is recorded by then),
  // which goes before every byte written so far. False fails the call.
  virtual bool PutHeader(std::string_view header_text) = 0;
};

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
  std::string method;
  std::string query;            // raw bytes after the first "?", not decoded
  std::string path_info;        // the URL path
  std::string path_translated;  // no file system mapping: empty
  std::string content_type;
  std::string body;  // the whole body, already received, or its first part
  ServerVariables variables;
  // When `body` is only the first part: the whole body's length, and where
  // ReadClient reads the rest once `body` is handed out.
  std::optional<DWORD> total_bytes;
  BodySource* more_body = nullptr;
};

class ExtensionRequest {
 public:
  // Body bytes offered in the control block before the extension has to
  // call ReadClient, as web servers offer the first read of a body.
  static constexpr std::size_t kDefaultAvailableLimit = 48 * 1024;
  // A response larger than this is refused by WriteClient, so a runaway
  // extension cannot exhaust the host's memory.
  static constexpr std::size_t kMaxResponseBytes = std::size_t{1} << 30;

  explicit ExtensionRequest(RequestInput input,
                            std::size_t available_limit = kDefaultAvailableLimit);
  ~ExtensionRequest();
  ExtensionRequest(const ExtensionRequest&) = delete;
  ExtensionRequest& operator=(const ExtensionRequest&) = delete;

  // Responses that grow past `threshold` bytes go to `sink` from then on
  // instead of being held whole. Without a sink everything is held.
  void SetSink(ResponseSink* sink, std::size_t threshold) {
    sink_ = sink;
    stream_threshold_ = threshold;
  }
  // True once the response went to the sink: stream() then holds nothing.
  bool streamed() const { return streamed_; }
  // Every write and the header text go to `writer` instead of being held.
  void SetWriter(ResponseWriter* writer) { writer_ = writer; }

  // Calls the extension once with this request's control block.
  void Run(PFN_HTTPEXTENSIONPROC proc);

  EXTENSION_CONTROL_BLOCK& control_block() { return ecb_; }
  DWORD result() const { return result_; }
  bool header_sent() const { return header_sent_; }
  const std::string& status_line() const { return status_line_; }
  // The header text of the header call followed by every byte written.
  const std::string& stream() const { return stream_; }
  std::string TakeStream() { return std::move(stream_); }
  std::size_t read_client_calls() const { return read_client_calls_; }

  // The status to answer with: the code of the status line the extension
  // sent; without a usable status line the recorded status; 500 when the
  // extension failed without sending anything.
  unsigned StatusCode() const;
  // HSE_STATUS_ERROR asks the server to drop the connection after the answer.
  bool KeepConnection() const { return result_ != HSE_STATUS_ERROR; }

 private:
  static ExtensionRequest* FromHandle(HCONN connection);
  static BOOL GetServerVariable(HCONN connection, LPSTR name, LPVOID buffer, LPDWORD size);
  static BOOL WriteClient(HCONN connection, LPVOID buffer, LPDWORD bytes, DWORD reserved);
  static BOOL ReadClient(HCONN connection, LPVOID buffer, LPDWORD size);
  static BOOL ServerSupportFunction(HCONN connection, DWORD request, LPVOID buffer, LPDWORD size,
                                    LPDWORD data_type);
  // WriteClient's bytes, held or passed on; an errno value, 0 when taken.
  int Take(std::string_view data);

  DWORD magic_ = 0;
  RequestInput input_;
  EXTENSION_CONTROL_BLOCK ecb_{};
  std::size_t read_offset_ = 0;  // next body byte ReadClient hands out
  std::size_t read_client_calls_ = 0;
  DWORD result_ = HSE_STATUS_ERROR;
  bool header_sent_ = false;
  std::string status_line_;
  std::string stream_;
  ResponseSink* sink_ = nullptr;
  std::size_t stream_threshold_ = 0;
  bool streamed_ = false;
  ResponseWriter* writer_ = nullptr;
};

}  // namespace hosts
