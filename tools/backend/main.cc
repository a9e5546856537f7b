// dudarovuvadu-backend: a stand-in for the portal's back-end server, for
// demonstrations and end-to-end tests. It serves the spool tree of one
// install root until SIGINT or SIGTERM.

#include <csignal>
#include <filesystem>
#include <iostream>

#include <CLI/CLI.hpp>

#include "tools/backend/backend.h"

namespace {

std::atomic<bool> g_stop{false};

extern "C" void OnStopSignal(int) { g_stop.store(true); }

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Stand-in back-end: answers the module's requests in a spool tree"};
  tools::BackendOptions options;
  int delay_ms = 0;
  int rescan_ms = static_cast<int>(options.rescan_interval.count());
  int claim_timeout_s = static_cast<int>(options.claim_timeout.count());
  int ticket_lifetime_s = static_cast<int>(options.ticket_lifetime.count());
  app.add_option("--root", options.root, "install root holding in/, out/, post/, ...")->required();
  app.add_option("--docs", options.documents_folder, "documents folder served by getlist");
  app.add_option("--delay", delay_ms, "milliseconds each answer is held back")
      ->check(CLI::Range(0, 3600000));
  app.add_flag("--poll", options.force_polling, "rescan the directories instead of inotify");
  app.add_option("--rescan", rescan_ms,
                 "with inotify, milliseconds between full rescans: inotify sees only this "
                 "machine's changes, so on a shared file system this bounds how long a request "
                 "written through another front end waits to be seen")
      ->capture_default_str()
      ->check(CLI::Range(1, 3600000));
  app.add_option("--claim-timeout", claim_timeout_s,
                 "seconds after which a claim left by a dead instance is taken over, when "
                 "several instances share one spool")
      ->capture_default_str()
      ->check(CLI::Range(1, 86400));
  app.add_option("--ticket-lifetime", ticket_lifetime_s,
                 "seconds after which a ticket none of whose files has changed is abandoned: "
                 "its request, server, wait, answer and ready files are removed, so that its "
                 "number can be drawn again")
      ->capture_default_str()
      ->check(CLI::Range(1, 30 * 86400));
  CLI11_PARSE(app, argc, argv);
  options.delay = std::chrono::milliseconds(delay_ms);
  options.rescan_interval = std::chrono::milliseconds(rescan_ms);
  options.claim_timeout = std::chrono::seconds(claim_timeout_s);
  options.ticket_lifetime = std::chrono::seconds(ticket_lifetime_s);

  std::error_code error;
  if (!options.documents_folder.empty()) {
    const auto absolute = std::filesystem::absolute(options.documents_folder, error);
    if (error) {
      std::cerr << "dudarovuvadu-backend: bad --docs: " << error.message() << '\n';
      return 2;
    }
    options.documents_folder = absolute.lexically_normal().string();
    if (!options.documents_folder.empty() && options.documents_folder.back() == '/') {
      options.documents_folder.pop_back();
    }
    if (!std::filesystem::is_directory(options.documents_folder, error)) {
      std::cerr << "dudarovuvadu-backend: warning: " << options.documents_folder
                << " is not a folder; getlist will list no documents\n";
    }
  }

  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);

  tools::Backend backend(options, std::cout);
  std::string reason;
  if (!backend.Start(reason)) {
    std::cerr << "dudarovuvadu-backend: " << reason << '\n';
    return 1;
  }
  std::cout << "backend: serving " << options.root << " ("
            << (backend.using_inotify() ? "inotify" : "polling") << ")" << std::endl;
  backend.Run(g_stop);
  std::cout << "backend: stopped" << std::endl;
  return 0;
}
