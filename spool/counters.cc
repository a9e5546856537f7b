// The in and post counters. Lock order: the lock file beside the counter is
// taken first and removed last; the critical section is held only for the
// read-increment-write of the counter file, inside it.
#include "spool/counters.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdint>
#include <optional>
#include <random>
#include <string>

#include "platform/clock.h"
#include "platform/critical_section.h"
#include "platform/directory.h"
#include "platform/file.h"
#include "spool/counter_locks.h"
#include "spool/install_root.h"
#include "spool/spool_paths.h"
#include "spool/text_file.h"
#include "spool/trace.h"
#include "text/ascii.h"

namespace spool {

using text::LeadingDecimal;
using text::ReadLeadingDecimal;

namespace {

constexpr const char* kInCounterName = "dudarovuvadu.cnt.in.txt";
constexpr const char* kInLockName = "dudarovuvadu.cnt.in.lock";
constexpr const char* kPostCounterName = "dudarovuvadu.cnt.post.txt";
constexpr const char* kPostLockName = "dudarovuvadu.cnt.post.lock";

// The identity buffer holds 1023 characters; the lock is read back into a
// line of at most 999; a counter file's first line is read up to 78.
constexpr std::size_t kIdentityChars = 1023;
constexpr std::size_t kLockReadChars = 999;
constexpr std::size_t kCounterReadChars = 78;

constexpr const char* kLockMissingTrace =
    "ANOMALIE : .cnt.in.lock non cr\xE9"
    "\xE9"
    "!!! (section critique sera uniquement assur\xE9"
    "e par API Windows)";
constexpr const char* kLockMatchLong =
    "Le .cnt.in.lock rep\xE9"
    "r\xE9"
    " est celui cr\xE9"
    "\xE9"
    " (logon/command/p2/p3='%s' et contenu du .lock='%s'%s ne "
    "diff\xE8"
    "rent pas) => on continue";
constexpr const char* kLockMatchShort =
    "Le .cnt.in.lock rep\xE9"
    "r\xE9"
    " est celui cr\xE9"
    "\xE9"
    " (logon/command/p2/p3 et contenu du .lock ne diff\xE8"
    "rent pas) => on continue";
constexpr const char* kLockMismatchLong =
    "Le .cnt.in.lock rep\xE9"
    "r\xE9"
    " n'est pas celui cr\xE9"
    "\xE9"
    " (logon/command/p2/p3='%s' et contenu du .lock='%s'%s "
    "diff\xE8"
    "rent) => attente de la disparition du .lock";
constexpr const char* kLockMismatchShort =
    "Le .cnt.in.lock rep\xE9"
    "r\xE9"
    " n'est pas celui cr\xE9"
    "\xE9"
    " (logon/command/p2/p3 et contenu du .lock diff\xE8"
    "rent) => attente de la disparition du .lock";
constexpr const char* kInCounterLong =
    "in compteur=%ld lu, puis incr\xE9"
    "ment\xE9"
    ", puis %ld sauv\xE9"
    " dans cnt.in.txt (avec verrou .cnt.in.lock et CriticalSection) "
    "(logon='%s',command='%s',p2='%s',p3='%s')";
constexpr const char* kInCounterShort =
    "in compteur=%ld lu, puis incr\xE9"
    "ment\xE9"
    ", puis %ld sauv\xE9"
    " dans cnt.in.txt (avec verrou .cnt.in.lock et CriticalSection)";
constexpr const char* kPostCounterTrace =
    "post compteur=%ld lu, puis incr\xE9"
    "ment\xE9"
    ", puis %ld sauv\xE9"
    " dans.cnt.post.txt (avec verrou .cnt.post.lock et "
    "CriticalSection)";

// The counters' own sections, used when the module's sections do not exist
// (code running outside the load-to-unload span, such as a tool or a test).
platform::CriticalSection& SectionOr(platform::CriticalSection* module_section,
                                     platform::CriticalSection& fallback) {
  return module_section != nullptr ? *module_section : fallback;
}

platform::CriticalSection& FallbackInSection() {
  static platform::CriticalSection section;
  return section;
}

platform::CriticalSection& FallbackPostSection() {
  static platform::CriticalSection section;
  return section;
}

std::atomic<int> g_lock_wait_tries{kLockWaitTries};

int LockWaitTries() { return g_lock_wait_tries.load(std::memory_order_relaxed); }

// On a shared file system a name replaced or removed through another client
// may still be found as it was until this client's cache entry for it
// expires (a second by default on GlusterFS). Listing the directory renews
// those entries: the lock wait does so every this many tries, the counter
// read each time.
constexpr int kTriesBetweenRefreshes = 16;
// A counter file that exists but cannot be read (a stale file handle: the
// name still led to the file another client has just replaced) is read again
// after a fresh listing, at most this many times, 10 ms apart: three seconds
// and more, past the cache lifetime of a shared file system's client (on
// GlusterFS a second by default, stale reads were seen for 1.1 s).
constexpr int kCounterReadTries = 300;
constexpr int kCounterRetryMilliseconds = 10;

// The directory that holds `path`: everything before its last separator.
std::string DirectoryOf(const std::string& path) {
  const std::size_t separator = path.find_last_of("/\\");
  return separator == std::string::npos ? std::string(".") : path.substr(0, separator);
}

// Waits while the lock file exists, one try of 1 ms each, until `tries`
// reaches the bound. `tries` runs over the whole call, so once spent a
// later wait sleeps at most once and the caller takes the lock over. The
// bound is for a lock whose holder died, which stays the same file: a lock
// seen to change hands (another file under the name) has a live holder, and
// the count starts again. Without that, on a shared file system, where a
// ticket takes tens of milliseconds and several front ends queue for the
// lock, a request that waited its ten seconds took over a live lock, and
// two processes handed out the same numbers.
void WaitForLockFile(const std::string& lock_path, int& tries) {
  const int bound = LockWaitTries();
  int seen = 0;
  std::optional<std::uint64_t> holder;
  while (platform::FileExists(lock_path.c_str())) {
    const std::optional<std::uint64_t> current = platform::FileIdOf(lock_path);
    if (current && holder && *current != *holder) tries = 0;
    if (current) holder = current;
    platform::SleepMilliseconds(1);
    ++tries;
    if (tries >= bound) break;
    // A lock removed through another client must not count as held here
    // until the tries are spent and it is taken over while really held.
    if (++seen % kTriesBetweenRefreshes == 0) {
      (void)platform::RefreshDirectoryEntries(DirectoryOf(lock_path));
    }
  }
}

void WriteLockFile(const std::string& lock_path, std::string_view content,
                   platform::OpenMode mode = platform::OpenMode::kWriteTruncate) {
  TextFileWriter lock(lock_path, mode);
  // A lock that cannot be written leaves only the critical section; the
  // read-back of the in lock notices it.
  (void)lock.Write(content);
  (void)lock.Close();
}

// Takes the lock file: waits while it exists, then creates it in one atomic
// step (exclusive creation), so two processes that both saw it absent never
// both hold it. States: absent (free), present (held by its creator, who
// removes it). Once the tries are spent a lock still present is taken to be
// stale and written over. A lock that cannot be created at all (the root not
// writable) is given up after a few tries: the caller then has the critical
// section only, as before.
void AcquireLockFile(const std::string& lock_path, std::string_view content, int& tries) {
  int creation_failures = 0;
  for (;;) {
    WaitForLockFile(lock_path, tries);
    {
      TextFileWriter lock(lock_path, platform::OpenMode::kCreateExclusive);
      if (lock.is_open()) {
        (void)lock.Write(content);
        (void)lock.Close();
        return;
      }
    }
    const bool held = platform::FileExists(lock_path.c_str());
    if (held && tries >= LockWaitTries()) {
      WriteLockFile(lock_path, content);
      return;
    }
    if (!held && ++creation_failures >= 3) return;
  }
}

// A name beside the counter that no other writer picks: processes sharing
// the root are kept apart by the lock files only as far as those reach.
std::string TemporaryNameFor(const std::string& counter_path) {
  thread_local std::mt19937_64 generator{std::random_device{}()};
  char suffix[17];
  std::uint64_t value = generator();
  for (int i = 15; i >= 0; --i) {
    suffix[i] = "0123456789abcdef"[value & 0x0F];
    value >>= 4;
  }
  suffix[16] = '\0';
  return counter_path + "." + suffix + ".tmp";
}

// Writes `number` into a new temporary file and puts it in the counter's
// place. On any failure the temporary file is removed and the counter keeps
// its old value.
bool ReplaceCounterFile(const std::string& counter_path, long number) {
  const std::string temporary = TemporaryNameFor(counter_path);
  TextFileWriter writer(temporary, platform::OpenMode::kCreateExclusive);
  if (!writer.is_open()) return false;
  const bool written = writer.Write(std::to_string(number) + "\n");
  if (writer.Close() && written && platform::ReplaceFile(temporary, counter_path)) return true;
  (void)platform::RemoveFile(temporary.c_str());
  return false;
}

// The name of a file within its directory.
std::string NameOf(const std::string& path) {
  const std::size_t separator = path.find_last_of("/\\");
  return separator == std::string::npos ? path : path.substr(separator + 1);
}

// Whether this client takes the counter's name for the file the directory
// holds now. A counter is only ever replaced whole, so the file the name
// leads to reads right when it is that file. Where no file ids are to be
// had (Windows, or the counter is missing) there is nothing to compare.
bool NameLeadsToCurrentFile(const std::string& counter_path) {
  const std::optional<std::uint64_t> listed =
      platform::ListedFileId(DirectoryOf(counter_path), NameOf(counter_path));
  if (!listed) return true;
  const std::optional<std::uint64_t> resolved = platform::FileIdOf(counter_path);
  return !resolved || *resolved == *listed;
}

// The stored value of a counter file, read once this client takes its name
// for the file the last writer (on any client) put there, not one it has
// replaced: a shared file system's client keeps a name's old file for a
// while (a second by default on GlusterFS), and reading that gave an old
// value, or failed with a stale handle. Missing gives 0 at once. A stale
// name, or a file that is there but fails to open or to read, is tried
// again; when the tries are spent the value read (0 if none) stands, as for
// an unreadable counter.
long ReadStoredCounter(const std::string& counter_path) {
  for (int attempt = 1;; ++attempt) {
    const bool last = attempt >= kCounterReadTries;
    if (!NameLeadsToCurrentFile(counter_path) && !last) {
      platform::SleepMilliseconds(kCounterRetryMilliseconds);
      continue;
    }
    TextFileReader reader(counter_path);
    std::string line;
    if (reader.is_open() && reader.ReadLine(line, kCounterReadChars)) {
      return ParseCounterText(line);
    }
    const platform::SystemError& error = reader.error();
    // Missing, denied or not a file is an answer, and so is an empty file;
    // a stale handle fails the open (kOther) or a read of an open file. An
    // injected fault stands for one in tests.
    const bool may_pass = reader.is_open() ? error.failed()
                                           : error.cause == platform::FailureCause::kOther ||
                                                 error.cause == platform::FailureCause::kInjected;
    if (!may_pass || last) return 0;
    platform::SleepMilliseconds(kCounterRetryMilliseconds);
  }
}

// Reads, increments, wraps and writes a counter file; returns the value read
// and the new number. A counter file that cannot be written still hands out
// the number (the stored value stays, so the next call repeats it).
std::pair<long, long> AdvanceCounter(const std::string& counter_path,
                                     platform::CriticalSection& section) {
  platform::ScopedCriticalSection hold(section);
  const long stored = ReadStoredCounter(counter_path);
  const long next = stored >= kMaxCounterNumber ? 1 : stored + 1;
  (void)ReplaceCounterFile(counter_path, next);
  return {stored, next};
}

// What the lock line holding `identity` reads back as: the identity and its
// LF, up to the first LF and at most 999 characters, with its line end cut.
// Equal to the identity itself unless that is longer than 999 characters or
// holds a line end; comparing against it lets such an identity still find
// itself in the lock instead of waiting out every try.
std::string ReadableIdentity(const std::string& identity) {
  std::string line = identity.substr(0, identity.find('\n'));
  line.push_back('\n');
  if (line.size() > kLockReadChars) line.resize(kLockReadChars);
  CutLineEnd(line, 1);
  return line;
}

}  // namespace

std::string RequestIdentity(std::string_view logon, std::string_view command, std::string_view p2,
                            std::string_view p3) {
  std::string identity;
  identity.reserve(logon.size() + command.size() + p2.size() + p3.size() + 24);
  identity.append("logon=").append(logon);
  identity.append("&command=").append(command);
  identity.append("&p2=").append(p2);
  identity.append("&p3=").append(p3);
  if (identity.size() > kIdentityChars) identity.resize(kIdentityChars);
  return identity;
}

long ParseCounterText(std::string_view text) {
  const LeadingDecimal number = ReadLeadingDecimal(text);
  if (number.negative) return 0;
  return static_cast<long>(std::min<std::uint64_t>(number.magnitude, LONG_MAX));
}

namespace {

// The texts of a request the in counter's traces name.
struct TracedRequest {
  bool short_traces;  // a logon: its texts stay out of the traces
  std::string logon;
  std::string command;
  std::string p2;
  std::string p3;
};

void TraceInCounter(const TracedRequest& request, long stored, long next) {
  if (request.short_traces) {
    TraceFormat(kInCounterShort, stored, next);
  } else {
    TraceFormat(kInCounterLong, stored, next, request.logon.c_str(), request.command.c_str(),
                request.p2.c_str(), request.p3.c_str());
  }
}

void TraceLockReadBack(const TracedRequest& request, bool own, const std::string& identity,
                       const std::string& content) {
  if (request.short_traces) {
    TraceFormat("%s", own ? kLockMatchShort : kLockMismatchShort);
  } else {
    TraceFormat(own ? kLockMatchLong : kLockMismatchLong, identity.c_str(), content.c_str(), "");
  }
}

// Takes the in lock with `identity` in it. Each round is a wait for the
// lock, a write of the identity and a read-back after 1 ms. A lock that
// keeps reading back another identity is taken over once the tries are
// spent, so the loop ends even if it never settles. A lock that cannot be
// read back leaves the critical section alone to guard the counter.
void TakeInLock(const std::string& lock_path, const std::string& identity,
                const TracedRequest& request) {
  const std::string readable = ReadableIdentity(identity);
  int tries = 0;
  for (int round = 1;; ++round) {
    AcquireLockFile(lock_path, identity + "\n", tries);
    platform::SleepMilliseconds(1);
    TextFileReader reader(lock_path);
    if (!reader.is_open()) {
      TraceFormat("%s", kLockMissingTrace);
      return;
    }
    std::string content = "(rien)";
    std::string line;
    if (reader.ReadLine(line, kLockReadChars)) content = line;
    reader.Close();
    CutLineEnd(content, 1);
    const bool bound_spent = tries >= LockWaitTries() || round >= LockWaitTries();
    const bool own = content == readable || bound_spent;
    TraceLockReadBack(request, own, identity, content);
    if (own) return;
  }
}

}  // namespace

long TakeInTicket(const InstallRoot& root, std::string_view logon, std::string_view command,
                  std::string_view /*p1*/, std::string_view p2, std::string_view p3) {
  const std::optional<std::string> lock_path =
      SpoolPath(root.counters, "", kInLockName, kCounterPathCapacity);
  const std::optional<std::string> counter_path =
      SpoolPath(root.counters, "", kInCounterName, kCounterPathCapacity);
  const TracedRequest traced{command == "login" || command == "getlogon", std::string(logon),
                             std::string(command), std::string(p2), std::string(p3)};

  // A root too long for the counter's paths holds no counter: the number is
  // the first one, and no file is touched.
  if (!lock_path || !counter_path) {
    TraceInCounter(traced, 0L, 1L);
    return 1;
  }

  TakeInLock(*lock_path, RequestIdentity(logon, command, p2, p3), traced);
  const auto [stored, next] =
      AdvanceCounter(*counter_path, SectionOr(InCounterLock(), FallbackInSection()));
  // Removed by whoever finishes, even when another request wrote it last.
  (void)platform::RemoveFile(lock_path->c_str());
  TraceInCounter(traced, stored, next);
  return next;
}

long TakePostNumber(const InstallRoot& root) {
  const std::optional<std::string> lock_path =
      SpoolPath(root.counters, "", kPostLockName, kCounterPathCapacity);
  const std::optional<std::string> counter_path =
      SpoolPath(root.counters, "", kPostCounterName, kCounterPathCapacity);
  if (!lock_path || !counter_path) {
    TraceFormat(kPostCounterTrace, 0L, 1L);
    return 1;
  }

  int tries = 0;
  // The post lock is not read back; the posted-data store also skips a
  // number whose data file exists.
  AcquireLockFile(*lock_path, "locked\n", tries);
  const auto [stored, next] =
      AdvanceCounter(*counter_path, SectionOr(PostCounterLock(), FallbackPostSection()));
  (void)platform::RemoveFile(lock_path->c_str());

  TraceFormat(kPostCounterTrace, stored, next);
  return next;
}

namespace testing {

void SetLockWaitTries(int tries) { g_lock_wait_tries.store(tries > 0 ? tries : kLockWaitTries); }

}  // namespace testing

}  // namespace spool
