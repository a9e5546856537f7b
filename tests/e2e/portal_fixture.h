// End-to-end fixture: a running portal in a temporary install root. It lays
// out the spool tree, a copy of the module beside its pointer file and a
// documents folder, starts the stand-in back-end and the host as child
// processes (stopped by their own pids), and offers a plain HTTP client.
//
// The host listens on a random loopback address 127.x.y.z at port 8080 (8000
// if 8080 is held on every address): the
// module writes reload URLs with "http" only for ports 80, 8000 and 8080
// ("https" for every other), so a browser can follow the wait page only on
// one of those ports, and a private address per test keeps parallel tests
// apart.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace e2e {

// A child process whose standard output and error go to a file.
class ChildProcess {
 public:
  ChildProcess() = default;
  ~ChildProcess() { Stop(); }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Standard error goes to `error_path`, or with standard output when empty.
  // `own_process_group`: for a server that signals its whole process group
  // when it stops (httpd does), so the test is not signalled with it.
  bool Start(const std::vector<std::string>& argv, const std::string& output_path,
             const std::string& error_path = {}, bool own_process_group = false);
  // Waits up to `timeout` for the process to end by itself; its exit status,
  // or nullopt when it had to be killed.
  std::optional<int> WaitForExit(std::chrono::milliseconds timeout);
  // SIGTERM, then waits up to `grace`; SIGKILL after that. Returns the exit
  // status as waitpid gives it, or -1 when nothing was running.
  int Stop(std::chrono::milliseconds grace = std::chrono::seconds(10));
  bool Running();
  pid_t pid() const { return pid_; }
  std::string Output() const;
  // Waits until the output holds `text`; false after `timeout`.
  bool WaitForOutput(std::string_view text,
                     std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;

 private:
  pid_t pid_ = -1;
  std::string output_path_;
};

struct HttpResponse {
  int status = 0;
  std::vector<std::pair<std::string, std::string>> headers;  // in order received
  std::string body;

  // First value of a header (name ignoring case), or nullopt.
  std::optional<std::string> Header(std::string_view name) const;
  int CountHeader(std::string_view name) const;
};

// A connection on which a test sends bytes exactly as it writes them (half a
// body, a chunked body, several requests) and reads the responses.
class RawConnection {
 public:
  // `url` names the server: "http://address:port/...".
  explicit RawConnection(const std::string& url);
  ~RawConnection();
  RawConnection(const RawConnection&) = delete;
  RawConnection& operator=(const RawConnection&) = delete;

  bool connected() const { return fd_ >= 0; }
  bool Send(std::string_view bytes);
  // Reads one response (its body by Content-Length; none for HEAD), waiting
  // at most `timeout`.
  std::optional<HttpResponse> ReadResponse(
      bool head_request = false, std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // True when the server closes the connection within `timeout`.
  bool WaitForClose(std::chrono::milliseconds timeout = std::chrono::seconds(5));

 private:
  bool Fill(std::chrono::steady_clock::time_point deadline);
  int fd_ = -1;
  std::string buffer_;
};

// One request on a fresh connection ("Connection: close"); nullopt when the
// server could not be reached or sent no complete response in time. An
// https:// URL is fetched with curl (GET only, certificate not checked).
std::optional<HttpResponse> HttpExchange(const std::string& url, std::string_view method = "GET",
                                         std::string_view body = {},
                                         std::string_view content_type = {});

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
