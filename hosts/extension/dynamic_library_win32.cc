// Windows: extension modules are DLLs opened with LoadLibraryA, their entry
// points found with GetProcAddress by their undecorated names.
#include <windows.h>

#include "hosts/extension/dynamic_library.h"

namespace hosts {

namespace {

// The system's message for `code`, without its line end.
std::string SystemMessage(DWORD code) {
  char* text = nullptr;
  const DWORD length = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string message = length != 0 && text != nullptr ? std::string(text, length) : std::string();
  if (text != nullptr) LocalFree(text);
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r')) {
    message.pop_back();
  }
  return message;
}

}  // namespace

LibraryHandle OpenLibrary(const std::string& path, std::string* error) {
  HMODULE module = LoadLibraryA(path.c_str());
  if (module == nullptr) {
    const DWORD code = GetLastError();
    *error = "cannot load " + path + " (error " + std::to_string(code) + ": " +
             SystemMessage(code) + ")";
  }
  return reinterpret_cast<LibraryHandle>(module);
}

void* LibraryFunction(LibraryHandle library, const char* name) {
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}

void CloseLibrary(LibraryHandle library) { FreeLibrary(static_cast<HMODULE>(library)); }

}  // namespace hosts
