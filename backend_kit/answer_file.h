// Answers as the module reads them: out/N.htm complete under its name before
// out/N.rdy exists, and the first line that turns an answer into a download.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace backend_kit {

// Writes `text` (LF line ends) as the answer of `ticket` in `out_folder`:
// N.htm whole (under a temporary name, then renamed), then the flag N.rdy.
// False when either could not be written; no flag exists then, and no
// temporary file is left.
[[nodiscard]] bool WriteAnswer(const std::string& out_folder, const std::string& ticket,
                               std::string_view text);

// The first line that makes the module send `absolute_path` as a download:
// "\\" followed by the path's components joined by backslashes, which the
// module turns back into //path. nullopt when the path cannot be written so
// (not absolute, holds a backslash or a control byte, or is longer than the
// module's 255-character file name).
std::optional<std::string> DownloadLine(std::string_view absolute_path);

}  // namespace backend_kit
