// The host's access log: one line per request in the combined log format
// that log analysers, fail2ban and logrotate read, with the request's
// duration added at the end. Lines are written by a thread of the log's own
// from a bounded buffer, so a slow or full disk never holds up a request: a
// line that does not fit, or that the disk refuses, is dropped and counted;
// the count is shown at each reopen and at the close, and a log nobody reads
// (a pipe) holds the close for a bounded time only.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

namespace hosts {

// What is logged of one request. The connection fills it in two steps: when
// the head is in (Begin), then when the request is over (Finish).
struct AccessRecord {
  std::string client_address;  // as served: the forwarded client behind a trusted proxy
  std::chrono::system_clock::time_point time;  // when the head was received
  std::string method;
  std::string target;       // as received: path and query
  unsigned version = 11;    // 10 for HTTP/1.0, 11 for HTTP/1.1
  unsigned status = 0;      // 0: no response was sent
  std::uint64_t bytes = 0;  // body bytes sent
  std::string referer;
  std::string user_agent;
  std::chrono::microseconds duration{0};

  static AccessRecord Begin(std::string_view client_address, std::string_view referer,
                            std::string_view user_agent);
  // The rest of the record; the duration runs from `start` to now.
  void Finish(std::string_view request_method, std::string_view request_target,
              unsigned request_version, unsigned response_status, std::uint64_t sent_bytes,
              std::chrono::steady_clock::time_point start);
};

// The target as logged: the path and the command name only
// ("/scripts/dudarovuvadu.dll?DoCommand"), so that logons and tokens stay
// out of the log; the whole target when `with_query`. A query that names no
// plain command is logged as "?" alone.
std::string LoggedTarget(std::string_view target, bool with_query);

// One line of the combined log format, in local time, ending in LF:
//   client - - [day/Mon/year:hh:mm:ss +zzzz] "METHOD target HTTP/1.1" status bytes
//   "referer" "user agent" duration
// with the duration in seconds to the microsecond. Bytes 0 are "-", as are an
// empty referer and user agent. Quotes, backslashes and control bytes in
// the quoted fields are written as \" \\ and \xHH.
std::string FormatAccessLine(const AccessRecord& record, bool with_query);

class AccessLog {
 public:
  struct Options {
    std::string path;
    bool with_query = false;                 // log the whole target
    std::size_t buffer_limit = 1024 * 1024;  // bytes waiting to be written
    // How long the close waits for queued lines to be written; what is
    // still queued then is dropped, so a stuck log never holds the stop.
    std::chrono::milliseconds close_timeout{5000};
  };

  // Opens (creates, mode 0640) the file for appending and starts the writer;
  // nullptr and the system's reason when it cannot be opened.
  static std::unique_ptr<AccessLog> Open(Options options, std::string* error);
  // Writes what is buffered within the close timeout, then closes the file.
  ~AccessLog();
  // The same within `timeout` (what is left of a stop's bound); the log
  // records nothing after.
  void Close(std::chrono::milliseconds timeout);
  AccessLog(const AccessLog&) = delete;
  AccessLog& operator=(const AccessLog&) = delete;

  // Formats and queues one line; never blocks on the disk.
  void Record(const AccessRecord& record);
  // Asks the writer to reopen the file by its name (after logrotate moved
  // it); safe to call from a signal-waiting thread.
  void Reopen();
  // Waits (at most `timeout`) until every queued line has been handed to the
  // file; false on timeout.
  bool Flush(std::chrono::milliseconds timeout);

  // Lines dropped: the buffer was full, or the file refused them.
  std::uint64_t dropped() const { return dropped_.load(); }

 private:
  AccessLog(Options options, int fd);
  void Write();
  // Writes `lines` whole; the lines not written are counted as dropped.
  void WriteOut(std::string_view lines);
  void ReopenFile();
  // A line on standard error with the lines dropped since the last one.
  void ReportDropped();

  const Options options_;
  int fd_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable written_;
  std::string queued_;
  bool writing_ = false;
  bool reopen_ = false;
  std::size_t reopen_at_ = 0;  // bytes of queued_ that precede the reopen
  bool stopping_ = false;
  bool closed_ = false;
  std::atomic<std::uint64_t> dropped_{0};
  std::uint64_t reported_ = 0;        // dropped lines already reported (writer's)
  std::atomic<bool> abandon_{false};  // the close timed out: drop the rest
  std::thread writer_;
};

}  // namespace hosts
