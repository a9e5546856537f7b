// The counters' two critical sections. They are constant-initialised, so
// they outlive the extension object whose destructor deletes them.
#include "spool/counter_locks.h"

#include <memory>

namespace spool {

namespace {

constinit std::unique_ptr<platform::CriticalSection> g_in_counter_lock;
constinit std::unique_ptr<platform::CriticalSection> g_post_counter_lock;

}  // namespace

void CreateCounterLocks() {
  g_in_counter_lock = std::make_unique<platform::CriticalSection>();
  g_post_counter_lock = std::make_unique<platform::CriticalSection>();
}

void DeleteCounterLocks() {
  g_post_counter_lock.reset();
  g_in_counter_lock.reset();
}

platform::CriticalSection* InCounterLock() { return g_in_counter_lock.get(); }
platform::CriticalSection* PostCounterLock() { return g_post_counter_lock.get(); }

}  // namespace spool
