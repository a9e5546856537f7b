// The body copy shared by PostCommand and StoreData.
#include "commands/posted_body.h"

#include <algorithm>
#include <new>

namespace commands {

std::optional<std::string> PostedBodyCopy(const char* body, std::uint32_t count) {
  if (body == nullptr || count == 0) return std::string();
  try {
    std::string copy(body, count);
    std::replace(copy.begin(), copy.end(), '\0', '|');
    return copy;
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  }
}

}  // namespace commands
