// End-to-end fixture: the portal's install root, its back-end and its host.

#include "tests/e2e/portal_fixture.h"

#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <thread>

namespace e2e {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

std::string BuildDir() {
  const char* dir = std::getenv("DUDAROVUVADU_BUILD_DIR");
  return dir != nullptr ? dir : "build";
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

// ---------------------------------------------------------------- pages

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

  std::vector<std::string> backend_argv = options.backend_command;
  if (backend_argv.empty()) {
    backend_argv = {build + "/dudarovuvadu-backend", "--delay",
                    std::to_string(options.backend_delay_ms)};
  }
  for (const std::string& argument :
       {std::string("--root"), root_, std::string("--docs"), Path("docs")}) {
    backend_argv.push_back(argument);
  }
  if (!backend_.Start(backend_argv, Path("backend.log")) ||
      !backend_.WaitForOutput("backend: serving", 30s)) {
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
    } else if (extra_options[i] == "--access-log-query") {
      // httpd's own log line carries the whole query already.
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
