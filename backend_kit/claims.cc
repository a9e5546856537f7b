// Claim files made by exclusive creation (O_CREAT | O_EXCL), the one step
// every shared file system grants to a single client.
#include "backend_kit/claims.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <memory>

namespace backend_kit {

namespace {

struct DirCloser {
  void operator()(DIR* dir) const { ::closedir(dir); }
};

// Who holds a claim, for a person looking at the folder.
std::string HolderText() {
  char host[256] = {};
  (void)::gethostname(host, sizeof host - 1);
  return std::string(host) + " " + std::to_string(::getpid()) + "\n";
}

}  // namespace

Claims::Claims(std::string folder, std::chrono::seconds timeout, std::string holder)
    : folder_(std::move(folder)),
      timeout_(timeout),
      holder_(holder.empty() ? HolderText() : std::move(holder) + "\n") {}

bool Claims::Prepare(std::string& error) const {
  if (::mkdir(folder_.c_str(), 0755) == 0 || errno == EEXIST) return true;
  error = "cannot make " + folder_ + ": " + std::strerror(errno);
  return false;
}

long long Claims::AgeSeconds(const std::string& path) const {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return -1;
  return static_cast<long long>(std::time(nullptr)) - static_cast<long long>(info.st_mtime);
}

Claims::Result Claims::Claim(const std::string& name) {
  if (own_.count(name) != 0) return Result::kOurs;
  const std::string path = folder_ + "/" + name;
  for (int attempt = 0; attempt < 2; ++attempt) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd >= 0) {
      (void)!::write(fd, holder_.data(), holder_.size());
      ::close(fd);
      own_.insert(name);
      return Result::kOurs;
    }
    if (errno != EEXIST) return Result::kOurs;
    // Held: by a live instance, unless it is older than the timeout (its
    // holder died before finishing). Taken over once.
    if (attempt > 0 || AgeSeconds(path) <= timeout_.count()) break;
    (void)::unlink(path.c_str());
  }
  return Result::kHeldElsewhere;
}

void Claims::Release(const std::string& name) {
  if (own_.erase(name) == 0) return;
  (void)::unlink((folder_ + "/" + name).c_str());
}

void Claims::Sweep(const std::function<bool(const std::string&)>& wanted) {
  std::unique_ptr<DIR, DirCloser> dir(::opendir(folder_.c_str()));
  if (!dir) return;
  while (const dirent* entry = ::readdir(dir.get())) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    const std::string path = folder_ + "/" + name;
    if (AgeSeconds(path) > timeout_.count() && !wanted(name)) {
      (void)::unlink(path.c_str());
      own_.erase(name);
    }
  }
}

}  // namespace backend_kit
