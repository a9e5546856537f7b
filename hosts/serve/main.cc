// dudarovuvadu-serve: serves the extension module over HTTP. Reads the
// command line, loads the module, runs the server until SIGINT or SIGTERM,
// then stops gracefully and unloads the module.
#include <malloc.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "hosts/operations/access_log.h"
#include "hosts/extension/extension_module.h"
#include "hosts/server/http_server.h"
#include "hosts/operations/metrics.h"
#include "hosts/operations/metrics_listener.h"
#include "platform/module_path.h"

namespace {

std::string ModuleBesideExecutable() {
  const std::string executable = platform::ExecutablePath();
  if (executable.empty()) return platform::kModuleFileName;
  const std::size_t slash = executable.rfind('/');
  return executable.substr(0, slash + 1) + platform::kModuleFileName;
}

// The limits against clients that hold connections.
void AddLimitOptions(CLI::App& app, hosts::ServerOptions& options) {
  app.add_option("--idle-timeout", options.idle_timeout_seconds,
                 "seconds before an idle connection is closed")
      ->capture_default_str()
      ->check(CLI::Range(1u, 86400u));
  app.add_option("--header-timeout", options.header_timeout_seconds,
                 "seconds a client has to send a whole request head")
      ->capture_default_str()
      ->check(CLI::Range(1u, 86400u));
  app.add_option("--max-connections", options.max_connections,
                 "open connections at most; 0 sizes it to the descriptor limit")
      ->capture_default_str();
  app.add_option("--per-address-connections", options.per_address_connections,
                 "open connections from one client address at most")
      ->capture_default_str()
      ->check(CLI::Range(std::size_t{1}, std::size_t{1} << 20));
  app.add_option("--drain-timeout", options.drain_timeout_seconds,
                 "seconds a stop waits for requests in flight")
      ->capture_default_str()
      ->check(CLI::Range(0u, 86400u));
  app.add_option("--per-address-responses", options.per_address_responses,
                 "responses being written to one client address at most (503 past it)")
      ->capture_default_str()
      ->check(CLI::Range(std::size_t{1}, std::size_t{1} << 20));
  app.add_option("--rate-limit", options.rate_limit,
                 "requests a second one client (behind a trusted proxy: the client it names) "
                 "may keep up; 0 for no limit")
      ->capture_default_str()
      ->check(CLI::Range(0.0, 1e6));
  app.add_option("--rate-burst", options.rate_burst,
                 "requests one client may make at once above --rate-limit")
      ->capture_default_str()
      ->check(CLI::Range(1u, 1000000u));
  app.add_option("--rate-limit-status", options.rate_limit_status,
                 "status of an answer past the rate (with Retry-After): 429 or 503")
      ->capture_default_str()
      ->check(CLI::IsMember({429u, 503u}));
  app.add_option("--max-body-memory", options.max_body_memory,
                 "bytes of request bodies held at once across all connections (503 past it)")
      ->capture_default_str()
      ->check(CLI::Range(std::uint64_t{1} << 20, std::uint64_t{1} << 40));
}

// What the command line sets besides the server's own options.
struct Settings {
  hosts::ServerOptions options;
  std::string module_path = ModuleBesideExecutable();
  std::vector<std::string> listen = {"127.0.0.1:8080"};
  std::vector<std::string> trusted_proxies;
  std::string forwarded_headers = "x-forwarded";
  // Operators' tools: the access log and the metrics listener.
  std::string access_log;
  bool access_log_query = false;
  std::string metrics_listen;
};

// Operators' tools: the access log and the metrics listener.
void AddOperatorOptions(CLI::App& app, Settings& settings) {
  app.add_option("--access-log", settings.access_log,
                 "FILE to append a combined-format line per request to (reopened on SIGHUP)");
  app.add_flag("--access-log-query", settings.access_log_query,
               "log the whole query string (default: the command name only, no values)");
  app.add_option("--metrics-listen", settings.metrics_listen,
                 "ADDR:PORT serving /metrics in the Prometheus text format");
}

// What runs beside the server for operators; each part only when asked for.
struct OperatorTools {
  std::unique_ptr<hosts::AccessLog> access_log;
  std::unique_ptr<hosts::Metrics> metrics;
  std::unique_ptr<hosts::MetricsListener> metrics_listener;
};

bool StartOperatorTools(Settings& settings, OperatorTools& tools, std::string* error) {
  if (!settings.access_log.empty()) {
    const std::chrono::seconds close_timeout(settings.options.drain_timeout_seconds);
    tools.access_log = hosts::AccessLog::Open(
        {settings.access_log, settings.access_log_query, 1024 * 1024, close_timeout}, error);
    if (!tools.access_log) return false;
    settings.options.access_log = tools.access_log.get();
  }
  // The line per request shows the target as the access log does.
  settings.options.log_query = settings.access_log_query;
  if (!settings.metrics_listen.empty()) {
    tools.metrics = std::make_unique<hosts::Metrics>();
    tools.metrics_listener =
        hosts::MetricsListener::Start(settings.metrics_listen, *tools.metrics, error);
    if (!tools.metrics_listener) {
      *error = "--metrics-listen: " + *error;
      return false;
    }
    settings.options.metrics = tools.metrics.get();
    if (hosts::AccessLog* log = tools.access_log.get()) {
      tools.metrics->CountDroppedAccessLines([log] { return log->dropped(); });
    }
    std::printf("dudarovuvadu-serve: metrics on port %u at /metrics\n",
                static_cast<unsigned>(tools.metrics_listener->port()));
  }
  return true;
}

void AddOptions(CLI::App& app, Settings& settings) {
  hosts::ServerOptions& options = settings.options;
  app.add_option("--module", settings.module_path, "extension module to load")
      ->capture_default_str();
  app.add_option("--listen", settings.listen,
                 "ADDR:PORT (plain) or https://ADDR:PORT (TLS) to listen on; may be given "
                 "several times; port 0 picks a free port")
      ->capture_default_str();
  app.add_option("--tls-cert", options.tls_cert,
                 "PEM certificate (or chain) of the https:// listeners");
  app.add_option("--tls-key", options.tls_key, "PEM private key of --tls-cert");
  app.add_option("--tls-ciphers", options.tls_ciphers, "OpenSSL cipher list for TLS 1.2")
      ->capture_default_str();
  app.add_option("--script-name", options.script_name, "URL path served by the module")
      ->capture_default_str();
  app.add_option("--threads", options.threads, "workers that call the module")
      ->capture_default_str()
      ->check(CLI::Range(1u, 1024u));
  app.add_option("--max-threads", options.max_threads,
                 "workers started while all are busy (a request waiting on a lock holds one)")
      ->capture_default_str()
      ->check(CLI::Range(1u, 4096u));
  app.add_option("--network-threads", options.network_threads,
                 "threads that read requests, write answers and run quick module calls (0: two per processor)")
      ->capture_default_str()
      ->check(CLI::Range(0u, 256u));
  app.add_option("--inline-calls", options.inline_calls,
                 "call the module on the network thread that received the request while "
                 "another network thread is free (false: every call goes to a worker)")
      ->capture_default_str();
  app.add_option("--max-body", options.max_body, "largest request body in bytes")
      ->capture_default_str()
      ->check(CLI::Range(std::uint64_t{0}, std::uint64_t{0xFFFFFFFEu}));
  AddLimitOptions(app, options);
  AddOperatorOptions(app, settings);
  app.add_flag("--quiet", options.quiet,
               "no line per request on standard output (the line shows what the access log "
               "does: the path and the command name)");
  app.add_option("--trusted-proxy", settings.trusted_proxies,
                 "ADDRESS[/PREFIX] of a reverse proxy whose Forwarded or X-Forwarded-* headers "
                 "give the client address, scheme, host and port (repeatable)");
  app.add_option("--forwarded-headers", settings.forwarded_headers,
                 "the headers the trusted proxies send: x-forwarded (X-Forwarded-For, -Proto, "
                 "-Host, -Port) or forwarded (RFC 7239); the other family is ignored")
      ->capture_default_str()
      ->check(CLI::IsMember({"x-forwarded", "forwarded"}));
}

bool RefuseTlsFilesWithoutTlsListener(const hosts::ServerOptions& options, std::string* error) {
  if (options.tls_cert.empty() && options.tls_key.empty()) return true;
  for (const hosts::Listener& listener : options.listeners) {
    if (listener.tls) return true;
  }
  *error =
      "--tls-cert and --tls-key are given but no listener is TLS; add --listen "
      "https://ADDR:PORT to serve HTTPS with them";
  return false;
}

// Checks the listeners and trusted proxies into the server's options; an
// error message when one is malformed.
bool ApplySettings(Settings& settings, std::string* error) {
  for (const std::string& text : settings.listen) {
    hosts::Listener listener;
    if (!hosts::ParseListener(text, &listener, error)) return false;
    settings.options.listeners.push_back(listener);
  }
  settings.options.trusted_proxies.set_family(settings.forwarded_headers == "forwarded"
                                                  ? hosts::ForwardedFamily::kForwarded
                                                  : hosts::ForwardedFamily::kXForwarded);
  // A certificate with no https:// listener would serve in clear what the
  // operator meant to serve over TLS.
  if (!RefuseTlsFilesWithoutTlsListener(settings.options, error)) return false;
  for (const std::string& spec : settings.trusted_proxies) {
    if (!settings.options.trusted_proxies.Add(spec, error)) {
      *error = "--trusted-proxy: " + *error;
      return false;
    }
  }
  return true;
}

// Each connection is a descriptor: allow as many as the system lets this
// process have.
void RaiseDescriptorLimit() {
  rlimit descriptors{};
  if (getrlimit(RLIMIT_NOFILE, &descriptors) == 0 && descriptors.rlim_cur < descriptors.rlim_max) {
    descriptors.rlim_cur = descriptors.rlim_max;
    setrlimit(RLIMIT_NOFILE, &descriptors);
  }
}

// The signals are taken by sigwait; every thread started from here on
// inherits the mask, so none of them is interrupted by a stop request.
sigset_t BlockStopSignals() {
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  sigset_t blocked = stop_signals;
  sigaddset(&blocked, SIGHUP);  // taken only with an access log to reopen
  pthread_sigmask(SIG_BLOCK, &blocked, nullptr);
  signal(SIGPIPE, SIG_IGN);
  return stop_signals;
}

void PrintListeners(const hosts::HttpServer& server, const std::string& script_name) {
  for (const hosts::Listener& listener : server.listeners()) {
    const std::string host = listener.address.find(':') != std::string::npos
                                 ? "[" + listener.address + "]"
                                 : listener.address;
    std::printf("dudarovuvadu-serve: listening on %s%s:%u\n", listener.tls ? "https://" : "",
                host.c_str(), listener.port);
    std::printf("dudarovuvadu-serve: portal at %s://%s:%u%s\n", listener.tls ? "https" : "http",
                host.c_str(), listener.port, script_name.c_str());
  }
  std::fflush(stdout);
}

// Serves until SIGINT or SIGTERM, then stops gracefully and unloads the
// module; the exit code. SIGHUP in the meantime reopens the access log.
int ServeUntilStopped(hosts::HttpServer& server, hosts::ExtensionModule& module,
                      const sigset_t& stop_signals, unsigned drain_timeout_seconds,
                      hosts::AccessLog* access_log) {
  sigset_t waited = stop_signals;
  if (access_log != nullptr) sigaddset(&waited, SIGHUP);  // blocked in BlockStopSignals
  int signal_number = 0;
  while (sigwait(&waited, &signal_number) == 0 && signal_number == SIGHUP) {
    access_log->Reopen();
  }
  std::printf("dudarovuvadu-serve: stopping on signal %d\n", signal_number);
  std::fflush(stdout);
  const auto stop_deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(drain_timeout_seconds);
  // A second signal while requests drain means "now": end at once, without
  // unloading the module under a request that may still run in it.
  std::thread([stop_signals] {
    int again = 0;
    sigwait(&stop_signals, &again);
    std::_Exit(128 + again);
  }).detach();
  const bool drained = server.Stop();
  // The access log's last lines are written within what is left of the
  // bound: a log nobody reads (a pipe) does not hold the stop.
  if (access_log != nullptr) {
    access_log->Close(std::max(std::chrono::milliseconds(0),
                               std::chrono::duration_cast<std::chrono::milliseconds>(
                                   stop_deadline - std::chrono::steady_clock::now())));
  }
  if (!drained) {
    // A request is still inside the module: unloading it now would pull the
    // code from under that thread. End without unloading.
    std::fprintf(stderr, "dudarovuvadu-serve: requests still running after %u s; exiting\n",
                 drain_timeout_seconds);
    std::fflush(stdout);
    std::_Exit(3);
  }
  const bool terminated = module.Unload();
  std::printf("dudarovuvadu-serve: stopped%s\n",
              terminated ? "" : " (TerminateExtension reported failure)");
  std::fflush(stdout);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  // Responses (a downloaded file, a request body) are large, short-lived
  // buffers made on whichever worker runs the request. One arena lets the
  // next request reuse a buffer another worker freed, where per-thread arenas
  // each kept their own (about five times a download per request in flight);
  // a fixed mapping threshold keeps such buffers in that arena instead of
  // mapping fresh, zero-filled pages for every response.
  mallopt(M_ARENA_MAX, 1);
  mallopt(M_MMAP_THRESHOLD, 64 * 1024 * 1024);

  Settings settings;
  CLI::App app{"Serves the extension module over HTTP."};
  AddOptions(app, settings);
  CLI11_PARSE(app, argc, argv);

  std::string error;
  if (!ApplySettings(settings, &error)) {
    std::fprintf(stderr, "dudarovuvadu-serve: %s\n", error.c_str());
    return 2;
  }
  RaiseDescriptorLimit();
  const sigset_t stop_signals = BlockStopSignals();

  std::unique_ptr<hosts::ExtensionModule> module =
      hosts::ExtensionModule::Load(settings.module_path, &error);
  if (!module) {
    std::fprintf(stderr, "dudarovuvadu-serve: %s\n", error.c_str());
    return 1;
  }
  std::printf("dudarovuvadu-serve: loaded %s: version %s, \"%s\"\n", module->path().c_str(),
              module->VersionText().c_str(), module->description().c_str());

  OperatorTools tools;
  if (!StartOperatorTools(settings, tools, &error)) {
    std::fprintf(stderr, "dudarovuvadu-serve: %s\n", error.c_str());
    return 1;
  }
  hosts::HttpServer server(settings.options, module->http_extension_proc(), stdout);
  if (!server.Start(&error)) {
    std::fprintf(stderr, "dudarovuvadu-serve: %s\n", error.c_str());
    return 1;
  }
  PrintListeners(server, settings.options.script_name);
  return ServeUntilStopped(server, *module, stop_signals, settings.options.drain_timeout_seconds,
                           tools.access_log.get());
}
