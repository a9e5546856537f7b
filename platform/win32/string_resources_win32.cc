// Windows: the module's string table, read with LoadStringA from the module
// that holds this code (the DLL, or a program that links it).
#include <windows.h>

#include <map>
#include <mutex>
#include <string>

#include "platform/string_resources.h"

namespace platform {

namespace {

HMODULE OwnModule() {
  HMODULE module = nullptr;
  if (!GetModuleHandleExA(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          reinterpret_cast<LPCSTR>(&OwnModule), &module)) {
    return nullptr;
  }
  return module;
}

}  // namespace

const char* LoadStringResource(unsigned id) {
  // Texts are loaded once and kept, so the pointer stays valid for the
  // module's lifetime, as the POSIX table's texts do.
  static std::mutex mutex;
  static std::map<unsigned, std::string> loaded;
  std::lock_guard<std::mutex> lock(mutex);
  if (const auto found = loaded.find(id); found != loaded.end()) return found->second.c_str();
  char buffer[1024];
  const int length = LoadStringA(OwnModule(), id, buffer, static_cast<int>(sizeof buffer));
  if (length <= 0) return nullptr;
  return loaded.emplace(id, std::string(buffer, static_cast<std::size_t>(length)))
      .first->second.c_str();
}

}  // namespace platform
