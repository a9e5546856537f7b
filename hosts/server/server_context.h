// What the embedded server's connections share: the options, the limits,
// the workers that call the module, the requests in the module (which a
// stop waits for) and the connections still reading a body (which a stop
// answers at once), the request log, and the network's I/O context.
#pragma once

#include <atomic>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/context.hpp>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "dudarovuvadu/httpext.h"
#include "hosts/host_options.h"
#include "hosts/server/request_head.h"
#include "hosts/server/request_rate.h"
#include "hosts/server/server_limits.h"
#include "hosts/server/worker_pool.h"

namespace hosts {

// The options and the module's entry point are fixed for the server's life
// and public; what changes is reached through the calls below.
class ServerContext {
 public:
  // `max_inline_calls`: see TryInline().
  ServerContext(const ServerOptions& server_options, PFN_HTTPEXTENSIONPROC extension,
                std::FILE* log_file, std::size_t max_connections, unsigned max_inline_calls);
  ServerContext(const ServerContext&) = delete;
  ServerContext& operator=(const ServerContext&) = delete;

  // Set-up before the network runs: the TLS context of the https://
  // listeners, and the workers. False with the reason when they cannot be
  // made.
  [[nodiscard]] bool SetUpTls(std::string* error);
  [[nodiscard]] bool StartWorkers(std::string* error);
  // The TLS context SetUpTls made; null before.
  boost::asio::ssl::context* tls() { return tls_ ? &*tls_ : nullptr; }

  // A request handed to the module: counted unless the stop has begun
  // before `connection` started to send its body.
  bool Admit(const void* connection);
  // The request is over: answered, or abandoned with its module call done.
  void Complete();
  bool Stopping() const;
  // Starts the stop: no new request is admitted any more. Bodies under way
  // may still arrive, for at most `grace`; those still arriving then are
  // answered 503.
  void BeginStop();
  void WaitForBodies(std::chrono::milliseconds grace);
  // Waits until no request is in the module; false after `timeout`.
  bool WaitForRequests(std::chrono::seconds timeout);

  // A connection reading a request body registers how to interrupt it. An
  // interrupted connection is counted as a request until it calls
  // Complete(). One that registers once the stop has interrupted the
  // bodies is interrupted at once.
  void AddBodyReader(const void* connection, std::function<void()> interrupt);
  void RemoveBodyReader(const void* connection);

  // A module call on the network thread that received it: taken while
  // fewer than `max_inline_calls` run there, so at least one network thread
  // is always free to serve the others; the rest go to the workers.
  bool TryInline();
  void EndInline() { inline_calls_.fetch_sub(1, std::memory_order_relaxed); }
  // A module call for a worker (after StartWorkers, before StopWorkers).
  void SubmitToWorkers(std::function<void()> job) { workers_->Submit(std::move(job)); }
  // Waits for the workers' jobs and ends their threads.
  void StopWorkers() { workers_.reset(); }

  // The connection and request limits, and the request rate per client;
  // each keeps its own lock.
  ServerLimits& limits() { return limits_; }
  RequestRate& rate() { return rate_; }

  void Log(std::string_view method, std::string_view target, unsigned status, std::uint64_t bytes,
           std::chrono::steady_clock::time_point start);
  void Warn(const std::string& line);

  // The network's I/O context: strands and sockets are made on it, and the
  // network threads run it.
  boost::asio::io_context& io() { return io_; }
  // Keeps io() running while it has nothing to do, until StopNetwork().
  void HoldNetwork() { work_.emplace(io_.get_executor()); }
  // Ends io()'s runs, and with it every connection still open.
  void StopNetwork();

  const ServerOptions options;
  const RequestLimits request_limits;
  const PFN_HTTPEXTENSIONPROC proc;

 private:
  std::FILE* const log_;  // the request log of Log(); null for none
  const unsigned max_inline_calls_;
  ServerLimits limits_;
  RequestRate rate_;
  std::optional<boost::asio::ssl::context> tls_;
  std::unique_ptr<WorkerPool> workers_;
  std::mutex active_mutex_;
  std::condition_variable active_changed_;
  // Set under the mutex, so that Admit sees it with the body readers; read
  // without it on every request.
  std::atomic<bool> stopping_{false};
  std::size_t active_requests_ = 0;
  std::atomic<unsigned> inline_calls_{0};
  std::unordered_map<const void*, std::function<void()>> body_readers_;
  bool bodies_interrupted_ = false;  // the stop has interrupted the readers
  std::condition_variable readers_changed_;
  std::mutex log_mutex_;

  // Last: its handlers point into everything above.
  boost::asio::io_context io_;
  std::optional<boost::asio::executor_work_guard<boost::asio::io_context::executor_type>> work_;
};

}  // namespace hosts
