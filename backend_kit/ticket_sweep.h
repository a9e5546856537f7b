// Removal of abandoned tickets: the files of a ticket nobody polled to its
// end (in/N.req, in/N.srv, out/N.tmp, out/N.htm, out/N.rdy) are removed once
// none of them has changed for the ticket lifetime. A request file left in
// in/ keeps its number in use, and the counter wraps at 1000000: without
// this, abandoned requests would fill the numbers (and the disk).
#pragma once

#include <chrono>
#include <functional>
#include <string>

namespace backend_kit {

// Called with each path just before it is removed; tests use it to act as
// the module would between two removals.
using BeforeRemoval = std::function<void(const std::string& path)>;

// Removes the files of every ticket under `root` whose files all are older
// than `lifetime` at `now` (file times are the wall clock's). Never touches
// out/wait.tmp or names that are not a ticket's. Returns how many tickets
// were removed whole.
int SweepExpiredTickets(const std::string& root, std::chrono::seconds lifetime,
                        std::chrono::system_clock::time_point now,
                        const BeforeRemoval& before_removal = {});

}  // namespace backend_kit
