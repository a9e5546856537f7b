// Spool text translation and whole-file writes for the back-end.

#include "tools/backend/spool_text.h"

#include <algorithm>
#include <cstdio>
#include <fstream>

namespace tools {

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

std::optional<std::string> ReadFileBytes(const std::string& path, std::size_t max_bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::string bytes;
  char buffer[64 * 1024];
  while (bytes.size() < max_bytes) {
    const std::size_t wanted = std::min(sizeof buffer, max_bytes - bytes.size());
    in.read(buffer, static_cast<std::streamsize>(wanted));
    bytes.append(buffer, static_cast<std::size_t>(in.gcount()));
    if (!in) break;
  }
  if (in.bad()) return std::nullopt;
  return bytes;
}

std::optional<std::string> ReadSpoolText(const std::string& path, std::size_t max_bytes) {
  auto bytes = ReadFileBytes(path, max_bytes);
  if (!bytes) return std::nullopt;
  return FromSpoolText(*bytes);
}

bool WriteFile(const std::string& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) return false;
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  return !out.fail();
}

bool WriteFileAtomically(const std::string& path, std::string_view bytes) {
  const std::string temporary = path + ".new";
  if (!WriteFile(temporary, bytes)) {
    std::remove(temporary.c_str());
    return false;
  }
  if (std::rename(temporary.c_str(), path.c_str()) != 0) {
    std::remove(temporary.c_str());
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

}  // namespace tools
