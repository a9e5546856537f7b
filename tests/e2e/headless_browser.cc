// Headless Chromium over its DevTools pipe.

#include "tests/e2e/headless_browser.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <thread>
#include <vector>

namespace e2e {

using namespace std::chrono_literals;

namespace {

constexpr auto kCallTimeout = 15s;

// A string member of a response, or nullopt when it is missing or no string.
std::optional<std::string> StringMember(const nlohmann::json& object, const char* name) {
  const auto found = object.find(name);
  if (found == object.end() || !found->is_string()) return std::nullopt;
  return found->get<std::string>();
}

}  // namespace

bool HeadlessBrowser::Start(const std::string& profile_dir, const std::string& log_path,
                            const std::vector<std::string>& extra_switches) {
  int commands[2];   // test -> browser (its fd 3)
  int responses[2];  // browser -> test (its fd 4)
  if (::pipe2(commands, O_CLOEXEC) != 0) return false;
  if (::pipe2(responses, O_CLOEXEC) != 0) {
    ::close(commands[0]);
    ::close(commands[1]);
    return false;
  }
  std::vector<std::string> argv = {kChromium, "--headless", "--no-sandbox", "--disable-gpu",
                                   "--no-first-run", "--disable-background-networking",
                                   "--disable-component-update", "--disable-sync", "--disable-quic",
                                   // The HTTPS tests' certificates are self-signed.
                                   "--ignore-certificate-errors", "--disable-dev-shm-usage",
                                   "--remote-debugging-pipe", "--user-data-dir=" + profile_dir};
  argv.insert(argv.end(), extra_switches.begin(), extra_switches.end());
  argv.push_back("about:blank");
  const bool started =
      process_.Start(argv, log_path, {}, false, {{commands[0], 3}, {responses[1], 4}});
  ::close(commands[0]);
  ::close(responses[1]);
  to_browser_ = commands[1];
  from_browser_ = responses[0];
  if (!started) {
    Stop();
    return false;
  }
  return Call("Browser.getVersion", nlohmann::json::object(), false).has_value();
}

bool HeadlessBrowser::Open(const std::string& url) {
  const auto created = Call("Target.createTarget", {{"url", url}}, false);
  const auto target = created ? StringMember(*created, "targetId") : std::nullopt;
  if (!target) return false;
  const auto attached =
      Call("Target.attachToTarget", {{"targetId", *target}, {"flatten", true}}, false);
  const auto session = attached ? StringMember(*attached, "sessionId") : std::nullopt;
  if (!session) return false;
  session_id_ = *session;
  return true;
}

std::optional<std::string> HeadlessBrowser::Evaluate(const std::string& expression) {
  const auto reply =
      Call("Runtime.evaluate", {{"expression", expression}, {"returnByValue", true}}, true);
  if (!reply || reply->contains("exceptionDetails")) return std::nullopt;
  const auto result = reply->find("result");
  if (result == reply->end() || !result->is_object()) return std::nullopt;
  return StringMember(*result, "value");
}

std::optional<std::string> HeadlessBrowser::Dom() {
  return Evaluate("document.documentElement.outerHTML");
}

std::string HeadlessBrowser::WaitForDom(std::string_view text, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::string dom;
  for (;;) {
    // Between two documents the evaluation may fail; keep the last DOM read.
    if (auto current = Dom()) dom = std::move(*current);
    if (dom.find(text) != std::string::npos || std::chrono::steady_clock::now() >= deadline) {
      return dom;
    }
    std::this_thread::sleep_for(100ms);
  }
}

std::optional<nlohmann::json> HeadlessBrowser::Call(std::string_view method, nlohmann::json params,
                                                    bool in_session) {
  if (to_browser_ < 0) return std::nullopt;
  const int id = next_id_++;
  nlohmann::json command = {{"id", id}, {"method", method}, {"params", std::move(params)}};
  if (in_session) command["sessionId"] = session_id_;
  std::string message = command.dump();
  message.push_back('\0');
  for (std::size_t sent = 0; sent < message.size();) {
    const ssize_t n = ::write(to_browser_, message.data() + sent, message.size() - sent);
    if (n <= 0) return std::nullopt;
    sent += static_cast<std::size_t>(n);
  }
  const auto deadline = std::chrono::steady_clock::now() + kCallTimeout;
  while (auto text = ReadMessage(deadline)) {
    const nlohmann::json reply = nlohmann::json::parse(*text, nullptr, /*allow_exceptions=*/false);
    // Events, other replies and anything unreadable are not needed.
    if (!reply.is_object() || reply.value("id", -1) != id) continue;
    const auto result = reply.find("result");
    if (result == reply.end()) return std::nullopt;  // the browser answered an error
    return *result;
  }
  return std::nullopt;
}

std::optional<std::string> HeadlessBrowser::ReadMessage(
    std::chrono::steady_clock::time_point deadline) {
  for (;;) {
    const std::size_t end = pending_.find('\0');
    if (end != std::string::npos) {
      std::string message = pending_.substr(0, end);
      pending_.erase(0, end + 1);
      return message;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return std::nullopt;
    pollfd readable{from_browser_, POLLIN, 0};
    if (::poll(&readable, 1, static_cast<int>(left.count())) <= 0) return std::nullopt;
    char buffer[65536];
    const ssize_t n = ::read(from_browser_, buffer, sizeof buffer);
    if (n <= 0) return std::nullopt;
    pending_.append(buffer, static_cast<std::size_t>(n));
  }
}

void HeadlessBrowser::Stop() {
  if (to_browser_ >= 0) {
    if (process_.pid() > 0) {
      const std::string close =
          nlohmann::json{{"id", 0}, {"method", "Browser.close"}}.dump() + '\0';
      (void)!::write(to_browser_, close.data(), close.size());
    }
    ::close(to_browser_);
    to_browser_ = -1;
  }
  if (from_browser_ >= 0) {
    ::close(from_browser_);
    from_browser_ = -1;
  }
  // Closing the pipe ends the browser; it is killed when it does not.
  (void)process_.WaitForExit(10s);
}

HeadlessBrowser::~HeadlessBrowser() { Stop(); }

}  // namespace e2e
