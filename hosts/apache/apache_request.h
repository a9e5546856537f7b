// One Apache httpd request as the extension sees it: the control block and
// its callbacks over a request_rec. The body is read from httpd as the
// extension asks for it and what the extension writes goes out as it comes
// (through the shared response split), so neither a large upload nor a large
// download is ever held whole in the server process.
#pragma once

#include <cstddef>
#include <string>

#include "dudarovuvadu/httpext.h"
#include "hosts/response_split.h"
#include "hosts/server_variables.h"
#include "httpd.h"

namespace hosts::apache {

class ApacheRequest {
 public:
  // Body bytes offered in the control block before the extension has to
  // call ReadClient, as the embedded host offers them.
  static constexpr std::size_t kAvailableLimit = 48 * 1024;

  // `script_name` is the URL path the handler serves (SCRIPT_NAME).
  ApacheRequest(request_rec* r, std::string script_name);
  ~ApacheRequest();
  ApacheRequest(const ApacheRequest&) = delete;
  ApacheRequest& operator=(const ApacheRequest&) = delete;

  // Fills the control block and reads the first part of the body. OK, or the
  // HTTP status httpd is to answer with (413 past LimitRequestBody, 400 for a
  // broken chunked body, ...) without calling the extension.
  int Prepare();

  // Calls the extension and finishes the response; the handler's result.
  int Run(PFN_HTTPEXTENSIONPROC proc);

 private:
  static ApacheRequest* FromHandle(HCONN connection);
  static BOOL GetServerVariable(HCONN connection, LPSTR name, LPVOID buffer, LPDWORD size);
  static BOOL WriteClient(HCONN connection, LPVOID buffer, LPDWORD bytes, DWORD reserved);
  static BOOL ReadClient(HCONN connection, LPVOID buffer, LPDWORD size);
  static BOOL ServerSupportFunction(HCONN connection, DWORD request, LPVOID buffer, LPDWORD size,
                                    LPDWORD data_type);

  void SetServerVariables();
  // Up to `capacity` body bytes from httpd into `buffer`; *count 0 at the end
  // of the body. httpd's status on failure.
  apr_status_t ReadBody(char* buffer, std::size_t capacity, std::size_t* count);
  // Reads into body_ until it holds `wanted` bytes or the body ends.
  apr_status_t FillBody(std::size_t wanted);

  // Takes bytes the extension sent; once the header block and the first
  // part of the body are in, sends the status and headers, then body bytes
  // as they come.
  bool Take(const char* data, std::size_t size);
  // Sets status and headers from the split of pending_. `whole`: the
  // extension has finished, pending_ is the whole response and its length
  // is known.
  void StartResponse(const SplitResponse& split, bool whole);
  void LogRefusedHeaderLine();
  void ApplyStatus();
  void ApplyHeaders(const SplitResponse& split, bool whole);
  bool SendBody(const char* data, std::size_t size);
  // The handler's result once the extension has returned `result`.
  int Finish(DWORD result);

  DWORD magic_ = 0;
  request_rec* r_;
  apr_bucket_brigade* brigade_ = nullptr;  // body reads, reused
  std::string method_;
  std::string query_;
  std::string path_info_;
  std::string path_translated_;
  std::string content_type_;
  std::string script_name_;
  ServerVariables variables_;
  EXTENSION_CONTROL_BLOCK ecb_{};

  std::string body_;               // chunked: the whole body; else its first part
  std::size_t body_offset_ = 0;    // next byte of body_ ReadClient hands out
  bool body_from_server_ = false;  // ReadClient reads on from httpd after body_
  bool body_ended_ = false;        // httpd reported the end of the body

  bool header_sent_ = false;
  std::string status_line_;
  std::string pending_;            // sent bytes before the response starts
  bool response_started_ = false;  // status and headers are set; bytes go out
  bool length_declared_ = false;   // the extension's Content-Length frames the body
  apr_off_t length_left_ = 0;      // body bytes the declared length still allows
  bool overrun_logged_ = false;
};

}  // namespace hosts::apache
