// The body copy of the raw-body commands: the posted bytes as a text the
// spool can store and decode, each zero byte turned into "|".
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace commands {

// The first `count` bytes of `body`, every zero byte replaced by "|", so the
// text has exactly `count` characters. Nothing when the copy cannot be
// allocated (the caller refuses the body without writing).
std::optional<std::string> PostedBodyCopy(const char* body, std::uint32_t count);

}  // namespace commands
