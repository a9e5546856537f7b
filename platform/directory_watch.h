// A watch over directories that reports the names of files written in them,
// so that a reader need not list the directories again and again. Where the
// system offers no such watch (or refuses one), Open fails and the reader
// lists the directories at its own pace instead.
#pragma once

#include <chrono>
#include <functional>
#include <string>

namespace platform {

class DirectoryWatch {
 public:
  // Which completed changes a watched directory reports: a file closed
  // after writing or renamed into it; kWrittenOrAppended also every write
  // (for files that grow by appends and are never closed in between).
  enum class Changes { kWritten, kWrittenOrAppended };

  DirectoryWatch() = default;
  ~DirectoryWatch() { Close(); }
  DirectoryWatch(const DirectoryWatch&) = delete;
  DirectoryWatch& operator=(const DirectoryWatch&) = delete;

  // Starts a watch with no directories yet; false where the system offers
  // none (Windows) or refuses one (its limit is reached).
  [[nodiscard]] bool Open();
  // Adds `directory`; its number for Drain, or -1 when it cannot be watched.
  [[nodiscard]] int Add(const std::string& directory, Changes changes);
  void Close();
  bool is_open() const { return descriptor_ >= 0; }

  // Passes each name reported since the last call, with the number of its
  // directory, to `seen`; never waits. False when the system dropped reports
  // (its queue overflowed): the caller lists the directories again.
  [[nodiscard]] bool Drain(const std::function<void(int, const std::string&)>& seen);
  // Waits until a report is there, at most `longest`.
  void Wait(std::chrono::milliseconds longest) const;

 private:
  int descriptor_ = -1;
};

}  // namespace platform
