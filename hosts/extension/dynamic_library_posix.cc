// POSIX: extension modules are shared objects opened with dlopen, each with
// symbols of its own (RTLD_LOCAL), every symbol bound at once (RTLD_NOW).
#include <dlfcn.h>

#include "hosts/extension/dynamic_library.h"

namespace hosts {

LibraryHandle OpenLibrary(const std::string& path, std::string* error) {
  // A name without a slash would be searched on the library path instead of
  // being the file given.
  const std::string file = path.find('/') == std::string::npos ? "./" + path : path;
  void* handle = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* reason = dlerror();
    *error = reason != nullptr ? reason : "cannot open " + path;
  }
  return handle;
}

void* LibraryFunction(LibraryHandle library, const char* name) { return dlsym(library, name); }

void CloseLibrary(LibraryHandle library) { dlclose(library); }

}  // namespace hosts
