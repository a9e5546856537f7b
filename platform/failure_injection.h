// The fault a test injects into file opens (testing::FailNthFileOpen in
// file.h): one countdown, kept in file.cc, that File::Open, FileExists and
// FileExistsStamped count down on every system.
#pragma once

namespace platform {

// Counts one open or existence test; true when it is the one the test asked
// to fail (then the countdown is spent).
bool InjectedFileFailure();

}  // namespace platform
