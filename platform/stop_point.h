// Stop points for tests of whole processes: a test that must kill a process
// at one exact step (a host inside the counter's lock) names a file in an
// environment variable; the process creates that file when it reaches the
// step, and stays there until it is killed. Unset, nothing happens.
#pragma once

#include <string>

namespace platform {

// The file the environment variable `variable` names, or empty.
std::string StopPointFile(const char* variable);

// Creates `file` (the test's sign that the step is reached) and then never
// returns: the test kills the process here.
[[noreturn]] void StopHere(const std::string& file);

}  // namespace platform
