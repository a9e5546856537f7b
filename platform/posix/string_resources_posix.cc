// POSIX has no resource section: the module's string table is this constant
// table, with the numbers the Windows build gives its resources.
#include "platform/string_resources.h"

namespace platform {

namespace {

struct StringResource {
  unsigned id;
  const char* text;
};

constexpr StringResource kStringTable[] = {
    {kExtensionDescriptionId, "DudarOvuvadu Extension"},
};

}  // namespace

const char* LoadStringResource(unsigned id) {
  for (const StringResource& entry : kStringTable) {
    if (entry.id == id) return entry.text;
  }
  return nullptr;
}

}  // namespace platform
