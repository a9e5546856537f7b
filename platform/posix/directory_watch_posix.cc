// Directory watches on Linux: inotify, read without waiting; poll() waits.
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "platform/directory_watch.h"

namespace platform {

bool DirectoryWatch::Open() {
  Close();
  descriptor_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  return descriptor_ >= 0;
}

int DirectoryWatch::Add(const std::string& directory, Changes changes) {
  if (descriptor_ < 0) return -1;
  std::uint32_t mask = IN_CLOSE_WRITE | IN_MOVED_TO;
  if (changes == Changes::kWrittenOrAppended) mask |= IN_MODIFY;
  return inotify_add_watch(descriptor_, directory.c_str(), mask);
}

void DirectoryWatch::Close() {
  if (descriptor_ >= 0) close(descriptor_);
  descriptor_ = -1;
}

bool DirectoryWatch::Drain(const std::function<void(int, const std::string&)>& seen) {
  if (descriptor_ < 0) return true;
  alignas(inotify_event) char buffer[16 * 1024];
  bool complete = true;
  for (;;) {
    const ssize_t length = read(descriptor_, buffer, sizeof buffer);
    if (length <= 0) break;  // EAGAIN: drained (EINTR: the next call reads on)
    for (ssize_t at = 0; at < length;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      if (event->mask & IN_Q_OVERFLOW) complete = false;
      if (event->len == 0) continue;
      seen(event->wd, std::string(event->name));
    }
  }
  return complete;
}

void DirectoryWatch::Wait(std::chrono::milliseconds longest) const {
  if (descriptor_ < 0) return;
  pollfd watch{descriptor_, POLLIN, 0};
  (void)poll(&watch, 1, static_cast<int>(longest.count()));
}

}  // namespace platform
