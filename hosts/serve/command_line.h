// The host's command line: the options dudarovuvadu-serve takes, read into
// the server's options and what the host starts beside the server. Apart
// from main so that what it reads can be tested.
#pragma once

#include <CLI/CLI.hpp>
#include <string>
#include <vector>

#include "hosts/host_options.h"

namespace hosts::serve {

// The module beside the executable: the default of --module.
std::string ModuleBesideExecutable();

// What the command line sets besides the server's own options.
struct Settings {
  ServerOptions options;
  std::string module_path = ModuleBesideExecutable();
  std::vector<std::string> listen = {"127.0.0.1:8080"};
  std::vector<std::string> trusted_proxies;
  std::string forwarded_headers = "x-forwarded";
  // Operators' tools: the access log and the metrics listener.
  std::string access_log;
  bool access_log_query = false;
  std::string metrics_listen;
};

// Declares every option on `app`, each writing into `settings`.
void AddOptions(CLI::App& app, Settings& settings);

// Checks the listeners and trusted proxies into the server's options; false
// with the message in `error` when one is malformed.
[[nodiscard]] bool ApplySettings(Settings& settings, std::string* error);

}  // namespace hosts::serve
