// Spool text translation and whole-file reads and writes for back-ends,
// through the platform's files.

#include "backend_kit/spool_text.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <random>
#include <vector>

#include "platform/file.h"

namespace backend_kit {

std::string FromSpoolText(std::string_view stored) {
  std::string text;
  text.reserve(stored.size());
  for (std::size_t i = 0; i < stored.size(); ++i) {
    if (stored[i] == '\r' && i + 1 < stored.size() && stored[i + 1] == '\n') continue;
    text.push_back(stored[i]);
  }
  return text;
}

std::string ToSpoolText(std::string_view text) {
  std::string stored;
  stored.reserve(text.size() + text.size() / 16);
  for (char c : text) {
    if (c == '\n') stored.push_back('\r');
    stored.push_back(c);
  }
  return stored;
}

std::optional<std::string> ReadFileBytesAt(const std::string& path, std::uint64_t offset,
                                           std::size_t max_bytes) {
  platform::File file = platform::File::Open(path.c_str(), platform::OpenMode::kRead);
  if (!file.is_open()) return std::nullopt;
  std::string bytes;
  std::vector<char> buffer(64 * 1024);
  while (bytes.size() < max_bytes) {
    const std::size_t wanted = std::min(buffer.size(), max_bytes - bytes.size());
    const std::size_t got =
        file.ReadAt(buffer.data(), wanted, static_cast<std::int64_t>(offset + bytes.size()));
    if (file.error().failed()) return std::nullopt;
    bytes.append(buffer.data(), got);
    if (got < wanted) break;
  }
  return bytes;
}

std::optional<std::string> ReadFileBytes(const std::string& path, std::size_t max_bytes) {
  return ReadFileBytesAt(path, 0, max_bytes);
}

std::optional<std::string> ReadSpoolText(const std::string& path, std::size_t max_bytes) {
  auto bytes = ReadFileBytes(path, max_bytes);
  if (!bytes) return std::nullopt;
  return FromSpoolText(*bytes);
}

namespace {

// A name beside `path` that no other writer uses: instances on several
// machines may replace the same rights list at once, and a shared
// temporary name would let one publish the other's half-written file.
std::string TemporaryName(const std::string& path) {
  static std::atomic<std::uint64_t> counter{0};
  static const std::uint64_t process_tag = [] {
    std::random_device device;
    return (static_cast<std::uint64_t>(device()) << 32) ^ device();
  }();
  const std::uint64_t tag = process_tag ^ (counter.fetch_add(1) * 0x9E3779B97F4A7C15ULL);
  std::string name = path + ".";
  for (int shift = 60; shift >= 0; shift -= 4) {
    name.push_back("0123456789abcdef"[(tag >> shift) & 0xF]);
  }
  return name + ".new";
}

}  // namespace

bool WriteFile(const std::string& path, std::string_view bytes) {
  platform::File file = platform::File::Open(path.c_str(), platform::OpenMode::kWriteTruncate);
  if (!file.is_open()) return false;
  const bool written = file.Write(bytes.data(), bytes.size());
  return file.Close() && written;
}

bool WriteFileAtomically(const std::string& path, std::string_view bytes) {
  const std::string temporary = TemporaryName(path);
  // Created exclusively: never another writer's file, and only ours is
  // removed on a failure.
  platform::File file =
      platform::File::Open(temporary.c_str(), platform::OpenMode::kCreateExclusive);
  if (!file.is_open()) return false;
  const bool written = file.Write(bytes.data(), bytes.size());
  if (!file.Close() || !written || !platform::ReplaceFile(temporary, path)) {
    (void)platform::RemoveFile(temporary.c_str());
    return false;
  }
  return true;
}

std::vector<std::string> SplitLines(std::string_view text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) {
      lines.emplace_back(text.substr(start));
      break;
    }
    lines.emplace_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

}  // namespace backend_kit
