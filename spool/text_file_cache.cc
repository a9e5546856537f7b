// The stat-validated cache of spool text files, shared by the module's
// threads under one critical section, bounded in files and bytes (the least
// recently served go first) and released when the module is unloaded.
#include "spool/text_file_cache.h"

#include <algorithm>
#include <atomic>
#include <list>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "platform/critical_section.h"
#include "platform/module_path.h"

namespace spool {

namespace {

constexpr std::int64_t kSecond = 1000000000;
// A file system's timestamps lag the system clock by up to a clock tick and
// are cut to their granularity. Times on whole seconds are taken for a file
// system that keeps seconds (or two, as FAT does); others for one that keeps
// at least hundredths.
constexpr std::int64_t kFineMargin = 50 * 1000000;
constexpr std::int64_t kCoarseMargin = 3 * kSecond;
// Bounds of the notes beside the texts.
constexpr std::size_t kMaxNotes = 4096;

std::atomic<std::int64_t (*)()> g_clock{nullptr};
std::atomic<void (*)(platform::FileStamp&)> g_stamp_filter{nullptr};

std::int64_t Now() {
  std::int64_t (*const clock)() = g_clock.load();
  return clock != nullptr ? clock() : platform::FileClockNanoseconds();
}

void Filter(platform::FileStamp& stamp) {
  if (void (*const filter)(platform::FileStamp&) = g_stamp_filter.load()) filter(stamp);
}

// True when any later write to the file moves one of its times: they were
// older than `now` by more than a tick and the granularity.
bool Settled(const platform::FileStamp& stamp, std::int64_t now) {
  const bool whole_seconds = stamp.changed_ns % kSecond == 0 && stamp.modified_ns % kSecond == 0;
  const std::int64_t margin = whole_seconds ? kCoarseMargin : kFineMargin;
  return stamp.changed_ns <= now - margin && stamp.modified_ns <= now - margin;
}

bool CacheInUse() { return platform::kFileStampsTellChanges && !platform::SpoolDeclaredShared(); }

std::string DirectoryOf(const std::string& path) {
  const std::size_t separator = path.rfind(platform::kPathSeparator);
  return separator == std::string::npos ? std::string() : path.substr(0, separator);
}

struct Entry {
  std::string path;
  platform::FileStamp stamp;
  std::shared_ptr<const std::string> text;
};

class Cache {
 public:
  // The kept text of `path` when `stamp` is still its file's.
  std::shared_ptr<const std::string> Find(const std::string& path,
                                          const platform::FileStamp& stamp) {
    platform::ScopedCriticalSection hold(lock_);
    const auto found = by_path_.find(path);
    if (found == by_path_.end()) return nullptr;
    if (!(found->second->stamp == stamp)) {
      // The file has changed: what was kept of it is of no more use.
      DropLocked(path);
      return nullptr;
    }
    lru_.splice(lru_.begin(), lru_, found->second);
    ++counts_.served;
    return found->second->text;
  }

  void Keep(const std::string& path, const platform::FileStamp& stamp, std::string_view text) {
    if (text.size() > kMaxKeptFileBytes) return;
    auto kept = std::make_shared<const std::string>(text);
    platform::ScopedCriticalSection hold(lock_);
    DropLocked(path);
    lru_.push_front({path, stamp, std::move(kept)});
    by_path_.emplace(path, lru_.begin());
    bytes_ += text.size();
    ++counts_.kept;
    while (lru_.size() > kMaxKeptFiles || bytes_ > kMaxKeptBytes) DropLocked(lru_.back().path);
  }

  void Drop(const std::string& path) {
    platform::ScopedCriticalSection hold(lock_);
    DropLocked(path);
  }

  bool RequestFilesGone(const std::string& ready_path, const platform::FileStamp& stamp) {
    platform::ScopedCriticalSection hold(lock_);
    const auto found = gone_.find(ready_path);
    return found != gone_.end() && found->second == stamp;
  }

  void NoteGone(const std::string& ready_path, const platform::FileStamp& stamp) {
    platform::ScopedCriticalSection hold(lock_);
    if (gone_.size() >= kMaxNotes) gone_.clear();
    gone_[ready_path] = stamp;
  }

  // Whether the directory of `path` was found on a shared file system (its
  // name is formed only when some directory was).
  bool InSharedDirectory(const std::string& path) {
    platform::ScopedCriticalSection hold(lock_);
    return !shared_directories_.empty() && shared_directories_.contains(DirectoryOf(path));
  }

  void NoteShared(const std::string& directory) {
    platform::ScopedCriticalSection hold(lock_);
    if (shared_directories_.size() >= kMaxNotes) shared_directories_.clear();
    shared_directories_.insert(directory);
  }

  void Release() {
    platform::ScopedCriticalSection hold(lock_);
    by_path_.clear();
    lru_.clear();
    gone_.clear();
    shared_directories_.clear();
    bytes_ = 0;
    counts_ = {};
  }

