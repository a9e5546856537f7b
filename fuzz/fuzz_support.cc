// The shared install root and input reader of the request-level fuzz targets.
#include "fuzz/fuzz_support.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <set>

namespace fuzzing {

namespace {

const std::set<std::string> kSpoolDirectories = {"in", "out", "traces", "post", "rights", "events"};

}  // namespace

harness::SpoolRoot& Root() {
  static harness::SpoolRoot* const root = [] {
    auto* made = new harness::SpoolRoot();
    // The root outlives every input; remove it when the fuzzer exits.
    std::atexit([] { delete &Root(); });
    return made;
  }();
  return *root;
}

InputScope::InputScope() : previous_directory_(open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
  namespace fs = std::filesystem;
  const fs::path root = Root().path();
  for (const fs::directory_entry& entry : fs::directory_iterator(root)) {
    const std::string name = entry.path().filename().string();
    if (kSpoolDirectories.count(name) != 0) {
      for (const fs::directory_entry& inner : fs::directory_iterator(entry.path())) {
        fs::remove_all(inner.path());
      }
    } else {
      fs::remove_all(entry.path());
    }
  }
  if (previous_directory_ < 0 || chdir(root.c_str()) != 0) std::abort();
}

InputScope::~InputScope() {
  if (fchdir(previous_directory_) != 0) std::abort();
  close(previous_directory_);
}

std::string InputReader::Line() {
  const std::size_t end = rest_.find('\n');
  std::string line(rest_.substr(0, end));
  rest_.remove_prefix(end == std::string_view::npos ? rest_.size() : end + 1);
  return line;
}

unsigned InputReader::Byte() {
  if (rest_.empty()) return 0;
  const auto byte = static_cast<unsigned char>(rest_.front());
  rest_.remove_prefix(1);
  return byte;
}

std::string InputReader::Rest() {
  std::string rest(rest_);
  rest_ = {};
  return rest;
}

}  // namespace fuzzing
