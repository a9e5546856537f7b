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
#include <string_view>
#include <unordered_map>
#include <vector>

#include "dudarovuvadu/httpext.h"
#include "hosts/host_options.h"
#include "hosts/server/request_head.h"
#include "hosts/server/request_rate.h"
#include "hosts/server/server_limits.h"
#include "hosts/server/worker_pool.h"

namespace hosts {

struct ServerContext {
  ServerContext(const ServerOptions& server_options, PFN_HTTPEXTENSIONPROC extension,
                std::FILE* log_file, std::size_t max_connections);

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
  unsigned max_inline_calls = 0;

  void Log(std::string_view method, std::string_view target, unsigned status, std::uint64_t bytes,
           std::chrono::steady_clock::time_point start);
  void Warn(const std::string& line);

  const ServerOptions options;
  const RequestLimits request_limits;
  const PFN_HTTPEXTENSIONPROC proc;
  std::FILE* const log;
  ServerLimits limits;
  RequestRate rate;
  std::optional<boost::asio::ssl::context> tls;
  std::unique_ptr<WorkerPool> workers;

 private:
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

 public:
  // Last: its handlers point into everything above.
  boost::asio::io_context io;
  std::optional<boost::asio::executor_work_guard<boost::asio::io_context::executor_type>> work;
};

}  // namespace hosts
