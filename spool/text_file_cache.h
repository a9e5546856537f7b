// Spool text files kept in memory between requests: a browser polls its
// ticket once a second, and each poll reads the pointer file, the wait page
// and the answer. A kept text is served again only while stat() shows the
// very same file, so every change is seen by the next request.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/file.h"
#include "spool/text_file.h"

namespace spool {

// The text of a file read whole, as ReadTextFile gives it: shared with the
// cache, or read by this request alone.
class CachedText {
 public:
  CachedText() = default;
  CachedText(const CachedText&) = delete;
  CachedText& operator=(const CachedText&) = delete;

  std::string_view text() const { return kept_ ? std::string_view(*kept_) : read_.text(); }

 private:
  friend bool ReadTextFileCached(const std::string& path, CachedText& out, std::size_t max_bytes,
                                 platform::SystemError* error);
  std::shared_ptr<const std::string> kept_;
  TextFileContents read_;
};

// ReadTextFile through the cache: the same text, result and error. A kept
// text is served when stat() finds the same device, inode, size and times as
// when it was read. A text is kept only when
// - the file's change and modification times were older than the file
//   system's timestamp granularity plus a clock tick before the stat was
//   made, so that any later write moves a time (whole-second times: 3 s;
//   finer ones: 50 ms);
// - the file system is local (platform::SharingOfFileSystem), so stat()
//   answers from the disk and not from a client's cache of another machine's
//   files;
// - the whole file fits `max_bytes` and kMaxKeptFileBytes.
// Without stamps (Windows) or with the spool declared shared
// (platform::SpoolDeclaredShared), it is ReadTextFile itself.
[[nodiscard]] bool ReadTextFileCached(const std::string& path, CachedText& out,
                                      std::size_t max_bytes,
                                      platform::SystemError* error = nullptr);

// Drops what is kept of `path` (a file this module has just removed).
void ForgetCachedFile(const std::string& path);

// A ticket's ready flag as a poll finds it, and whether the request and
// server files of its ticket are known to be removed since this very flag
// appeared (a poll removed them and the flag has not changed since), so that
// a later poll need not remove them again.
struct ReadyFlagCheck {
  bool exists = false;
  bool request_files_gone = false;
  platform::FileStamp stamp;
  bool may_note = false;  // the flag's stamp can vouch for a removal
};
ReadyFlagCheck CheckReadyFlag(const std::string& ready_path);
// Notes that the request and server files of the ticket whose flag `check`
// found are gone.
void NoteRequestFilesGone(const std::string& ready_path, const ReadyFlagCheck& check);

// Bounds of what is kept: one file, and all together.
inline constexpr std::size_t kMaxKeptFileBytes = 256 * 1024;
inline constexpr std::size_t kMaxKeptBytes = 16 * 1024 * 1024;
inline constexpr std::size_t kMaxKeptFiles = 4096;

// Makes the cache. The module calls it when it loads, before its extension
// object is complete, so that the cache outlives that object, whose
// destruction at unload calls ReleaseTextFileCache.
void StartTextFileCache();
// Releases everything kept; the module calls it when it is unloaded.
void ReleaseTextFileCache();

// What the cache has done since it was last released.
struct TextFileCacheCounts {
  long served = 0;  // texts served from memory
  long kept = 0;    // texts read and kept
  std::size_t files = 0;
  std::size_t bytes = 0;
};
TextFileCacheCounts CountTextFileCache();

namespace testing {
// The clock the cache compares file times with (null: the system clock).
void SetCacheClock(std::int64_t (*now_ns)());
// Rewrites every stamp the cache takes, as a file system with other
// timestamps would give it (null: none).
void SetStampFilter(void (*filter)(platform::FileStamp&));
}  // namespace testing

}  // namespace spool
