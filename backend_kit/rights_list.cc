// Rights lists read and replaced whole.

#include "backend_kit/rights_list.h"

#include "backend_kit/escapes.h"
#include "backend_kit/spool_text.h"

namespace backend_kit {

namespace {

std::string ListPath(const std::string& rights_folder, const std::string& logon) {
  return rights_folder + "/~" + logon + ".lst";
}

}  // namespace

bool LogonUsableInFileName(std::string_view logon) {
  // "~" + logon + ".lst" must be one file name of at most 255 bytes.
  return logon.size() <= 250 && logon.find('/') == std::string_view::npos &&
         !HasControlBytes(logon);
}

std::vector<std::string> ReadRights(const std::string& rights_folder, const std::string& logon) {
  if (!LogonUsableInFileName(logon)) return {};
  // A list of many entries of the longest kind stays far below this.
  constexpr std::size_t kMaxListBytes = 64 * 1024 * 1024;
  const auto text = ReadSpoolText(ListPath(rights_folder, logon), kMaxListBytes);
  if (!text) return {};
  return SplitLines(*text);
}

RightsResult WriteRights(const std::string& rights_folder, const std::string& logon,
                         const std::vector<std::string>& entries) {
  if (!LogonUsableInFileName(logon)) return RightsResult::kNotAllowed;
  std::string text;
  for (const std::string& entry : entries) {
    // A line end or NUL would cut the entry where the module reads it.
    if (entry.size() > kMaxRightsEntryChars ||
        entry.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos) {
      return RightsResult::kNotAllowed;
    }
    text += entry;
    text += '\n';
  }
  return WriteFileAtomically(ListPath(rights_folder, logon), ToSpoolText(text))
             ? RightsResult::kOk
             : RightsResult::kIoError;
}

}  // namespace backend_kit