  TextFileCacheCounts Counts() {
    platform::ScopedCriticalSection hold(lock_);
    TextFileCacheCounts counts = counts_;
    counts.files = lru_.size();
    counts.bytes = bytes_;
    return counts;
  }

 private:
  void DropLocked(const std::string& path) {
    const auto found = by_path_.find(path);
    if (found == by_path_.end()) return;
    bytes_ -= found->second->text->size();
    const auto entry = found->second;
    by_path_.erase(found);
    lru_.erase(entry);
  }

  platform::CriticalSection lock_;
  std::list<Entry> lru_;  // the most recently served first
  std::unordered_map<std::string, std::list<Entry>::iterator> by_path_;
  std::size_t bytes_ = 0;
  // Ready flag path -> the flag's stamp when its request files were removed.
  std::unordered_map<std::string, platform::FileStamp> gone_;
  // Directories found on a shared file system: their files are read afresh
  // without asking for stamps first.
  std::unordered_set<std::string> shared_directories_;
  TextFileCacheCounts counts_;
};

Cache& TheCache() {
  static Cache cache;
  return cache;
}

bool Stamp(const std::string& path, platform::FileStamp& stamp, platform::SystemError* error) {
  if (!platform::StampOfFile(path.c_str(), stamp, error)) return false;
  Filter(stamp);
  return true;
}

// Whether what was found at `path` may be kept: settled, and on a local
// file system (asked of the system only here, when a text would be kept).
bool MayKeep(const std::string& path, const platform::FileStamp& stamp, std::int64_t before) {
  if (!Settled(stamp, before)) return false;
  if (platform::SharingOfFileSystem(path.c_str()) == platform::FileSystemSharing::kLocal) {
    return true;
  }
  TheCache().NoteShared(DirectoryOf(path));
  return false;
}

}  // namespace

bool ReadTextFileCached(const std::string& path, CachedText& out, std::size_t max_bytes,
                        platform::SystemError* error) {
  out.kept_.reset();
  if (!CacheInUse() || TheCache().InSharedDirectory(path)) {
    return ReadTextFile(path, out.read_, max_bytes, error);
  }
  // The clock is read before the stamp: a write after this moment gives the
  // file a change time later than any settled one.
  const std::int64_t before = Now();
  platform::FileStamp stamp;
  platform::SystemError stamp_error;
  if (!Stamp(path, stamp, &stamp_error)) {
    // Nothing there is the answer an open would give; any other failure is
    // left to the open, which tells its own cause.
    if (stamp_error.cause == platform::FailureCause::kNotFound) {
      if (error != nullptr) *error = stamp_error;
      return false;
    }
    return ReadTextFile(path, out.read_, max_bytes, error);
  }
  if (stamp.regular && stamp.size >= 0 && static_cast<std::uint64_t>(stamp.size) <= max_bytes) {
    if (auto kept = TheCache().Find(path, stamp)) {
      out.kept_ = std::move(kept);
      return true;
    }
  }
  if (!ReadTextFile(path, out.read_, max_bytes, error)) return false;
  // Read whole, and no larger than a file that is kept. What was read may be
  // newer than the stamp; then the file's stamp has moved, and the text is
  // never served.
  if (stamp.regular && stamp.size >= 0 &&
      static_cast<std::uint64_t>(stamp.size) <= std::min(max_bytes, kMaxKeptFileBytes) &&
      MayKeep(path, stamp, before)) {
    TheCache().Keep(path, stamp, out.read_.text());
  }
  return true;
}

void ForgetCachedFile(const std::string& path) {
  if (CacheInUse()) TheCache().Drop(path);
}

ReadyFlagCheck CheckReadyFlag(const std::string& ready_path) {
  ReadyFlagCheck check;
  if (!CacheInUse() || TheCache().InSharedDirectory(ready_path)) {
    check.exists = platform::FileExists(ready_path.c_str());
    return check;
  }
  const std::int64_t before = Now();
  check.exists = platform::FileExistsStamped(ready_path.c_str(), check.stamp);
  if (!check.exists) return check;
  Filter(check.stamp);
  check.request_files_gone = TheCache().RequestFilesGone(ready_path, check.stamp);
  check.may_note = !check.request_files_gone && Settled(check.stamp, before);
  return check;
}

void NoteRequestFilesGone(const std::string& ready_path, const ReadyFlagCheck& check) {
  if (!check.exists || !check.may_note || !CacheInUse()) return;
  if (platform::SharingOfFileSystem(ready_path.c_str()) != platform::FileSystemSharing::kLocal) {
    TheCache().NoteShared(DirectoryOf(ready_path));
    return;
  }
  TheCache().NoteGone(ready_path, check.stamp);
}

void StartTextFileCache() { (void)TheCache(); }

void ReleaseTextFileCache() { TheCache().Release(); }

TextFileCacheCounts CountTextFileCache() { return TheCache().Counts(); }

namespace testing {

void SetCacheClock(std::int64_t (*now_ns)()) { g_clock.store(now_ns); }

void SetStampFilter(void (*filter)(platform::FileStamp&)) { g_stamp_filter.store(filter); }

}  // namespace testing

}  // namespace spool
