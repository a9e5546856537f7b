// Server variables of one request and their copy into an extension's buffer.
#include "hosts/server_variables.h"

#include <cerrno>
#include <cstring>
#include <limits>

namespace hosts {

namespace {

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]);
    unsigned char y = static_cast<unsigned char>(b[i]);
    if (x >= 'a' && x <= 'z') x = static_cast<unsigned char>(x - 0x20);
    if (y >= 'a' && y <= 'z') y = static_cast<unsigned char>(y - 0x20);
    if (x != y) return false;
  }
  return true;
}

std::string HeaderVariableName(std::string_view header) {
  std::string name = "HTTP_";
  for (char c : header) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 0x20);
    if (c == '-') c = '_';
    name.push_back(c);
  }
  return name;
}

}  // namespace

void ServerVariables::Set(std::string_view name, std::string value) {
  for (auto& [existing, old_value] : variables_) {
    if (EqualsIgnoringCase(existing, name)) {
      old_value = std::move(value);
      return;
    }
  }
  variables_.emplace_back(std::string(name), std::move(value));
}

void ServerVariables::AddRequestHeader(std::string_view name, std::string_view value) {
  const std::string variable = HeaderVariableName(name);
  all_http_ += variable;
  all_http_ += ':';
  all_http_ += value;
  all_http_ += '\n';
  for (auto& [existing, old_value] : variables_) {
    if (EqualsIgnoringCase(existing, variable)) {
      old_value += ", ";
      old_value += value;
      return;
    }
  }
  variables_.emplace_back(variable, std::string(value));
}

const std::string* ServerVariables::Find(std::string_view name) const {
  if (EqualsIgnoringCase(name, "ALL_HTTP")) return &all_http_;
  for (const auto& [existing, value] : variables_) {
    if (EqualsIgnoringCase(existing, name)) return &value;
  }
  return nullptr;
}

bool ServerVariables::CopyTo(const char* name, void* buffer, DWORD* size) const {
  if (name == nullptr || size == nullptr) {
    errno = EINVAL;
    return false;
  }
  const std::string* value = Find(name);
  if (value == nullptr) {
    errno = ENOENT;
    return false;
  }
  // Values come from request headers bounded by the server's header memory,
  // far below 4 GiB; refuse rather than wrap if one ever were not.
  if (value->size() >= std::numeric_limits<DWORD>::max()) {
    errno = ENOBUFS;
    *size = std::numeric_limits<DWORD>::max();
    return false;
  }
  const DWORD needed = static_cast<DWORD>(value->size() + 1);
  if (buffer == nullptr || *size < needed) {
    errno = ENOBUFS;
    *size = needed;
    return false;
  }
  std::memcpy(buffer, value->data(), value->size());
  static_cast<char*>(buffer)[value->size()] = '\0';
  *size = needed;
  return true;
}

}  // namespace hosts
