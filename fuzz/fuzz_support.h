// What the request-level fuzz targets share: one temporary install root for
// the whole run, emptied before every input so each input runs alone, and
// the reading of an input as lines followed by the rest.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "tests/harness/temp_dir.h"

namespace fuzzing {

// The install root of this process, with the six spool directories.
harness::SpoolRoot& Root();

// Empties the install root for the next input (the spool directories stay,
// empty) and makes it the working directory while the input runs, so names
// relative to the working directory (a drive path such as c:\dl\a.pdf opens
// c:/dl/a.pdf on POSIX) stay inside it. libFuzzer's own paths are relative
// to the directory it was started in, which comes back when this ends.
class InputScope {
 public:
  InputScope();
  ~InputScope();
  InputScope(const InputScope&) = delete;
  InputScope& operator=(const InputScope&) = delete;

 private:
  int previous_directory_;
};

// An input read front to back.
class InputReader {
 public:
  InputReader(const std::uint8_t* data, std::size_t size)
      : rest_(reinterpret_cast<const char*>(data), size) {}

  // The text up to the next LF (not included); all the rest when there is
  // none.
  std::string Line();
  // One byte as a number (0 once the input is used up).
  unsigned Byte();
  // Everything not read yet.
  std::string Rest();

 private:
  std::string_view rest_;
};

}  // namespace fuzzing
