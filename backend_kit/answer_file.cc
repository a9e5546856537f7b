// Answer files and their ready flags.

#include "backend_kit/answer_file.h"

#include "backend_kit/escapes.h"
#include "backend_kit/spool_text.h"
#include "platform/file.h"

namespace backend_kit {

namespace {

constexpr std::size_t kMaxDownloadLine = 255;

}  // namespace

bool WriteAnswer(const std::string& out_folder, const std::string& ticket, std::string_view text) {
  // The module streams N.htm as soon as N.rdy exists: the answer must be
  // complete, under its final name, before the flag is created.
  const std::string answer_path = out_folder + "/" + ticket + ".htm";
  if (!WriteFileAtomically(answer_path, ToSpoolText(text))) return false;
  const std::string flag_path = out_folder + "/" + ticket + ".rdy";
  if (WriteFile(flag_path, "")) return true;
  // The flag may exist empty after a failed close: it must not stay.
  (void)platform::RemoveFile(flag_path.c_str());
  return false;
}

std::optional<std::string> DownloadLine(std::string_view absolute_path) {
  if (absolute_path.size() < 2 || absolute_path.front() != '/') return std::nullopt;
  if (absolute_path.find('\\') != std::string_view::npos || HasControlBytes(absolute_path)) {
    return std::nullopt;
  }
  std::string line = "\\\\";
  for (char c : absolute_path.substr(1)) line.push_back(c == '/' ? '\\' : c);
  if (line.size() > kMaxDownloadLine) return std::nullopt;
  return line;
}

}  // namespace backend_kit
