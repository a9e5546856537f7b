// Who this process is, for files that tell a person which process on which
// machine holds something.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

// This machine's name; empty when the system cannot tell it.
std::string HostName();

// This process's id.
std::uint64_t CurrentProcessId();

}  // namespace platform
