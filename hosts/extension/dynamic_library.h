// The system's loader for extension modules: a shared object opened with
// dlopen on POSIX, a DLL with LoadLibraryA on Windows, one file per system.
#pragma once

#include <string>

namespace hosts {

// An opened library, or null.
using LibraryHandle = void*;

// Opens the library file `path`: null, with the loader's reason in *error,
// when it cannot be loaded.
LibraryHandle OpenLibrary(const std::string& path, std::string* error);

// The address of the exported function `name`, or null.
void* LibraryFunction(LibraryHandle library, const char* name);

// Unloads the library; its handle is no longer valid.
void CloseLibrary(LibraryHandle library);

}  // namespace hosts
