// End-to-end fixture: a running portal in a temporary install root. It lays
// out the spool tree, a copy of the module beside its pointer file and a
// documents folder, and starts the stand-in back-end and the host as child
// processes (stopped by their own pids).
//
// The host listens on a random loopback address 127.x.y.z at port 8080 (8000
// if 8080 is held on every address): the
// module writes reload URLs with "http" only for ports 80, 8000 and 8080
// ("https" for every other), so a browser can follow the wait page only on
// one of those ports, and a private address per test keeps parallel tests
// apart.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tests/harness/child_process.h"
#include "tests/hosts/http_client.h"

namespace e2e {

// The tests' shared child process and HTTP client.
using harness::ChildProcess;
using hosts_test::HttpConnection;
using hosts_test::HttpExchange;
using hosts_test::HttpResponse;

// The text between `before` and the next `after`, or "".
std::string Between(std::string_view text, std::string_view before, std::string_view after);
// "&amp;" and friends back to their characters (for hrefs read from a page).
std::string HtmlUnescape(std::string_view text);

// The server that runs the module: the embedded host, or Apache httpd with
// mod_dudarovuvadu under one of its two process models.
enum class HostKind { kEmbedded, kApachePrefork, kApacheEvent };
// DUDAROVUVADU_E2E_HOST ("apache-prefork", "apache-event"), so the same
// cases run against every host; the embedded host when unset.
HostKind HostFromEnvironment();

class Portal {
 public:
  struct Options {
    int backend_delay_ms = 0;
    // Extra options for the host, e.g. {"--max-body", "1000"}; Apache httpd
    // takes "--max-body" as LimitRequestBody. "{address}" in one stands for
    // the host's loopback address.
    std::vector<std::string> host_options;
    HostKind host = HostFromEnvironment();
    // Another back-end to start instead of the stand-in, given
    // "--root ROOT --docs DOCS" after these arguments; it must print
    // "backend: serving" once it serves.
    std::vector<std::string> backend_command;
  };
  explicit Portal(Options options);
  Portal() : Portal(Options{}) {}
  ~Portal();
  Portal(const Portal&) = delete;
  Portal& operator=(const Portal&) = delete;

  // Empty when everything started; else what went wrong.
  const std::string& error() const { return error_; }

  const std::string& root() const { return root_; }
  std::string Path(const std::string& relative) const { return root_ + "/" + relative; }
  // http://127.x.y.z:8080/scripts/dudarovuvadu.dll
  const std::string& module_url() const { return module_url_; }
  // module_url() + "?DoCommand?Logon=...&Command=...&P1=...&P2=...&P3=" (values as given)
  std::string DoCommandUrl(std::string_view logon, std::string_view command,
                           std::string_view p1 = {}, std::string_view p2 = {},
                           std::string_view p3 = {}) const;

  ChildProcess& backend() { return backend_; }
  // The host process: for Apache httpd its parent process, whose output
  // holds the error log and the access log ("client \"request line\" status").
  ChildProcess& host() { return host_; }

  // Follows the wait page of a new request: fetches `url`, then the page's
  // reload target until the answer replaces the wait page (at most
  // `timeout`). The last response is returned; `ticket` receives the ticket.
  std::optional<HttpResponse> FetchAnswer(
      const std::string& url, std::string* ticket = nullptr,
      std::chrono::milliseconds timeout = std::chrono::seconds(10));

  void WriteFile(const std::string& relative, std::string_view bytes) const;
  std::optional<std::string> ReadFile(const std::string& relative) const;

 private:
  bool StartHost(const std::vector<std::string>& extra_options);
  bool StartApache(const std::vector<std::string>& extra_options, HostKind kind);

  std::string error_;
  std::string root_;
  std::string module_url_;
  ChildProcess backend_;
  ChildProcess host_;
};

// Options with the back-end holding each answer back `milliseconds`.
inline Portal::Options WithBackendDelay(int milliseconds) {
  Portal::Options options;
  options.backend_delay_ms = milliseconds;
  return options;
}
// Options with extra host options.
inline Portal::Options WithHostOptions(std::vector<std::string> host_options) {
  Portal::Options options;
  options.host_options = std::move(host_options);
  return options;
}

// The wait page's reload target (HTML: var target="..."), or "".
std::string WaitPageTarget(std::string_view page);

}  // namespace e2e
