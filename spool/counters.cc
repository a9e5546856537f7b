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
#include "platform/lock_file.h"
#include "platform/stop_point.h"
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
// those entries: the lock wait does so every this many tries.
constexpr int kTriesBetweenRefreshes = 16;
// A counter file that exists but cannot be read (a stale file handle: the
// name still led to the file another client has just replaced) is read again
// after a fresh listing, at most this many times, 10 ms apart: three seconds
// and more, past the cache lifetime of a shared file system's client (on
// GlusterFS a second by default, stale reads were seen for 1.1 s).
constexpr int kCounterReadTries = 300;
constexpr int kCounterRetryMilliseconds = 10;

constexpr const char* kAdvisoryLockRefusedTrace =
    "ANOMALIE : verrou du syst\xE8"
    "me refus\xE9"
    " sur %s (%s) => attente born\xE9"
    "e \xE0 %d essais puis reprise du .lock";

thread_local int t_last_lock_wait_tries = 0;
std::atomic<void (*)(testing::LockStep, int)> g_lock_step_hook{nullptr};

void AtLockStep(testing::LockStep step, int tries) {
  if (auto* hook = g_lock_step_hook.load()) hook(step, tries);
}

// The directory that holds `path`: everything before its last separator.
std::string DirectoryOf(const std::string& path) {
  const std::size_t separator = path.find_last_of("/\\");
  return separator == std::string::npos ? std::string(".") : path.substr(0, separator);
}

// `text` as a spool text file stores it: each LF as CR LF.
std::string StoredText(std::string_view text) {
  std::string stored;
  stored.reserve(text.size() + 2);
  for (const char c : text) {
    if (c == '\n') stored.push_back('\r');
    stored.push_back(c);
  }
  return stored;
}

// A lock file under its name is in one of these states:
//   absent                      free: whoever creates it first holds it;
//   present, advisory lock held its holder lives: it is waited for, however
//                               long it holds;
//   present, advisory lock free its holder died (or has created it and not
//                               yet locked it): whoever locks it first and
//                               then finds the name still leading to it
//                               holds it, and writes its own content in;
//                               any other finds it locked, or the name gone.
// A holder removes the name before it closes the file, so a waiter that
// gets the advisory lock afterwards finds the name gone or another file.
// Where the file system refuses advisory locks, a present lock is waited
// for until `tries` reaches the bound, then written over (a lock seen to
// change hands in that time has a live holder, and the count starts again).
struct LockWait {
  const std::string& path;
  std::string_view stored_content;
  bool shared;  // the root lies on a shared file system
  int& tries;
  std::optional<std::uint64_t> holder;  // without advisory locks: the file seen
  bool refused = false;                 // no advisory lock can be tried on it
  bool denied = false;                  // it cannot even be opened to try one
};

// Without advisory locks a present lock is watched as it always was, one
// look per try (a round trip each on a shared file system); true once it
// is gone or its bound spent, when it is time to try for it.
bool WatchedLockIsDue(LockWait& wait) {
  if (!platform::FileExists(wait.path.c_str())) return true;
  const std::optional<std::uint64_t> current = platform::FileIdOf(wait.path);
  if (current && wait.holder && *current != *wait.holder) wait.tries = 0;
  if (current) wait.holder = current;
  return wait.tries >= LockWaitTries();
}

