// Both hosts write out the head the extension runner decides: the same
// extension output gives the same status line and header fields on the
// embedded server's wire and on Apache httpd's request_rec.
#include "hosts/apache/apache_head.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "hosts/extension/extension_request.h"
#include "hosts/host_options.h"
#include "hosts/server/response_queue.h"

namespace hosts::apache {
namespace {

std::function<DWORD(EXTENSION_CONTROL_BLOCK*)> g_extension;
DWORD CallExtension(EXTENSION_CONTROL_BLOCK* ecb) { return g_extension(ecb); }

// A head as both hosts show it: the status line, then the fields but Date
// (each server dates its answers itself), sorted (httpd keeps Content-Type
// apart).
struct Shown {
  std::string status_line;
  std::vector<std::string> fields;
};

Shown FromEmbedded(const ResponseHead& head) {
  ResponseQueue queue;
  queue.Begin(ResponseContext{});
  std::string text;
  queue.HeadText(head, text);
  Shown shown;
  std::size_t at = text.find("\r\n");
  shown.status_line = text.substr(9, at - 9);  // after "HTTP/1.1 "
  for (std::size_t end; (end = text.find("\r\n", at + 2)) != std::string::npos; at = end) {
    const std::string line = text.substr(at + 2, end - at - 2);
    if (!line.starts_with("Date: ")) shown.fields.push_back(line);
  }
  std::sort(shown.fields.begin(), shown.fields.end());
  return shown;
}

Shown FromApache(const ResponseHead& head) {
  const ApacheHead built = BuildApacheHead(head);
  Shown shown{built.status_line, {}};
  if (built.content_type)
    shown.fields.push_back("Content-Type: " + std::string(*built.content_type));
  for (const ResponseHeader& header : built.headers) {
    shown.fields.push_back(std::string(header.name) + ": " + std::string(header.value));
  }
  std::sort(shown.fields.begin(), shown.fields.end());
  return shown;
}

// Hands the decided head to both hosts' writers while its views are valid.
class BothHosts : public ResponseTransport {
 public:
  bool SendHead(const ResponseHead& head) override {
    embedded = FromEmbedded(head);
    apache = FromApache(head);
    return true;
  }
  bool SendBody(std::string_view) override { return true; }
  void End(bool) override {}
  Shown embedded;
  Shown apache;
};

TEST(ApacheHeadTest, BothHostsWriteTheSameStatusLineAndFields) {
  const struct {
    const char* name;
    const char* status_line;  // nullptr: no header call
    const char* header_text;
    DWORD result;
    const char* expected_status_line;
  } cases[] = {
      {"status line with its reason", "404 Not Found", "Content-Type: text/html\r\n\r\n",
       HSE_STATUS_SUCCESS, "404 Not Found"},
      {"the extension's own reason", "200 Fine", "X-Kind: a\r\nContent-Type: text/plain\r\n\r\n",
       HSE_STATUS_SUCCESS, "200 Fine"},
      {"a Connection field is the host's to say", "200 OK",
       "Connection: close\r\nX-Kind: b\r\n\r\n", HSE_STATUS_SUCCESS, "200 OK"},
      {"a code without a reason", "299", "\r\n", HSE_STATUS_SUCCESS, "299 Unknown"},
      {"failure without a word", nullptr, nullptr, HSE_STATUS_ERROR, "500 Internal Server Error"},
  };
  for (const auto& test : cases) {
    g_extension = [&](EXTENSION_CONTROL_BLOCK* ecb) -> DWORD {
      if (test.status_line != nullptr) {
        ecb->ServerSupportFunction(ecb->ConnID, HSE_REQ_SEND_RESPONSE_HEADER,
                                   const_cast<char*>(test.status_line), nullptr,
                                   reinterpret_cast<LPDWORD>(const_cast<char*>(test.header_text)));
      }
      return test.result;
    };
    BothHosts hosts;
    RequestInput input;
    input.texts = RequestTexts({.method = "GET", .query = "", .path_info = "/x"});
    ExtensionRequest request(std::move(input), hosts, defaults::kHoldLimit,
                             defaults::kAvailableLimit);
    request.Finish(request.Run(&CallExtension));
    EXPECT_EQ(hosts.embedded.status_line, test.expected_status_line) << test.name;
    EXPECT_EQ(hosts.apache.status_line, hosts.embedded.status_line) << test.name;
    EXPECT_EQ(hosts.apache.fields, hosts.embedded.fields) << test.name;
    for (const std::string& field : hosts.embedded.fields) {
      EXPECT_FALSE(field.starts_with("Connection:")) << test.name;
    }
  }
}

}  // namespace
}  // namespace hosts::apache
