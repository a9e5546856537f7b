// One Apache httpd request run through the shared extension request: its
// texts and server variables from request_rec, the body read from httpd as
// the extension asks for it, and what the extension writes sent on as it
// comes (through the shared response framer), so neither a large upload nor
// a large download is ever held whole in the server process.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "dudarovuvadu/httpext.h"
#include "hosts/extension/extension_request.h"
#include "hosts/extension/response_framer.h"
#include "hosts/host_options.h"
#include "httpd.h"

namespace hosts::apache {

class ApacheRequest : private BodySource, private ResponseTransport {
 public:
  // `script_name` is the URL path the handler serves (SCRIPT_NAME).
  ApacheRequest(request_rec* r, std::string script_name);
  ~ApacheRequest() override;
  ApacheRequest(const ApacheRequest&) = delete;
  ApacheRequest& operator=(const ApacheRequest&) = delete;

  // Fills the control block and reads the first part of the body. OK, or the
  // HTTP status httpd is to answer with (413 past LimitRequestBody, 400 for a
  // broken chunked body, ...) without calling the extension.
  int Prepare();

  // Calls the extension and finishes the response; the handler's result.
  int Run(PFN_HTTPEXTENSIONPROC proc);

 private:
  // Reads the start of the body (a chunked one whole) into `body`; its whole
  // length in `total`. OK or httpd's status.
  int ReadBodyStart(std::string* body, DWORD* total);
  RequestInput Input(std::string body, DWORD total);
  // Up to `capacity` body bytes from httpd into `buffer`; *count 0 at the end
  // of the body. httpd's status on failure.
  apr_status_t ReadBody(char* buffer, std::size_t capacity, std::size_t* count);
  // Reads into `body` until it holds `wanted` bytes or the body ends.
  apr_status_t FillBody(std::string* body, std::size_t wanted);

  // BodySource: the body past its first part, from httpd.
  bool ReadMore(char* buffer, std::size_t capacity, std::size_t* count) override;
  // ResponseTransport: the status and headers onto request_rec, the body
  // through httpd's output filters, which frame it.
  bool SendHead(const ResponseHead& head) override;
  bool SendBody(std::string_view bytes) override;
  void End(bool reusable) override;
  void LogFraming() const;

  request_rec* r_;
  apr_bucket_brigade* brigade_ = nullptr;  // body reads, reused
  std::string script_name_;
  // What the extension is offered and what is held, as on the embedded host.
  const ExtensionSettings settings_;
  std::optional<ExtensionRequest> extension_;
  bool body_ended_ = false;  // httpd reported the end of the body

  // The status httpd answers with its own page: nothing was sent.
  std::optional<int> unanswered_status_;
};

}  // namespace hosts::apache
