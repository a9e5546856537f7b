// File delivery: "getfile", "getfilelength" and "getfiledata" give a user
// parts and sizes of files their rights list names, without the back-end.
// DoCommand and DoKommand both serve them through DeliverFile.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "gateway/request_context.h"
#include "gateway/web_extension.h"

namespace commands {

enum class FileSubCommand { kGetFile, kGetFileLength, kGetFileData };

// The sub-command `command` names exactly (case-sensitive), if any.
std::optional<FileSubCommand> FileSubCommandNamed(std::string_view command);

// Largest part "getfile" encodes; its buffers take about four times as much.
inline constexpr std::uint32_t kMaxGetfileLength = 16U * 1024U * 1024U;

// A rights-list line is read whole when it has at most this many characters,
// its line end (LF) included: an entry of at most 1022 characters.
inline constexpr std::size_t kRightsLineChars = 1023;

// The entry of the rights list at `rights_path` that grants `escaped_name`,
// with its line end removed (LF or CR LF); nullopt when the list is missing,
// no entry matches or the name is empty. Entry and name are compared with
// their bracket escapes decoded, byte for byte where file names are
// case-sensitive (POSIX) and ignoring ASCII case where they are not
// (Windows). A line longer than kRightsLineChars matches nothing, neither
// its head nor its tail.
std::optional<std::string> FindRightsEntry(const std::string& rights_path,
                                           std::string_view escaped_name);

// Serves one file sub-command for `logon` under `install_root`. `name` is the
// bracket-escaped file name (P1), `offset_text` and `length_text` are P2 and
// P3. A logon that cannot name its own rights list is denied access.
void DeliverFile(gateway::WebExtension& extension, gateway::RequestContext& context,
                 FileSubCommand sub_command, std::string_view install_root, std::string_view logon,
                 std::string_view name, std::string_view offset_text, std::string_view length_text);

}  // namespace commands
