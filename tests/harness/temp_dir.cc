// Temporary directories and install roots for tests.
#include "tests/harness/temp_dir.h"

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <vector>

#include "platform/module_path.h"

namespace harness {

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern =
      std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/dudarovuvadu-test-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (mkdtemp(buffer.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = buffer.data();
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string TempDir::Path(const std::string& relative) const { return path_ + "/" + relative; }

void TempDir::WriteFile(const std::string& relative, const std::string& bytes) const {
  std::ofstream out(Path(relative), std::ios::binary | std::ios::trunc);
  if (!out) throw std::runtime_error("cannot write " + Path(relative));
  out << bytes;
}

std::string TempDir::ReadFile(const std::string& relative) const {
  std::ifstream in(Path(relative), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool TempDir::Exists(const std::string& relative) const {
  return std::filesystem::exists(Path(relative));
}

void TempDir::MakeDir(const std::string& relative) const {
  std::filesystem::create_directories(Path(relative));
}

SpoolRoot::SpoolRoot() {
  for (const char* directory : {"in", "out", "traces", "post", "rights", "events"}) {
    MakeDir(directory);
  }
  platform::testing::OverrideModulePath(Path(platform::kModuleFileName));
}

SpoolRoot::~SpoolRoot() { platform::testing::ClearModulePathOverride(); }

}  // namespace harness
