// How long the next request waits for the in counter's lock once its holder
// was killed inside it: a fork takes the lock and stays inside it, is killed
// (SIGKILL), and the next TakeInTicket in this process is timed. With
// "refused" advisory locks are refused, as on a file system without them:
// the dead holder's lock is then waited out for its bound of tries.
//
//   bench_lock_takeover DIR [refused]  -> prints "<ms> ms, <tries> tries, ticket <n>"
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/lock_file.h"
#include "spool/counters.h"
#include "spool/install_root.h"

namespace {

int g_parked_pipe = -1;

void ParkInsideTheLock(spool::testing::LockStep step, int /*tries*/) {
  if (step != spool::testing::LockStep::kInsideInLock) return;
  const char parked = 'p';
  if (write(g_parked_pipe, &parked, 1) != 1) _exit(3);
  for (;;) pause();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s DIR [refused]\n", argv[0]);
    return 2;
  }
  const spool::InstallRoot root{argv[1], argv[1], ""};
  if (argc > 2 && std::strcmp(argv[2], "refused") == 0) {
    platform::testing::RefuseAdvisoryLocks(true);
  }
  int parked[2];
  if (pipe(parked) != 0) return 1;
  const pid_t holder = fork();
  if (holder == 0) {
    close(parked[0]);
    g_parked_pipe = parked[1];
    spool::testing::SetLockStepHook(&ParkInsideTheLock);
    (void)spool::TakeInTicket(root, "holder", "getlist", "", "", "");
    _exit(2);
  }
  close(parked[1]);
  char byte = 0;
  const bool inside = read(parked[0], &byte, 1) == 1;
  close(parked[0]);
  kill(holder, SIGKILL);
  waitpid(holder, nullptr, 0);
  if (!inside) return 1;
  const auto start = std::chrono::steady_clock::now();
  const long ticket = spool::TakeInTicket(root, "next", "getlist", "", "", "");
  const auto took =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start);
  std::printf("%.1f ms, %d tries, ticket %ld\n", took.count(), spool::testing::LastLockWaitTries(),
              ticket);
  return 0;
}
