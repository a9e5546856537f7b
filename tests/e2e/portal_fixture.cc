// End-to-end fixture: child processes, the portal's install root, and a
// plain HTTP client.

#include "tests/e2e/portal_fixture.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <thread>

extern char** environ;

namespace e2e {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

std::string BuildDir() {
  const char* dir = std::getenv("DUDAROVUVADU_BUILD_DIR");
  return dir != nullptr ? dir : "build";
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

struct FdCloser {
  int fd;
  ~FdCloser() {
    if (fd >= 0) ::close(fd);
  }
};

std::string DecodeChunked(std::string_view data) {
  std::string body;
  std::size_t at = 0;
  while (at < data.size()) {
    const std::size_t line_end = data.find("\r\n", at);
    if (line_end == std::string_view::npos) break;
    const std::size_t size =
        std::strtoul(std::string(data.substr(at, line_end - at)).c_str(), nullptr, 16);
    at = line_end + 2;
    if (size == 0 || at + size > data.size()) break;
    body.append(data.substr(at, size));
    at += size + 2;
  }
  return body;
}

std::string RandomLoopbackAddress() {
  static std::random_device random;
  std::uniform_int_distribution<int> octet(1, 254);
  return "127." + std::to_string(octet(random)) + "." + std::to_string(octet(random)) + "." +
         std::to_string(octet(random));
}

// Apache httpd started as root serves as this user, which must own the
// install root so the module can keep its spool there.
constexpr char kApacheUser[] = "www-data";

bool PrepareApacheUser(const std::string& root, std::string* error) {
  if (::geteuid() != 0) return true;  // httpd keeps the test's own user
  const passwd* user = ::getpwnam(kApacheUser);
  if (user == nullptr) {
    *error = std::string("no user ") + kApacheUser + " for httpd to run as";
    return false;
  }
  std::error_code walk_error;
  for (auto it = fs::recursive_directory_iterator(root, walk_error);
       !walk_error && it != fs::recursive_directory_iterator(); it.increment(walk_error)) {
    if (::lchown(it->path().c_str(), user->pw_uid, user->pw_gid) != 0) walk_error.clear();
  }
  if (::chown(root.c_str(), user->pw_uid, user->pw_gid) != 0) {
    *error = "cannot give " + root + " to " + kApacheUser + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

// A configuration of its own for one httpd: everything it writes (pid file,
// runtime files, logs) stays inside the install root, so parallel tests
// never meet.
std::string ApacheConfig(const std::string& root, const std::string& listen, HostKind kind,
                         const std::string& max_body) {
  const std::string modules = DUDAROVUVADU_APACHE_MODULE_DIR;
  std::string config = "ServerRoot \"" + root + "/apache\"\n";
  config += "Listen " + listen + "\nServerName " + listen.substr(0, listen.find(':')) + "\n";
  config += "PidFile \"" + root + "/apache/httpd.pid\"\n";
  config += "DefaultRuntimeDir \"" + root + "/apache\"\n";
  config += "ErrorLog \"" + root + "/host.log\"\nLogLevel notice\n";
  config += "LogFormat \"%a \\\"%r\\\" %>s %b\" portal\n";
  config += "CustomLog \"" + root + "/host.log\" portal\n";
  if (kind == HostKind::kApachePrefork) {
    config += "LoadModule mpm_prefork_module \"" + modules + "/mod_mpm_prefork.so\"\n";
    config += "StartServers 4\nMinSpareServers 4\nMaxSpareServers 8\nMaxRequestWorkers 24\n";
  } else {
    config += "LoadModule mpm_event_module \"" + modules + "/mod_mpm_event.so\"\n";
    config += "StartServers 2\nServerLimit 2\nThreadLimit 12\nThreadsPerChild 12\n";
    config += "MinSpareThreads 4\nMaxSpareThreads 24\nMaxRequestWorkers 24\n";
  }
  // Without an authorization module httpd refuses every request.
  config += "LoadModule authz_core_module \"" + modules + "/mod_authz_core.so\"\n";
  config += "<Location \"/\">\n    Require all granted\n</Location>\n";
  config += "LoadModule dudarovuvadu_module \"" + fs::absolute(BuildDir()).string() +
            "/mod_dudarovuvadu.so\"\n";
  if (::geteuid() == 0) {
    config += std::string("User ") + kApacheUser + "\nGroup " + kApacheUser + "\n";
  }
  config += "DocumentRoot \"" + root + "/www\"\nKeepAlive On\nTimeout 30\n";
  config += "GracefulShutdownTimeout 10\n";
  if (!max_body.empty()) config += "LimitRequestBody " + max_body + "\n";
  config += "DudarovuvaduExtension \"" + root + "/module/dudarovuvadu.so\"\n";
  config += "<Location \"/scripts/dudarovuvadu.dll\">\n    SetHandler dudarovuvadu\n</Location>\n";
  return config;
}

}  // namespace

HostKind HostFromEnvironment() {
  const char* host = std::getenv("DUDAROVUVADU_E2E_HOST");
  if (host == nullptr) return HostKind::kEmbedded;
  if (std::strcmp(host, "apache-prefork") == 0) return HostKind::kApachePrefork;
  if (std::strcmp(host, "apache-event") == 0) return HostKind::kApacheEvent;
  return HostKind::kEmbedded;
}

// ---------------------------------------------------------------- processes

bool ChildProcess::Start(const std::vector<std::string>& argv, const std::string& output_path,
                         const std::string& error_path, bool own_process_group) {
  output_path_ = output_path;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, output_path.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (error_path.empty()) {
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
  } else {
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, error_path.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
  }
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  if (own_process_group) {
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
  }
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  const int failed = posix_spawn(&pid_, args[0], &actions, &attributes, args.data(), environ);
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  if (failed != 0) pid_ = -1;
  return failed == 0;
}

bool ChildProcess::Running() {
  if (pid_ < 0) return false;
  int status = 0;
  if (::waitpid(pid_, &status, WNOHANG) == pid_) {
    pid_ = -1;
    return false;
  }
  return true;
}

std::optional<int> ChildProcess::WaitForExit(std::chrono::milliseconds timeout) {
  if (pid_ < 0) return std::nullopt;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  int status = 0;
  while (std::chrono::steady_clock::now() < deadline) {
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return status;
    }
    std::this_thread::sleep_for(20ms);
  }
  ::kill(pid_, SIGKILL);
  ::waitpid(pid_, &status, 0);
  pid_ = -1;
  return std::nullopt;
}

int ChildProcess::Stop(std::chrono::milliseconds grace) {
  if (pid_ < 0) return -1;
  ::kill(pid_, SIGTERM);
  const auto deadline = std::chrono::steady_clock::now() + grace;
  int status = 0;
  for (;;) {
    const pid_t done = ::waitpid(pid_, &status, WNOHANG);
    if (done == pid_ || done < 0) break;
    if (std::chrono::steady_clock::now() >= deadline) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &status, 0);
      break;
    }
    std::this_thread::sleep_for(10ms);
  }
  pid_ = -1;
  return status;
}

