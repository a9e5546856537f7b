// The request's texts the control block hands an extension, each terminated
// with a zero, in one buffer that the request owns.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

namespace hosts {

// The extension may write into these texts (it trims and splits the query
// string in place), so they share no storage with the server variables.
class RequestTexts {
 public:
  enum Part : std::size_t { kMethod, kQuery, kPathInfo, kPathTranslated, kContentType, kParts };
  struct Values {
    std::string_view method{};
    std::string_view query{};            // raw bytes after the first "?", not decoded
    std::string_view path_info{};        // the URL path
    std::string_view path_translated{};  // no file system mapping: empty
    std::string_view content_type{};
  };

  RequestTexts() : RequestTexts(Values{}) {}
  explicit RequestTexts(const Values& values);

  // A text as it was given.
  std::string_view operator[](Part part) const {
    return std::string_view(buffer_).substr(starts_[part], starts_[part + 1] - starts_[part] - 1);
  }
  // The text, terminated, where the extension may write into it; valid while
  // these texts are neither changed nor moved.
  char* data(Part part) { return buffer_.data() + starts_[part]; }

 private:
  std::string buffer_;
  // Where each text starts, and one past the last terminator.
  std::array<std::size_t, kParts + 1> starts_{};
};

}  // namespace hosts
