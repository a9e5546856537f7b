// The counters' two critical sections. Held in plain pointers: a global with
// a destructor would be destroyed in this file's turn at exit, possibly before
// the extension object whose destructor deletes the locks.
#include "spool/counter_locks.h"

namespace spool {

namespace {

constinit platform::CriticalSection* g_in_counter_lock = nullptr;
constinit platform::CriticalSection* g_post_counter_lock = nullptr;

}  // namespace

void CreateCounterLocks() {
  DeleteCounterLocks();
  g_in_counter_lock = new platform::CriticalSection();
  g_post_counter_lock = new platform::CriticalSection();
}

void DeleteCounterLocks() {
  delete g_post_counter_lock;
  g_post_counter_lock = nullptr;
  delete g_in_counter_lock;
  g_in_counter_lock = nullptr;
}

platform::CriticalSection* InCounterLock() { return g_in_counter_lock; }
platform::CriticalSection* PostCounterLock() { return g_post_counter_lock; }

}  // namespace spool