std::string ChildProcess::Output() const {
  std::ifstream in(output_path_, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

bool ChildProcess::WaitForOutput(std::string_view text, std::chrono::milliseconds timeout) const {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (Output().find(text) == std::string::npos) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

// ---------------------------------------------------------------- HTTP

std::optional<std::string> HttpResponse::Header(std::string_view name) const {
  for (const auto& [key, value] : headers) {
    if (EqualsIgnoringCase(key, name)) return value;
  }
  return std::nullopt;
}

int HttpResponse::CountHeader(std::string_view name) const {
  int count = 0;
  for (const auto& header : headers) count += EqualsIgnoringCase(header.first, name);
  return count;
}

namespace {

struct UrlParts {
  std::string authority;  // address:port
  std::string target;     // path and query
};

std::optional<UrlParts> SplitUrl(const std::string& url) {
  constexpr std::string_view kScheme = "http://";
  if (url.rfind(kScheme, 0) != 0) return std::nullopt;
  const std::size_t path_start = url.find('/', kScheme.size());
  UrlParts parts;
  parts.authority = url.substr(kScheme.size(), path_start - kScheme.size());
  parts.target = path_start == std::string::npos ? "/" : url.substr(path_start);
  return parts;
}

// A connected socket to the URL's server (reads and writes time out after
// 30 s), or -1.
int ConnectTo(const std::string& url) {
  const auto parts = SplitUrl(url);
  if (!parts) return -1;
  const std::size_t colon = parts->authority.rfind(':');
  const std::string address = parts->authority.substr(0, colon);
  const int port =
      colon == std::string::npos ? 80 : std::atoi(parts->authority.c_str() + colon + 1);
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  timeval timeout{30, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  peer.sin_port = htons(static_cast<std::uint16_t>(port));
  if (::inet_pton(AF_INET, address.c_str(), &peer.sin_addr) != 1 ||
      ::connect(fd, reinterpret_cast<sockaddr*>(&peer), sizeof peer) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

bool SendAll(int fd, std::string_view bytes) {
  for (std::size_t sent = 0; sent < bytes.size();) {
    const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return false;
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

// Parses a response head (without its final empty line).
std::optional<HttpResponse> ParseHead(const std::string& head) {
  HttpResponse response;
  std::size_t line_start = head.find("\r\n");
  const std::string status_line = head.substr(0, line_start);
  if (status_line.rfind("HTTP/1.", 0) != 0 || status_line.size() < 12) return std::nullopt;
  response.status = std::atoi(status_line.c_str() + 9);
  while (line_start != std::string::npos) {
    const std::size_t begin = line_start + 2;
    line_start = head.find("\r\n", begin);
    const std::string line = head.substr(begin, line_start - begin);
    const std::size_t separator = line.find(':');
    if (separator == std::string::npos) continue;
    std::string value = line.substr(separator + 1);
    value.erase(0, value.find_first_not_of(" \t"));
    response.headers.emplace_back(line.substr(0, separator), value);
  }
  return response;
}

}  // namespace

RawConnection::RawConnection(const std::string& url) : fd_(ConnectTo(url)) {}

RawConnection::~RawConnection() {
  if (fd_ >= 0) ::close(fd_);
}

bool RawConnection::Send(std::string_view bytes) { return fd_ >= 0 && SendAll(fd_, bytes); }

bool RawConnection::Fill(std::chrono::steady_clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  if (fd_ < 0 || left.count() <= 0) return false;
  pollfd readable{fd_, POLLIN, 0};
  if (::poll(&readable, 1, static_cast<int>(left.count())) <= 0) return false;
  char buffer[65536];
  const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
  if (n <= 0) return false;
  buffer_.append(buffer, static_cast<std::size_t>(n));
  return true;
}

std::optional<HttpResponse> RawConnection::ReadResponse(bool head_request,
                                                        std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::size_t head_end;
  while ((head_end = buffer_.find("\r\n\r\n")) == std::string::npos) {
    if (!Fill(deadline)) return std::nullopt;
  }
  auto response = ParseHead(buffer_.substr(0, head_end));
  buffer_.erase(0, head_end + 4);
  if (!response) return std::nullopt;
  std::size_t length = 0;
  if (const auto declared = response->Header("Content-Length"); declared && !head_request) {
    length = std::strtoul(declared->c_str(), nullptr, 10);
  }
  while (buffer_.size() < length) {
    if (!Fill(deadline)) return std::nullopt;
  }
  response->body = buffer_.substr(0, length);
  buffer_.erase(0, length);
  return response;
}

bool RawConnection::WaitForClose(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd readable{fd_, POLLIN, 0};
    if (::poll(&readable, 1, 50) > 0) {
      char buffer[4096];
      const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
      if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) return true;
    }
  }
  return false;
}

namespace {

// An exchange over HTTPS goes through curl, which passes the response on as
// received (--raw); the tests' certificates are self-signed, so they are
// not checked.
std::optional<std::string> CurlExchange(const std::string& url) {
  if (url.find('\'') != std::string::npos) return std::nullopt;
  const std::string command =
      "curl -sk -i --raw --max-time 30 -H 'Connection: close' '" + url + "'";
  std::FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return std::nullopt;
  std::string received;
  char buffer[65536];
  std::size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) received.append(buffer, got);
  if (::pclose(pipe) != 0) return std::nullopt;
  return received;
}

std::optional<HttpResponse> ParseReceived(const std::string& received, std::string_view method);

}  // namespace

std::optional<HttpResponse> HttpExchange(const std::string& url, std::string_view method,
                                         std::string_view body, std::string_view content_type) {
  if (url.rfind("https://", 0) == 0) {
    if (method != "GET" || !body.empty()) return std::nullopt;
    const std::optional<std::string> received = CurlExchange(url);
    if (!received) return std::nullopt;
    return ParseReceived(*received, method);
  }
  const auto parts = SplitUrl(url);
  if (!parts) return std::nullopt;
  const std::string& authority = parts->authority;
  const std::string& target = parts->target;
  FdCloser socket_fd{ConnectTo(url)};
  if (socket_fd.fd < 0) return std::nullopt;

  std::string request = std::string(method) + " " + target + " HTTP/1.1\r\nHost: " + authority +
                        "\r\nConnection: close\r\n";
  if (!content_type.empty()) request += "Content-Type: " + std::string(content_type) + "\r\n";
  if (method == "POST") request += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  request += "\r\n";
  request += body;
  for (std::size_t sent = 0; sent < request.size();) {
    const ssize_t n =
        ::send(socket_fd.fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return std::nullopt;
    sent += static_cast<std::size_t>(n);
  }

  std::string received;
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::recv(socket_fd.fd, buffer, sizeof buffer, 0);
    if (n == 0) break;
    if (n < 0) return std::nullopt;  // timeout or reset
    received.append(buffer, static_cast<std::size_t>(n));
  }
  return ParseReceived(received, method);
}

namespace {

std::optional<HttpResponse> ParseReceived(const std::string& received, std::string_view method) {
  const std::size_t head_end = received.find("\r\n\r\n");
  if (head_end == std::string::npos) return std::nullopt;
  auto parsed = ParseHead(received.substr(0, head_end));
  if (!parsed) return std::nullopt;
  HttpResponse& response = *parsed;
  std::string rest = received.substr(head_end + 4);
  const auto encoding = response.Header("Transfer-Encoding");
  if (encoding && EqualsIgnoringCase(*encoding, "chunked")) {
    response.body = DecodeChunked(rest);
  } else if (const auto length = response.Header("Content-Length"); length && method != "HEAD") {
    response.body = rest.substr(0, std::strtoul(length->c_str(), nullptr, 10));
  } else {
    response.body = std::move(rest);
  }
  return parsed;
}

}  // namespace

std::string Between(std::string_view text, std::string_view before, std::string_view after) {
  const std::size_t start = text.find(before);
  if (start == std::string_view::npos) return {};
  const std::size_t from = start + before.size();
  const std::size_t end = text.find(after, from);
  if (end == std::string_view::npos) return {};
  return std::string(text.substr(from, end - from));
}

std::string HtmlUnescape(std::string_view text) {
  static const std::pair<std::string_view, char> kEntities[] = {
      {"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&#39;", '\''}};
  std::string out;
  for (std::size_t i = 0; i < text.size();) {
    bool replaced = false;
    for (const auto& [entity, c] : kEntities) {
      if (text.substr(i, entity.size()) == entity) {
        out.push_back(c);
        i += entity.size();
        replaced = true;
        break;
      }
    }
    if (!replaced) out.push_back(text[i++]);
  }
  return out;
}

std::string WaitPageTarget(std::string_view page) { return Between(page, "var target=\"", "\";"); }

// ---------------------------------------------------------------- portal

Portal::Portal(Options options) {
  char pattern[] = "/tmp/dudarovuvadu-e2e.XXXXXX";
  if (::mkdtemp(pattern) == nullptr) {
    error_ = "cannot create a temporary directory";
    return;
  }
  root_ = pattern;
  for (const char* dir : {"in", "out", "traces", "post", "rights", "events", "module", "docs"}) {
    fs::create_directory(Path(dir));
  }
  const std::string build = BuildDir();
  std::error_code copy_error;
  fs::copy_file(build + "/dudarovuvadu.so", Path("module/dudarovuvadu.so"), copy_error);
  if (copy_error) {
    error_ = "cannot copy " + build + "/dudarovuvadu.so: " + copy_error.message();
    return;
  }
  WriteFile("module/dudarovuvadu.dir", root_ + "\r\n");
  if (options.host != HostKind::kEmbedded && !PrepareApacheUser(root_, &error_)) return;

  if (!backend_.Start({build + "/dudarovuvadu-backend", "--root", root_, "--docs", Path("docs"),
                       "--delay", std::to_string(options.backend_delay_ms)},
                      Path("backend.log")) ||
      !backend_.WaitForOutput("backend: serving")) {
    error_ = "the back-end did not start: " + backend_.Output();
    return;
  }
  if (options.host == HostKind::kEmbedded) {
    StartHost(options.host_options);
  } else {
    StartApache(options.host_options, options.host);
  }
}

bool Portal::StartHost(const std::vector<std::string>& extra_options) {
  const std::string build = BuildDir();
  for (int attempt = 0; attempt < 8; ++attempt) {
    const std::string address = RandomLoopbackAddress();
    // 8000 also gives "http" URLs: the way out when something holds 8080 on
    // every address.
    const std::string port = attempt < 5 ? "8080" : "8000";
    std::vector<std::string> argv = {build + "/dudarovuvadu-serve",
                                     "--module",
                                     Path("module/dudarovuvadu.so"),
                                     "--listen",
                                     address + ":" + port,
                                     "--threads",
                                     "4"};
    for (std::string option : extra_options) {
      for (std::size_t at; (at = option.find("{address}")) != std::string::npos;) {
        option.replace(at, 9, address);
      }
      argv.push_back(std::move(option));
    }
    if (!host_.Start(argv, Path("host.log"))) {
      error_ = "cannot start the host";
      return false;
    }
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (std::chrono::steady_clock::now() < deadline) {
      if (host_.Output().find("listening on " + address + ":" + port) != std::string::npos) {
        module_url_ = "http://" + address + ":" + port + "/scripts/dudarovuvadu.dll";
        return true;
      }
      if (!host_.Running()) break;  // that address is taken: try another
      std::this_thread::sleep_for(10ms);
    }
    host_.Stop();
  }
  error_ = "the host did not start: " + host_.Output();
  return false;
}

bool Portal::StartApache(const std::vector<std::string>& extra_options, HostKind kind) {
  std::string max_body;
  for (std::size_t i = 0; i < extra_options.size(); ++i) {
    if (extra_options[i] == "--max-body" && i + 1 < extra_options.size()) {
      max_body = extra_options[++i];
    } else {
      error_ = "httpd has no equivalent of host option " + extra_options[i];
      return false;
    }
  }
  fs::create_directory(Path("apache"));
  fs::create_directory(Path("www"));
  for (int attempt = 0; attempt < 8; ++attempt) {
    const std::string address = RandomLoopbackAddress();
    const std::string port = attempt < 5 ? "8080" : "8000";
    WriteFile("apache/httpd.conf", ApacheConfig(root_, address + ":" + port, kind, max_body));
    if (!host_.Start({DUDAROVUVADU_APACHE_HTTPD, "-f", Path("apache/httpd.conf"), "-DFOREGROUND"},
                     Path("host.log"), {}, /*own_process_group=*/true)) {
      error_ = "cannot start " DUDAROVUVADU_APACHE_HTTPD;
      return false;
    }
    // Ready once the parent has bound the address and a child has loaded the
    // extension.
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (std::chrono::steady_clock::now() < deadline) {
      const std::string log = host_.Output();
      if (log.find("resuming normal operations") != std::string::npos &&
          log.find("loaded in process") != std::string::npos) {
        module_url_ = "http://" + address + ":" + port + "/scripts/dudarovuvadu.dll";
        return true;
      }
      if (!host_.Running()) break;  // that address is taken, or the configuration is wrong
      std::this_thread::sleep_for(20ms);
    }
    host_.Stop();
    if (host_.Output().find("could not bind") == std::string::npos) break;
  }
  error_ = "httpd did not start: " + host_.Output();
  return false;
}

Portal::~Portal() {
  host_.Stop();
  backend_.Stop();
  if (!root_.empty()) {
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }
}

std::string Portal::DoCommandUrl(std::string_view logon, std::string_view command,
                                 std::string_view p1, std::string_view p2,
                                 std::string_view p3) const {
  return module_url_ + "?DoCommand?Logon=" + std::string(logon) +
         "&Command=" + std::string(command) + "&P1=" + std::string(p1) + "&P2=" + std::string(p2) +
         "&P3=" + std::string(p3);
}

std::optional<HttpResponse> Portal::FetchAnswer(const std::string& url, std::string* ticket,
                                                std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::optional<HttpResponse> response = HttpExchange(url);
  while (response) {
    // A wait page names its reload target in its script, or, for a phone,
    // in its Refresh header.
    std::string target = WaitPageTarget(response->body);
    if (target.empty()) {
      const auto refresh = response->Header("Refresh");
      if (refresh && refresh->rfind("1;url=", 0) == 0) target = refresh->substr(6);
    }
    if (target.empty()) break;
    if (ticket != nullptr) *ticket = Between(target + "&", "&p1=", "&");
    if (std::chrono::steady_clock::now() >= deadline) break;
    std::this_thread::sleep_for(50ms);
    response = HttpExchange(target);
  }
  return response;
}

void Portal::WriteFile(const std::string& relative, std::string_view bytes) const {
  std::ofstream out(Path(relative), std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::optional<std::string> Portal::ReadFile(const std::string& relative) const {
  std::ifstream in(Path(relative), std::ios::binary);
  if (!in) return std::nullopt;
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

}  // namespace e2e
