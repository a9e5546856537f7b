// The posted-data store: raw data posted for the back-end is written to
// post/<N>.txt under a fresh post number, then post/<N>.rdy tells the back-end
// that the data file is complete and how many bytes were received.
#pragma once

#include <string_view>

#include "spool/install_root.h"

namespace spool {

// Post numbers one store may draw before it gives up: as many as there are.
inline constexpr long kMaxPostNumbersPerStore = 1000000;

// Stores `data` under `root` (a text: each LF is stored as CR LF) in a data file created
// exclusively, so no posted data is ever overwritten: a number whose data
// file exists is skipped for the next one, at most kMaxPostNumbersPerStore
// numbers in all. Once the data file is complete and closed, the ready file
// gets `received_length` as decimal text without line end. Returns the size
// of the stored data file, or 0 when nothing usable was stored (no data, no
// free number, an unusable post directory, a failed write); then no ready
// file is written. A store that fails once its files exist (a full disk)
// removes them: a data file is never left half-written, and a ready file is
// written whole or not at all.
long StorePostedData(const InstallRoot& root, std::string_view data, long received_length);

namespace testing {
// StorePostedData with another bound on the numbers drawn, so tests can
// reach the bound.
long StorePostedDataWithinBound(const InstallRoot& root, std::string_view data,
                                long received_length, long max_numbers);
}  // namespace testing

}  // namespace spool
