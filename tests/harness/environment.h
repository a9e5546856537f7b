// Sets an environment variable for one scope and puts back what was there.
#pragma once

#include <cstdlib>
#include <optional>
#include <string>
#include <utility>

namespace harness {

class ScopedEnvironment {
 public:
  // Sets `name` to `value`; an empty value removes the variable.
  ScopedEnvironment(std::string name, const std::string& value) : name_(std::move(name)) {
    if (const char* old = std::getenv(name_.c_str())) saved_ = old;
    Set(value);
  }
  ~ScopedEnvironment() { Set(saved_.value_or("")); }
  ScopedEnvironment(const ScopedEnvironment&) = delete;
  ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

 private:
  void Set(const std::string& value) const {
#ifdef _WIN32
    _putenv_s(name_.c_str(), value.c_str());
#else
    if (value.empty()) {
      unsetenv(name_.c_str());
    } else {
      setenv(name_.c_str(), value.c_str(), 1);
    }
#endif
  }

  std::string name_;
  std::optional<std::string> saved_;
};

}  // namespace harness
