// Hermetic file trees for tests: a fresh directory per test, removed with
// everything in it when the test ends.
#pragma once

#include <string>

namespace harness {

// `path` with each "/" written as the platform's separator: tests name
// files with "/", the module writes paths with its own separator.
std::string NativePath(std::string path);

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  // path() + separator + relative, each "/" in `relative` written as the
  // platform's separator.
  std::string Path(const std::string& relative) const;

  // Writes `bytes` to `relative` exactly as given (parent must exist).
  void WriteFile(const std::string& relative, const std::string& bytes) const;
  // The file's bytes, or nullopt-like empty with exists=false.
  std::string ReadFile(const std::string& relative) const;
  bool Exists(const std::string& relative) const;
  void MakeDir(const std::string& relative) const;

 private:
  std::string path_;
};

// A temporary install root with the six spool directories, installed as the
// module's directory: the module path is overridden to the module file in it
// so the pointer-file lookup happens here, and with no pointer file the root
// is this directory. Restores the override when it ends.
class SpoolRoot : public TempDir {
 public:
  SpoolRoot();
  ~SpoolRoot();
};

}  // namespace harness
