// The state the embedded server's connections share.
#include "hosts/server/server_context.h"

#include <string>

#include "hosts/operations/access_log.h"
#include "hosts/server/tls_context.h"
#include "text/log_escape.h"

namespace hosts {

ServerContext::ServerContext(const ServerOptions& server_options, PFN_HTTPEXTENSIONPROC extension,
                             std::FILE* log_file, std::size_t max_connections,
                             unsigned max_inline_calls)
    : options(server_options),
      request_limits(RequestLimitsOf(server_options)),
      proc(extension),
      log_(log_file),
      max_inline_calls_(max_inline_calls),
      limits_(LimitSettingsOf(server_options, max_connections)),
      rate_(RateSettings{server_options.rate_limit, server_options.rate_burst}) {}

bool ServerContext::SetUpTls(std::string* error) { return MakeTlsContext(options, &tls_, error); }

bool ServerContext::StartWorkers(std::string* error) {
  workers_ = WorkerPool::Start(options.threads, options.max_threads, error);
  return workers_ != nullptr;
}

void ServerContext::StopNetwork() {
  work_.reset();
  io_.stop();
}

bool ServerContext::Admit(const void* connection) {
  std::lock_guard<std::mutex> lock(active_mutex_);
  if (stopping_ && body_readers_.count(connection) == 0) return false;
  ++active_requests_;
  return true;
}

void ServerContext::Complete() {
  std::lock_guard<std::mutex> lock(active_mutex_);
  --active_requests_;
  active_changed_.notify_all();
}

bool ServerContext::TryInline() {
  unsigned running = inline_calls_.load(std::memory_order_relaxed);
  while (running < max_inline_calls_) {
    if (inline_calls_.compare_exchange_weak(running, running + 1, std::memory_order_relaxed)) {
      return true;
    }
  }
  return false;
}

bool ServerContext::Stopping() const { return stopping_.load(std::memory_order_acquire); }

void ServerContext::BeginStop() {
  std::lock_guard<std::mutex> lock(active_mutex_);
  stopping_.store(true, std::memory_order_release);
}

void ServerContext::WaitForBodies(std::chrono::milliseconds grace) {
  std::unordered_map<const void*, std::function<void()>> readers;
  {
    std::unique_lock<std::mutex> lock(active_mutex_);
    readers_changed_.wait_for(lock, grace, [this] { return body_readers_.empty(); });
    readers.swap(body_readers_);
    bodies_interrupted_ = true;
    // Each is answered 503 now; the stop waits for those answers too.
    active_requests_ += readers.size();
  }
  for (auto& [connection, interrupt] : readers) interrupt();
}

bool ServerContext::WaitForRequests(std::chrono::seconds timeout) {
  std::unique_lock<std::mutex> lock(active_mutex_);
  return active_changed_.wait_for(lock, timeout, [this] { return active_requests_ == 0; });
}

void ServerContext::AddBodyReader(const void* connection, std::function<void()> interrupt) {
  {
    std::lock_guard<std::mutex> lock(active_mutex_);
    if (!bodies_interrupted_) {
      body_readers_[connection] = std::move(interrupt);
      return;
    }
    // The stop has answered the bodies it found already: a body that
    // starts later (its "100 Continue" still on the way then) is counted
    // and interrupted at once, or the stop would end without answering it.
    ++active_requests_;
  }
  interrupt();
}

void ServerContext::RemoveBodyReader(const void* connection) {
  std::lock_guard<std::mutex> lock(active_mutex_);
  if (body_readers_.erase(connection) != 0) readers_changed_.notify_all();
}

void ServerContext::Log(std::string_view method, std::string_view target, unsigned status,
                        std::uint64_t bytes, std::chrono::steady_clock::time_point start) {
  if (options.quiet || log_ == nullptr) return;
  const double milliseconds =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  const std::string status_text = status != 0 ? std::to_string(status) : "-";
  const std::string method_text = text::EscapedForLog(method);
  // What the access log shows: the path and the command name, so that
  // logons, file names and tickets stay out of the journal.
  const std::string target_text = text::EscapedForLog(LoggedTarget(target, options.log_query));
  std::lock_guard<std::mutex> lock(log_mutex_);
  std::fprintf(log_, "%s %s %s %llu %.1fms\n", method_text.c_str(), target_text.c_str(),
               status_text.c_str(), static_cast<unsigned long long>(bytes), milliseconds);
  std::fflush(log_);
}

void ServerContext::Warn(const std::string& line) {
  std::fprintf(stderr, "dudarovuvadu-serve: %s\n", line.c_str());
}

}  // namespace hosts
