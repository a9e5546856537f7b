// A child process a test starts and stops by its own pid: a program whose
// standard output and error go to files (a host, the back-end, httpd, a
// browser), or a function of the test program run in a fork (processes
// sharing one install root). POSIX only; destroying it stops it.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tests/harness/temp_dir.h"

namespace harness {

class ChildProcess {
 public:
  // Descriptors of the test handed to the child, as (test's, child's).
  using Descriptors = std::vector<std::pair<int, int>>;

  ChildProcess() = default;
  ~ChildProcess() { Stop(); }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Starts the program argv[0] with standard output to `output_path` and
  // standard error to `error_path`, or with standard output when empty.
  // `own_process_group`: for a server that signals its whole process group
  // when it stops (httpd does), so the test is not signalled with it.
  bool Start(const std::vector<std::string>& argv, const std::string& output_path,
             const std::string& error_path = {}, bool own_process_group = false,
             const Descriptors& descriptors = {});
  // Runs `body` in a fork of this process; what it returns is the exit code.
  bool Fork(const std::function<int()>& body);

  // Waits up to `timeout` for the process to end by itself; its status as
  // waitpid gives it, or nullopt when it had to be killed.
  std::optional<int> WaitForExit(std::chrono::milliseconds timeout);
  // SIGTERM, then waits up to `grace`; SIGKILL after that. Returns the
  // status as waitpid gives it, or -1 when nothing was running.
  int Stop(std::chrono::milliseconds grace = std::chrono::seconds(10));
  bool Signal(int number) const;
  bool Running();
  pid_t pid() const { return pid_; }

  std::string Output() const;
  // Waits until the output holds `text`; false after `timeout`.
  bool WaitForOutput(std::string_view text,
                     std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;

 private:
  pid_t pid_ = -1;
  std::string output_path_;
};

// The exit code in a status from WaitForExit or Stop; -1 when the process
// did not exit by itself (killed by a signal, or not waited for).
int ExitCode(std::optional<int> status);

// Runs body(0) to body(count - 1) at once, each in a fork of this process
// (processes sharing one install root), and waits for them all, each for at
// most `timeout`; true when every one returned 0.
bool RunInForks(int count, const std::function<int(int)>& body,
                std::chrono::milliseconds timeout = std::chrono::minutes(2));

// Processes sharing one fresh install root (root()), the set-up of the tests
// that run many processes on one spool: Run() runs body(p, record) for p in
// 0..count-1 at once, each in a fork; a body writes what it did to `record`,
// one item a line, which the test reads back as Record(p) afterwards.
class SharedRootProcesses {
 public:
  explicit SharedRootProcesses(int count) : count_(count) {}

  const SpoolRoot& root() const { return root_; }
  int count() const { return count_; }
  // True when every body returned true and its record was written whole.
  bool Run(const std::function<bool(int, std::ostream&)>& body);
  // Run() where each process p makes `each` requests, request(p, i) for i in
  // 0..each-1, and records the line each returns.
  bool RunRecorded(int each, const std::function<std::string(int, int)>& request);
  // The lines process `p` wrote to its record.
  std::vector<std::string> Record(int p) const;

  // A posted data file in the root's post folder: the name without its
  // extension, the data and what its ready file holds.
  struct StoredPost {
    std::string name;
    std::string data;
    std::string ready;
  };
  // Every posted data file the processes left.
  std::vector<StoredPost> StoredPosts() const;

 private:
  std::string RecordName(int p) const;

  SpoolRoot root_;
  int count_;
};

}  // namespace harness
