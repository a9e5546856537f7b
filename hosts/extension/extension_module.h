// A loaded extension module: opened as a web server opens one, asked for its
// version once, called per request, told to terminate and unloaded once.
#pragma once

#include <memory>
#include <string>

#include "dudarovuvadu/httpext.h"

namespace hosts {

class ExtensionModule {
 public:
  // Opens the module file and calls GetExtensionVersion. Nothing, with the
  // reason in *error, when the file cannot be opened, lacks an entry point or
  // refuses to load (the module is then unloaded again).
  static std::unique_ptr<ExtensionModule> Load(const std::string& path, std::string* error);

  // Unloads (after TerminateExtension) if Unload() was not called.
  ~ExtensionModule();
  ExtensionModule(const ExtensionModule&) = delete;
  ExtensionModule& operator=(const ExtensionModule&) = delete;

  const std::string& path() const { return path_; }
  DWORD version() const { return version_; }
  // "4.0" from the version number's high and low halves.
  std::string VersionText() const;
  const std::string& description() const { return description_; }
  PFN_HTTPEXTENSIONPROC http_extension_proc() const { return proc_; }

  // Calls TerminateExtension and closes the module; its result, or true when
  // already unloaded. No request may be inside the module.
  bool Unload();

 private:
  ExtensionModule() = default;

  std::string path_;
  void* handle_ = nullptr;
  PFN_HTTPEXTENSIONPROC proc_ = nullptr;
  PFN_TERMINATEEXTENSION terminate_ = nullptr;
  DWORD version_ = 0;
  std::string description_;
};

}  // namespace hosts
