// What tests of the kept spool files share: a cache clock ahead of the file
// system's, so that files just written count as settled and are kept, and
// modification times set explicitly (utimensat), so that a rewrite moves a
// file's stamp without waiting for the clock. POSIX only.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "platform/file.h"
#include "spool/text_file_cache.h"

namespace spool {

// Sets the modification time of `path` to `seconds` since 1970 (and, as any
// change does, its change time to now).
inline void SetModifiedTime(const std::string& path, std::int64_t seconds) {
  const timespec times[2] = {{0, UTIME_OMIT}, {static_cast<time_t>(seconds), 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
}

// A fixed point in the past for modification times: 2020-01-01.
inline constexpr std::int64_t kPastSeconds = 1577836800;

// The cache's clock, ten seconds ahead of the system's: every file written
// by the test is settled for it, and is kept. A rewrite is then seen only
// through a moved stamp, which the test makes with SetModifiedTime.
inline std::int64_t ClockAhead() { return platform::FileClockNanoseconds() + 10'000'000'000; }

// Runs a test with the cache empty and its clock ahead; leaves the cache
// empty and its clock and filter as they were.
class KeptSpoolFilesTest : public ::testing::Test {
 protected:
  KeptSpoolFilesTest() {
    ReleaseTextFileCache();
    testing::SetCacheClock(&ClockAhead);
  }
  ~KeptSpoolFilesTest() override {
    testing::SetCacheClock(nullptr);
    testing::SetStampFilter(nullptr);
    ReleaseTextFileCache();
  }
};

}  // namespace spool
