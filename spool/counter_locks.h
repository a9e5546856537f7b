// The two process-wide critical sections of the counters. Inside the process
// they serialise the read-increment-write of a counter file; across processes
// the lock files beside the counters do (lock file outer, section inner).
#pragma once

#include "platform/critical_section.h"

namespace spool {

// Created when the module loads, InCounterLock first.
void CreateCounterLocks();
// Deleted when the module unloads, PostCounterLock first.
void DeleteCounterLocks();

// The section, or null outside the load-to-unload span. The counters fall
// back to a private section of their own when it is null.
platform::CriticalSection* InCounterLock();
platform::CriticalSection* PostCounterLock();

}  // namespace spool
