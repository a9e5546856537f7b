// The module's string resources. On Windows these are the module's string
// table; on POSIX a constant table with the same numbers and texts.
#pragma once

namespace platform {

// Resource number of the extension description.
inline constexpr unsigned kExtensionDescriptionId = 102;

// The text with that number, or nullptr when the module has none.
const char* LoadStringResource(unsigned id);

}  // namespace platform
