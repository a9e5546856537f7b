// The two counters that number spool files: the in counter issues request
// tickets, the post counter the numbers of posted-data files. Each is a text
// file in the install root, guarded across processes by a lock file beside
// it (outer) and inside the process by its critical section (inner).
#pragma once

#include <string>
#include <string_view>

#include "spool/install_root.h"

namespace spool {

// Numbers run from 1 to kMaxCounterNumber; the one after it is 1 again.
inline constexpr long kMaxCounterNumber = 1000000;
// While a process holds a lock file it also holds the system's advisory
// lock on it: a lock whose holder died is taken over at once, one whose
// holder lives is waited for however long it holds. Only where the file
// system refuses advisory locks is a lock waited for at most this many
// tries of 1 ms per call, and then taken over.
inline constexpr int kLockWaitTries = 10000;

// A counter file is written as a temporary file beside it that then replaces
// it, so a crash or a full disk leaves the old value, never an empty file.

// Takes the next request ticket from the in counter under `root.counters`.
// The request identity ("logon=..&command=..
// &p2=..&p3=..", cut to 1023 characters) is written into the in lock and read
// back after 1 ms to narrow the race between processes. Never fails: with an
// unusable root it still returns a number (1, as from a missing counter).
// `p1` is part of the call but not of the identity.
long TakeInTicket(const InstallRoot& root, std::string_view logon, std::string_view command,
                  std::string_view p1, std::string_view p2, std::string_view p3);

// Takes the next posted-data number from the post counter under
// `root.counters`. Never fails.
long TakePostNumber(const InstallRoot& root);

namespace testing {
// Sets the bound on the tries of 1 ms a call waits for a lock file, so that
// tests can take a stale lock over without waiting ten seconds; 0 restores
// kLockWaitTries.
void SetLockWaitTries(int tries);
// The tries of 1 ms the calling thread's last TakeInTicket or TakePostNumber
// spent waiting for its lock file.
int LastLockWaitTries();
// The points of the lock protocol where a test holds a party, step by step.
enum class LockStep {
  kWaitTry,      // a lock file is present: a try of 1 ms is about to be slept
  kTakeOver,     // a present lock file is about to be opened and its lock tried
  kInsideInLock  // the in lock is held; the counter is not read yet
};
// Calls `hook` (null: nothing) at each step with the tries spent so far in
// the call, on the calling thread.
void SetLockStepHook(void (*hook)(LockStep step, int tries));
}  // namespace testing

// The request identity of the in lock, cut to its 1023-character buffer.
std::string RequestIdentity(std::string_view logon, std::string_view command, std::string_view p2,
                            std::string_view p3);

// The value of a counter file's first line as the counter reads it: leading
// blanks skipped, optional sign, digits up to the first other character; no
// digits, or a negative value, gives 0. Values too large to hold saturate.
long ParseCounterText(std::string_view text);

}  // namespace spool
