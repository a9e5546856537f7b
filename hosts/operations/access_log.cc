// The access log: the combined log format, a bounded queue and one writer
// thread that alone touches the file.
#include "hosts/operations/access_log.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>

#include "text/ascii.h"
#include "text/log_escape.h"

namespace hosts {

namespace {

constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

bool IsCommandCharacter(char c) {
  return text::IsAsciiAlpha(c) || text::IsAsciiDigit(c) || c == '_';
}

void AppendQuotedOrDash(std::string& line, std::string_view text) {
  line += '"';
  if (text.empty()) {
    line += '-';
  } else {
    text::AppendEscapedForLog(line, text);
  }
  line += '"';
}

// "[10/Oct/2026:13:55:36 +0200]" in local time; month names in English
// whatever the locale, as log parsers expect.
std::string LogTime(std::chrono::system_clock::time_point time) {
  const time_t seconds = std::chrono::system_clock::to_time_t(time);
  tm local{};
  localtime_r(&seconds, &local);
  const long offset_minutes = local.tm_gmtoff / 60;
  const long offset = offset_minutes < 0 ? -offset_minutes : offset_minutes;
  char text[80];
  std::snprintf(text, sizeof text, "[%02d/%s/%04d:%02d:%02d:%02d %c%02ld%02ld]", local.tm_mday,
                kMonths[local.tm_mon % 12], local.tm_year + 1900, local.tm_hour, local.tm_min,
                local.tm_sec, offset_minutes < 0 ? '-' : '+', offset / 60, offset % 60);
  return text;
}

}  // namespace

AccessRecord AccessRecord::Begin(std::string_view client_address, std::string_view referer,
                                 std::string_view user_agent) {
  AccessRecord record;
  record.client_address = std::string(client_address);
  record.time = std::chrono::system_clock::now();
  record.referer = std::string(referer);
  record.user_agent = std::string(user_agent);
  return record;
}

void AccessRecord::Finish(std::string_view request_method, std::string_view request_target,
                          unsigned request_version, unsigned response_status,
                          std::uint64_t sent_bytes, std::chrono::steady_clock::time_point start) {
  method = std::string(request_method);
  target = std::string(request_target);
  version = request_version;
  status = response_status;
  bytes = sent_bytes;
  duration = std::chrono::duration_cast<std::chrono::microseconds>(
      std::chrono::steady_clock::now() - start);
}

std::string LoggedTarget(std::string_view target, bool with_query) {
  const std::size_t question = target.find('?');
  if (with_query || question == std::string_view::npos) return std::string(target);
  std::string_view query = target.substr(question + 1);
  // "MfcISAPICommand=Name&..." names the command as a value.
  constexpr std::string_view kNamed = "MfcISAPICommand=";
  if (text::StartsWithIgnoringAsciiCase(query, kNamed)) {
    query.remove_prefix(kNamed.size());
  }
  const std::string_view name = query.substr(0, query.find_first_of("?&"));
  bool plain = !name.empty();
  for (const char c : name) plain = plain && IsCommandCharacter(c);
  std::string logged(target.substr(0, question + 1));
  if (plain) logged += name;
  return logged;
}

std::string FormatAccessLine(const AccessRecord& record, bool with_query) {
  std::string line;
  line.reserve(160 + record.target.size() + record.user_agent.size());
  text::AppendEscapedForLog(line, record.client_address.empty() ? "-" : record.client_address);
  line += " - - ";
  line += LogTime(record.time);
  line += " \"";
  if (record.target.empty()) {
    line += "-\" ";  // a head that could not be read: no request line to show
  } else {
    text::AppendEscapedForLog(line, record.method);
    line += ' ';
    text::AppendEscapedForLog(line, LoggedTarget(record.target, with_query));
    line += record.version == 10 ? " HTTP/1.0\" " : " HTTP/1.1\" ";
  }
  line += record.status != 0 ? std::to_string(record.status) : "-";
  line += ' ';
  line += record.bytes != 0 ? std::to_string(record.bytes) : "-";
  line += ' ';
  AppendQuotedOrDash(line, record.referer);
  line += ' ';
  AppendQuotedOrDash(line, record.user_agent);
  char duration[32];
  const auto micros = static_cast<unsigned long long>(record.duration.count());
  std::snprintf(duration, sizeof duration, " %llu.%06llu\n", micros / 1000000, micros % 1000000);
  line += duration;
  return line;
}

namespace {

// Opened blocking (a FIFO waits for its reader, as before), then switched
// to non-blocking so that a pipe nobody reads makes the writer wait in
// poll, where the close can end the wait; a regular file is unaffected.
// -1, with the system's reason in *error, when it cannot be opened.
int OpenForAppend(const std::string& path, std::string* error) {
  int fd;
  do {
    fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0640);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    *error = path + ": " + std::strerror(errno);
    return -1;
  }
  const int flags = ::fcntl(fd, F_GETFL);
  // Left blocking, a pipe nobody reads can hold the close up: worth a line,
  // not a refusal (a regular file is unaffected).
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) {
    std::fprintf(stderr, "dudarovuvadu-serve: the access log %s stays blocking: %s\n", path.c_str(),
                 std::strerror(errno));
  }
  return fd;
}

