// Child processes of the tests: started with posix_spawn or fork, waited
// for with bounded waits, stopped by their own pid.
#include "tests/harness/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

extern char** environ;

namespace harness {

using namespace std::chrono_literals;

bool ChildProcess::Start(const std::vector<std::string>& argv, const std::string& output_path,
                         const std::string& error_path, bool own_process_group,
                         const Descriptors& descriptors) {
  if (argv.empty()) return false;
  output_path_ = output_path;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, output_path.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (error_path.empty()) {
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
  } else {
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, error_path.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
  }
  for (const auto& [from, to] : descriptors) {
    posix_spawn_file_actions_adddup2(&actions, from, to);
  }
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  if (own_process_group) {
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
  }
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  const int failed = posix_spawn(&pid_, args[0], &actions, &attributes, args.data(), environ);
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  if (failed != 0) pid_ = -1;
  return failed == 0;
}

bool ChildProcess::Fork(const std::function<int()>& body) {
  pid_ = ::fork();
  if (pid_ == 0) ::_exit(body());
  return pid_ > 0;
}

bool ChildProcess::Running() {
  if (pid_ < 0) return false;
  int status = 0;
  if (::waitpid(pid_, &status, WNOHANG) == pid_) {
    pid_ = -1;
    return false;
  }
  return true;
}

bool ChildProcess::Signal(int number) const { return pid_ > 0 && ::kill(pid_, number) == 0; }

std::optional<int> ChildProcess::WaitForExit(std::chrono::milliseconds timeout) {
  if (pid_ < 0) return std::nullopt;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  int status = 0;
  while (std::chrono::steady_clock::now() < deadline) {
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return status;
    }
    std::this_thread::sleep_for(10ms);
  }
  ::kill(pid_, SIGKILL);
  ::waitpid(pid_, &status, 0);
  pid_ = -1;
  return std::nullopt;
}

int ChildProcess::Stop(std::chrono::milliseconds grace) {
  if (pid_ < 0) return -1;
  ::kill(pid_, SIGTERM);
  const auto deadline = std::chrono::steady_clock::now() + grace;
  int status = 0;
  for (;;) {
    const pid_t done = ::waitpid(pid_, &status, WNOHANG);
    if (done == pid_ || done < 0) break;
    if (std::chrono::steady_clock::now() >= deadline) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &status, 0);
      break;
    }
    std::this_thread::sleep_for(10ms);
  }
  pid_ = -1;
  return status;
}

std::string ChildProcess::Output() const {
  std::ifstream in(output_path_, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

bool ChildProcess::WaitForOutput(std::string_view text, std::chrono::milliseconds timeout) const {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (Output().find(text) == std::string::npos) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

int ExitCode(std::optional<int> status) {
  if (!status || !WIFEXITED(*status)) return -1;
  return WEXITSTATUS(*status);
}

bool RunInForks(int count, const std::function<int(int)>& body, std::chrono::milliseconds timeout) {
  std::vector<ChildProcess> children(static_cast<std::size_t>(count));
  bool all_started = true;
  for (int i = 0; i < count; ++i) {
    all_started =
        children[static_cast<std::size_t>(i)].Fork([&body, i] { return body(i); }) && all_started;
  }
  bool all_passed = all_started;
  for (ChildProcess& child : children) {
    if (child.pid() > 0) all_passed = ExitCode(child.WaitForExit(timeout)) == 0 && all_passed;
  }
  return all_passed;
}

std::string SharedRootProcesses::RecordName(int p) const {
  return "process" + std::to_string(p) + ".record";
}

bool SharedRootProcesses::Run(const std::function<bool(int, std::ostream&)>& body) {
  return RunInForks(count_, [this, &body](int p) {
    std::ofstream record(root_.Path(RecordName(p)));
    const bool done = body(p, record);
    record.close();
    return done && record ? 0 : 1;
  });
}

bool SharedRootProcesses::RunRecorded(int each,
                                      const std::function<std::string(int, int)>& request) {
  return Run([each, &request](int p, std::ostream& record) {
    for (int i = 0; i < each; ++i) record << request(p, i) << '\n';
    return true;
  });
}

std::vector<std::string> SharedRootProcesses::Record(int p) const {
  std::ifstream in(root_.Path(RecordName(p)));
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::vector<SharedRootProcesses::StoredPost> SharedRootProcesses::StoredPosts() const {
  std::vector<StoredPost> posts;
  for (const auto& entry : std::filesystem::directory_iterator(root_.Path("post"))) {
    if (entry.path().extension() != ".txt") continue;
    const std::string name = entry.path().stem().string();
    posts.push_back(
        {name, root_.ReadFile("post/" + name + ".txt"), root_.ReadFile("post/" + name + ".rdy")});
  }
  return posts;
}

}  // namespace harness
