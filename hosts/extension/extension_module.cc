// Loading an extension module with the system's loader, by its three entry
// points only: the host knows nothing else of what it loads.
#include "hosts/extension/extension_module.h"

#include <cstring>

#include "hosts/extension/dynamic_library.h"

namespace hosts {

namespace {

// TerminateExtension flag: the server is unloading the module.
constexpr DWORD kTerminateMustUnload = 1;

template <typename Function>
Function Symbol(LibraryHandle library, const char* name) {
  return reinterpret_cast<Function>(LibraryFunction(library, name));
}

}  // namespace

std::unique_ptr<ExtensionModule> ExtensionModule::Load(const std::string& path,
                                                       std::string* error) {
  LibraryHandle handle = OpenLibrary(path, error);
  if (handle == nullptr) return nullptr;
  std::unique_ptr<ExtensionModule> module(new ExtensionModule());
  module->path_ = path;
  module->handle_ = handle;
  auto get_version = Symbol<PFN_GETEXTENSIONVERSION>(handle, "GetExtensionVersion");
  module->proc_ = Symbol<PFN_HTTPEXTENSIONPROC>(handle, "HttpExtensionProc");
  module->terminate_ = Symbol<PFN_TERMINATEEXTENSION>(handle, "TerminateExtension");
  if (get_version == nullptr || module->proc_ == nullptr || module->terminate_ == nullptr) {
    *error = path + " is not an extension module (an entry point is missing)";
    module->terminate_ = nullptr;  // never started: close without terminating
    return nullptr;
  }
  HSE_VERSION_INFO info{};
  if (get_version(&info) == FALSE) {
    *error = path + " refused to load (GetExtensionVersion failed)";
    return nullptr;  // unloaded after TerminateExtension, as a server does
  }
  module->version_ = info.dwExtensionVersion;
  // The description need not be terminated inside its 256 bytes.
  module->description_.assign(info.lpszExtensionDesc,
                              strnlen(info.lpszExtensionDesc, sizeof info.lpszExtensionDesc));
  return module;
}

ExtensionModule::~ExtensionModule() { Unload(); }

std::string ExtensionModule::VersionText() const {
  return std::to_string(version_ >> 16) + "." + std::to_string(version_ & 0xFFFF);
}

bool ExtensionModule::Unload() {
  if (handle_ == nullptr) return true;
  const bool terminated = terminate_ == nullptr || terminate_(kTerminateMustUnload) != FALSE;
  CloseLibrary(handle_);
  handle_ = nullptr;
  proc_ = nullptr;
  terminate_ = nullptr;
  return terminated;
}

}  // namespace hosts
