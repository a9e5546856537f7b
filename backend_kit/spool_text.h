// Spool files as the back-end sees them: text files whose lines end in CR LF
// on disk and in LF in memory, and answers that appear whole or not at all
// (written under a temporary name, then renamed into place).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace backend_kit {

// CR LF becomes LF; a lone CR stays.
std::string FromSpoolText(std::string_view stored);
// Every LF becomes CR LF.
std::string ToSpoolText(std::string_view text);

// The file's first `max_bytes` bytes (all of them by default), untranslated;
// nullopt when it cannot be read. Files in the spool come from other
// processes: a bound keeps a stray huge file from filling memory.
std::optional<std::string> ReadFileBytes(const std::string& path,
                                         std::size_t max_bytes = std::string::npos);
// At most `max_bytes` bytes from `offset` on, untranslated.
std::optional<std::string> ReadFileBytesAt(const std::string& path, std::uint64_t offset,
                                           std::size_t max_bytes);
// The same, with CR LF turned into LF.
std::optional<std::string> ReadSpoolText(const std::string& path,
                                         std::size_t max_bytes = std::string::npos);

// Writes `bytes` to a new file `path`.<unique>.new, then renames it to
// `path`, so a reader sees either the old file or the complete new one, and
// two writers never share a temporary file. On failure nothing is left
// behind under either name (an old file at `path` stays as it was).
bool WriteFileAtomically(const std::string& path, std::string_view bytes);

// Creates (or truncates) `path` with `bytes`; false on an error.
bool WriteFile(const std::string& path, std::string_view bytes);

// The text cut at each LF; the LFs are dropped. A text that ends in LF gives
// no empty last line.
std::vector<std::string> SplitLines(std::string_view text);

}  // namespace backend_kit