// The existing lock, when this call now holds it: its holder died, or
// (without advisory locks) the bound is spent. Else closed.
platform::LockFile TakeOverIfStale(LockWait& wait) {
  AtLockStep(testing::LockStep::kTakeOver, wait.tries);
  platform::LockFile existing = platform::LockFile::Open(wait.path);
  if (existing.state() == platform::LockFileState::kHeld &&
      existing.NamedBy(wait.path, wait.shared)) {
    (void)existing.Rewrite(wait.stored_content);
    return existing;
  }
  // A lock file this process may not open for writing (another user's, or
  // held open unshared on Windows) gets no advisory lock either: it is
  // waited out for the bound, and then left to the critical section alone.
  wait.denied = existing.state() == platform::LockFileState::kClosed &&
                existing.error().cause == platform::FailureCause::kDenied;
  if (existing.state() == platform::LockFileState::kUnlockable || wait.denied) {
    if (!wait.refused) {
      TraceFormat(kAdvisoryLockRefusedTrace, wait.path.c_str(),
                  platform::FailureReason(existing.error()).c_str(), LockWaitTries());
      wait.refused = true;
    }
    if (wait.tries >= LockWaitTries() && !wait.denied) {
      (void)existing.Rewrite(wait.stored_content);
      return existing;
    }
  }
  existing.Close();
  return existing;
}

// Takes the lock file and writes `content` in: created when absent, taken
// over when its holder is dead, waited for in tries of 1 ms while it lives.
// A lock that cannot be created at all (the root not writable) is given up
// after a few tries: the caller then has the critical section only, as
// before. The returned file is kHeld, or kUnlockable where the file system
// has no advisory locks (held by its presence alone), or closed.
platform::LockFile AcquireLockFile(const std::string& lock_path, std::string_view content,
                                   bool shared, int& tries) {
  const std::string stored = StoredText(content);
  LockWait wait{lock_path, stored, shared, tries, std::nullopt};
  int creation_failures = 0;
  for (int seen = 1;; ++seen) {
    if (!wait.refused || WatchedLockIsDue(wait)) {
      platform::LockFile created = platform::LockFile::Create(lock_path);
      // Between the creation and the advisory lock the new file is free to
      // take over: a waiter may have taken it, run its critical section and
      // removed the name, and another created the lock anew. So the lock
      // held is ours only while the name still leads to its file.
      if (created.state() == platform::LockFileState::kHeld &&
          created.NamedBy(lock_path, wait.shared)) {
        (void)created.Rewrite(stored);
        return created;
      }
      if (created.state() == platform::LockFileState::kUnlockable) {
        (void)created.Rewrite(stored);
        return created;
      }
      // kHeldElsewhere: a waiter took the new file over before it was locked;
      // kHeld on a file no longer named: one that has been and gone.
      const bool exists = created.state() == platform::LockFileState::kHeldElsewhere ||
                          created.state() == platform::LockFileState::kHeld ||
                          created.error().cause == platform::FailureCause::kExists;
      created.Close();
      if (exists) {
        platform::LockFile taken = TakeOverIfStale(wait);
        if (taken.state() != platform::LockFileState::kClosed) return taken;
        if (wait.denied && tries >= LockWaitTries()) return taken;
      } else if (++creation_failures >= 3) {
        return created;
      }
    }
    AtLockStep(testing::LockStep::kWaitTry, tries);
    platform::SleepMilliseconds(1);
    ++tries;
    // A lock removed through another client must not be found here for
    // longer than the listing takes to renew.
    if (wait.shared && seen % kTriesBetweenRefreshes == 0) {
      (void)platform::RefreshDirectoryEntries(DirectoryOf(lock_path));
    }
  }
}

