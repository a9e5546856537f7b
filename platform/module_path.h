// Where the running code came from: the module file it was loaded from and
// the host executable. The install root is found beside one of them.
#pragma once

#include <string>

namespace platform {

// File name under which the module is installed ("dudarovuvadu.so" on POSIX,
// "dudarovuvadu.dll" on Windows).
extern const char* const kModuleFileName;

// Path separator of spool paths on this platform ('/' on POSIX).
extern const char kPathSeparator;

// Install root used when neither a module nor a pointer file tells one.
extern const char* const kDefaultInstallRoot;

// Full path of the loaded module file, when this code runs inside a module
// whose file is named kModuleFileName. Empty when the code was loaded under
// another name or linked into an executable: the caller then falls back to
// the executable, as for a null module handle.
std::string LoadedModulePath();

// Full path of the host process's executable; empty if it cannot be told.
std::string ExecutablePath();

namespace testing {
// Makes LoadedModulePath() report `path` (empty: no module) until
// ClearModulePathOverride(). For tests that need their own install root.
void OverrideModulePath(const std::string& path);
void ClearModulePathOverride();
}  // namespace testing

}  // namespace platform
