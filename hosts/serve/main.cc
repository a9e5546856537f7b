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
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "hosts/extension/extension_module.h"
#include "hosts/operations/access_log.h"
#include "hosts/operations/metrics.h"
#include "hosts/operations/metrics_listener.h"
#include "hosts/serve/command_line.h"
#include "hosts/server/http_server.h"

namespace {

using hosts::serve::AddOptions;
using hosts::serve::ApplySettings;
using hosts::serve::Settings;

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

// Each connection is a descriptor: allow as many as the system lets this
// process have. False, with the system's reason, when the limit stays as it
// was (the server then fits its connections within that one).
[[nodiscard]] bool RaiseDescriptorLimit(std::string* error) {
  rlimit descriptors{};
  if (getrlimit(RLIMIT_NOFILE, &descriptors) != 0) {
    *error = std::string("getrlimit: ") + std::strerror(errno);
    return false;
  }
  if (descriptors.rlim_cur >= descriptors.rlim_max) return true;
  descriptors.rlim_cur = descriptors.rlim_max;
  if (setrlimit(RLIMIT_NOFILE, &descriptors) != 0) {
    *error = std::string("setrlimit: ") + std::strerror(errno);
    return false;
  }
  return true;
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
  if (!RaiseDescriptorLimit(&error)) {
    std::fprintf(stderr, "dudarovuvadu-serve: the descriptor limit stays as it was: %s\n",
                 error.c_str());
  }
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
