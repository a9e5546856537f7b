// Headless Chromium driven over its DevTools pipe (--remote-debugging-pipe:
// NUL-terminated JSON messages on file descriptors 3 and 4), so a test can
// open a page, let it run in real time (the wait page's one-second timer, its
// reload, a form's submission) and read the DOM the browser ends on.
//
// --dump-dom with --virtual-time-budget would be simpler, but this Chromium
// never finishes a run in which the page navigates under virtual time, which
// is exactly what a wait page does.
#pragma once

#include <chrono>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tests/harness/child_process.h"

namespace e2e {

class HeadlessBrowser {
 public:
  static constexpr const char* kChromium = "/usr/bin/chromium";

  HeadlessBrowser() = default;
  ~HeadlessBrowser();
  HeadlessBrowser(const HeadlessBrowser&) = delete;
  HeadlessBrowser& operator=(const HeadlessBrowser&) = delete;

  // Starts Chromium with a fresh profile in `profile_dir`; its own output
  // goes to `log_path`; `extra_switches` are added to its command line
  // (e.g. --host-resolver-rules=...). False when it could not be started.
  bool Start(const std::string& profile_dir, const std::string& log_path,
             const std::vector<std::string>& extra_switches = {});
  // Opens `url` in a new tab and attaches to it.
  bool Open(const std::string& url);
  // Runs `expression` in the page; its value as a string, or nullopt when it
  // failed or gave no string.
  std::optional<std::string> Evaluate(const std::string& expression);
  // The page's current DOM (document.documentElement.outerHTML), or nullopt.
  std::optional<std::string> Dom();
  // Polls the DOM until it holds `text`; the last DOM read either way.
  std::string WaitForDom(std::string_view text, std::chrono::milliseconds timeout);

 private:
  // Sends a command (in the attached session when `in_session`) and returns
  // the "result" of its response, or nullopt on an error or after a timeout.
  std::optional<nlohmann::json> Call(std::string_view method, nlohmann::json params,
                                     bool in_session);
  std::optional<std::string> ReadMessage(std::chrono::steady_clock::time_point deadline);
  void Stop();

  harness::ChildProcess process_;
  int to_browser_ = -1;
  int from_browser_ = -1;
  int next_id_ = 1;
  std::string session_id_;
  std::string pending_;  // bytes read past the last message
};

}  // namespace e2e