// How long the writer waits for a full pipe at a time before it looks
// whether the close has given up on it.
constexpr int kWritableWaitMs = 100;

}  // namespace

std::unique_ptr<AccessLog> AccessLog::Open(Options options, std::string* error) {
  std::string reason;
  const int fd = OpenForAppend(options.path, &reason);
  if (fd < 0) {
    *error = "cannot open the access log " + reason;
    return nullptr;
  }
  try {
    return std::unique_ptr<AccessLog>(new AccessLog(std::move(options), fd));
  } catch (const std::exception& failure) {
    // The writer thread could not start (or no memory): the log is not
    // made, and the descriptor it would have owned is closed here.
    ::close(fd);
    *error = std::string("cannot start the access log's writer: ") + failure.what();
    return nullptr;
  }
}

AccessLog::AccessLog(Options options, int fd) : options_(std::move(options)), fd_(fd) {
  writer_ = std::thread([this] { Write(); });
}

AccessLog::~AccessLog() { Close(options_.close_timeout); }

void AccessLog::Close(std::chrono::milliseconds timeout) {
  {
    std::unique_lock<std::mutex> lock(mutex_);
    if (closed_) return;
    closed_ = true;
    stopping_ = true;
    wake_.notify_all();
    // Bounded: past the timeout the writer drops what is left and ends.
    if (!written_.wait_for(lock, timeout, [this] { return queued_.empty() && !writing_; })) {
      abandon_ = true;
    }
  }
  wake_.notify_all();
  writer_.join();
  ReportDropped();
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

void AccessLog::Record(const AccessRecord& record) {
  const std::string line = FormatAccessLine(record, options_.with_query);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_ || queued_.size() + line.size() > options_.buffer_limit) {
      ++dropped_;
      return;
    }
    queued_ += line;
  }
  wake_.notify_one();
}

void AccessLog::Reopen() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    // Lines queued so far belong to the file being rotated away.
    if (!reopen_) reopen_at_ = queued_.size();
    reopen_ = true;
  }
  wake_.notify_one();
}

bool AccessLog::Flush(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  return written_.wait_for(lock, timeout, [this] { return queued_.empty() && !writing_; });
}

// The writer: takes everything queued at once and writes it outside the
// lock, so Record only ever waits for a string append.
void AccessLog::Write() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return stopping_ || reopen_ || !queued_.empty(); });
    const bool reopen = reopen_;
    const std::size_t reopen_at = reopen_at_;
    reopen_ = false;
    std::string lines;
    lines.swap(queued_);
    writing_ = true;
    lock.unlock();
    if (reopen) {
      // What was queued before the reopen was asked for goes to the old file.
      WriteOut(std::string_view(lines).substr(0, reopen_at));
      ReopenFile();
      lines.erase(0, reopen_at);
    }
    if (!lines.empty()) WriteOut(lines);
    lock.lock();
    writing_ = false;
    written_.notify_all();
    if (stopping_ && queued_.empty()) return;
  }
}

void AccessLog::WriteOut(std::string_view lines) {
  std::size_t done = 0;
  while (done < lines.size() && fd_ >= 0) {
    const ssize_t written = ::write(fd_, lines.data() + done, lines.size() - done);
    if (written < 0 && errno == EINTR) continue;
    if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && !abandon_) {
      pollfd writable{fd_, POLLOUT, 0};
      (void)::poll(&writable, 1, kWritableWaitMs);
      continue;
    }
    if (written <= 0) break;
    done += static_cast<std::size_t>(written);
  }
  if (done == lines.size()) return;
  // The disk refused the rest (full, or the file is gone): those lines are
  // lost, counted, and the next batch tries again.
  std::uint64_t lost = 0;
  for (std::size_t i = done; i < lines.size(); ++i) lost += lines[i] == '\n' ? 1 : 0;
  dropped_ += lost;
}

void AccessLog::ReportDropped() {
  const std::uint64_t dropped = dropped_.load();
  if (dropped == reported_) return;
  std::fprintf(
      stderr,
      "dudarovuvadu-serve: access log %s: %llu lines dropped (buffer full or write failed)\n",
      options_.path.c_str(), static_cast<unsigned long long>(dropped - reported_));
  reported_ = dropped;
}

void AccessLog::ReopenFile() {
  ReportDropped();
  std::string reason;
  const int fd = OpenForAppend(options_.path, &reason);
  if (fd < 0) {
    std::fprintf(stderr, "dudarovuvadu-serve: cannot reopen the access log %s\n", reason.c_str());
    return;  // the old file stays in use
  }
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

}  // namespace hosts
