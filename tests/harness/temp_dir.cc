// Temporary directories and install roots for tests.
#include "tests/harness/temp_dir.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>

#include "platform/module_path.h"

namespace harness {

TempDir::TempDir() {
  // The system's temporary folder (TMPDIR, else /tmp, on POSIX), and a name
  // nobody else holds: creating the directory fails when it exists.
  const std::filesystem::path base = std::filesystem::temp_directory_path();
  std::random_device seed;
  std::mt19937_64 random(seed());
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string name = "dudarovuvadu-test-" + std::to_string(random() % 1000000000000u);
    const std::filesystem::path candidate = base / name;
    std::error_code error;
    if (std::filesystem::create_directory(candidate, error)) {
      path_ = candidate.string();
      return;
    }
  }
  throw std::runtime_error("cannot create a temporary directory");
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string NativePath(std::string path) {
  for (char& c : path) {
    if (c == '/') c = platform::kPathSeparator;
  }
  return path;
}

std::string TempDir::Path(const std::string& relative) const {
  return path_ + platform::kPathSeparator + NativePath(relative);
}

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