// Ends the hold of a lock file: the name is removed (by whoever finishes,
// even when another request wrote it last), then the file closed.
void ReleaseLockFile(platform::LockFile& lock, const std::string& lock_path) {
  if (lock.state() != platform::LockFileState::kClosed) {
    (void)lock.RemoveAndClose(lock_path);
  } else {
    (void)platform::RemoveFile(lock_path.c_str());
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
// an unreadable counter. The listing that tells a stale name costs a read of
// the whole directory: it is asked on a shared file system (`shared`), and
// anywhere once a read has failed.
long ReadStoredCounter(const std::string& counter_path, bool shared) {
  for (int attempt = 1;; ++attempt) {
    const bool last = attempt >= kCounterReadTries;
    const bool ask_listing = shared || attempt > 1;
    if (ask_listing && !NameLeadsToCurrentFile(counter_path) && !last) {
      platform::SleepMilliseconds(kCounterRetryMilliseconds);
      continue;
    }
    // A shared file system's client may hand out pages it cached for an
    // earlier counter file: a value read long ago, and numbers repeated.
    if (shared) (void)platform::ForgetCachedContent(counter_path);
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
std::pair<long, long> AdvanceCounter(const std::string& counter_path, bool shared,
                                     platform::CriticalSection& section) {
  platform::ScopedCriticalSection hold(section);
  const long stored = ReadStoredCounter(counter_path, shared);
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
// keeps reading back another identity (possible only where the file system
// has no advisory locks) is taken over once the tries are spent, so the
// loop ends even if it never settles. A lock that cannot be read back
// leaves the critical section alone to guard the counter.
platform::LockFile TakeInLock(const std::string& lock_path, const std::string& identity,
                              const TracedRequest& request, bool shared, int& tries) {
  const std::string readable = ReadableIdentity(identity);
  for (int round = 1;; ++round) {
    platform::LockFile lock = AcquireLockFile(lock_path, identity + "\n", shared, tries);
    platform::SleepMilliseconds(1);
    TextFileReader reader(lock_path);
    if (!reader.is_open()) {
      TraceFormat("%s", kLockMissingTrace);
      return lock;
    }
    std::string content = "(rien)";
    std::string line;
    if (reader.ReadLine(line, kLockReadChars)) content = line;
    reader.Close();
    CutLineEnd(content, 1);
    const bool bound_spent = tries >= LockWaitTries() || round >= LockWaitTries();
    const bool own = content == readable || bound_spent;
    TraceLockReadBack(request, own, identity, content);
    if (own) return lock;
  }
}

// Where a test parks a holder inside the in lock: a hook set in process, or
// the stop point a test of whole hosts sets through the environment. With
// DUDAROVUVADU_STOP_IN_LOCK naming a file, a request whose p2 is
// "stop-in-lock" creates that file once it holds the lock and then stays
// there until its process is killed: the test kills it there, on purpose.
void InsideInLock(const TracedRequest& request, int tries) {
  AtLockStep(testing::LockStep::kInsideInLock, tries);
  if (request.p2 != "stop-in-lock") return;
  const std::string stop_file = platform::StopPointFile("DUDAROVUVADU_STOP_IN_LOCK");
  if (!stop_file.empty()) platform::StopHere(stop_file);
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

  const bool shared = platform::IsSharedFileSystem(DirectoryOf(*counter_path));
  int tries = 0;
  platform::LockFile lock =
      TakeInLock(*lock_path, RequestIdentity(logon, command, p2, p3), traced, shared, tries);
  t_last_lock_wait_tries = tries;
  InsideInLock(traced, tries);
  const auto [stored, next] =
      AdvanceCounter(*counter_path, shared, SectionOr(InCounterLock(), FallbackInSection()));
  ReleaseLockFile(lock, *lock_path);
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

  const bool shared = platform::IsSharedFileSystem(DirectoryOf(*counter_path));
  int tries = 0;
  // The post lock is not read back; the posted-data store also skips a
  // number whose data file exists.
  platform::LockFile lock = AcquireLockFile(*lock_path, "locked\n", shared, tries);
  t_last_lock_wait_tries = tries;
  const auto [stored, next] =
      AdvanceCounter(*counter_path, shared, SectionOr(PostCounterLock(), FallbackPostSection()));
  ReleaseLockFile(lock, *lock_path);

  TraceFormat(kPostCounterTrace, stored, next);
  return next;
}

namespace testing {

void SetLockWaitTries(int tries) { g_lock_wait_tries.store(tries > 0 ? tries : kLockWaitTries); }

int LastLockWaitTries() { return t_last_lock_wait_tries; }

void SetLockStepHook(void (*hook)(LockStep step, int tries)) { g_lock_step_hook.store(hook); }

}  // namespace testing

}  // namespace spool
