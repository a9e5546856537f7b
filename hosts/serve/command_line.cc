// The host's command line: every option it takes, read into the server's
// options and the settings of what runs beside the server.
#include "hosts/serve/command_line.h"

#include <cstdint>

#include "platform/module_path.h"

namespace hosts::serve {

std::string ModuleBesideExecutable() {
  const std::string executable = platform::ExecutablePath();
  if (executable.empty()) return platform::kModuleFileName;
  const std::size_t slash = executable.rfind('/');
  return executable.substr(0, slash + 1) + platform::kModuleFileName;
}

namespace {

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

// Operators' tools: the access log and the metrics listener.
void AddOperatorOptions(CLI::App& app, Settings& settings) {
  app.add_option("--access-log", settings.access_log,
                 "FILE to append a combined-format line per request to (reopened on SIGHUP)");
  app.add_flag("--access-log-query", settings.access_log_query,
               "log the whole query string (default: the command name only, no values)");
  app.add_option("--metrics-listen", settings.metrics_listen,
                 "ADDR:PORT serving /metrics in the Prometheus text format");
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

}  // namespace

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
                 "threads that read requests, write answers and run quick module calls (0: two per "
                 "processor)")
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

}  // namespace hosts::serve
