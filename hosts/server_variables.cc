// Server variables of one request and their copy into an extension's buffer.
#include "hosts/server_variables.h"

#include <cerrno>
#include <cstring>
#include <limits>

#include "hosts/host_name.h"
#include "text/ascii.h"

namespace hosts {

namespace {

// Whether `header` is served as the variable `variable` ("HTTP_" + the
// name in capitals, "-" as "_").
bool ServedAs(std::string_view header, std::string_view variable) {
  constexpr std::string_view kPrefix = "HTTP_";
  if (variable.size() != kPrefix.size() + header.size()) return false;
  if (!text::EqualsIgnoringAsciiCase(variable.substr(0, kPrefix.size()), kPrefix)) return false;
  for (std::size_t i = 0; i < header.size(); ++i) {
    const char served = header[i] == '-' ? '_' : text::AsciiLower(header[i]);
    if (served != text::AsciiLower(variable[kPrefix.size() + i])) return false;
  }
  return true;
}

void AppendVariableName(std::string& out, std::string_view header) {
  out += "HTTP_";
  for (char c : header) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 0x20);
    if (c == '-') c = '_';
    out.push_back(c);
  }
}

}  // namespace

std::string ServerNameOf(std::string_view host_header, std::string_view local_addr) {
  if (std::optional<Authority> authority = ParseAuthority(host_header)) {
    return std::move(authority->name);
  }
  if (local_addr.find(':') != std::string_view::npos) return "[" + std::string(local_addr) + "]";
  return std::string(local_addr);
}

void ServerVariables::SetRequestVariables(const RequestFacts& facts) {
  variables_.reserve(variables_.size() + 18);
  Set("REMOTE_ADDR", std::string(facts.remote_addr));
  Set("REMOTE_HOST", std::string(facts.remote_addr));
  Set("REMOTE_PORT", std::string(facts.remote_port));
  Set("LOCAL_ADDR", std::string(facts.local_addr));
  Set("SERVER_NAME", std::string(facts.server_name));
  Set("SERVER_PORT", std::string(facts.server_port));
  Set("SERVER_PORT_SECURE", facts.tls ? "1" : "0");
  Set("HTTPS", facts.tls ? "on" : "off");
  Set("SERVER_PROTOCOL", std::string(facts.protocol));
  Set("SERVER_SOFTWARE", std::string(facts.software));
  Set("GATEWAY_INTERFACE", "CGI/1.1");
  Set("REQUEST_METHOD", std::string(facts.method));
  Set("SCRIPT_NAME", std::string(facts.script_name));
  Set("URL", std::string(facts.path));
  Set("PATH_INFO", std::string(facts.path));
  Set("PATH_TRANSLATED", "");
  Set("QUERY_STRING", std::string(facts.query));
  Set("CONTENT_TYPE", std::string(facts.content_type));
}

void ServerVariables::Set(std::string_view name, std::string value) {
  for (auto& [existing, old_value] : variables_) {
    if (text::EqualsIgnoringAsciiCase(existing, name)) {
      old_value = std::move(value);
      return;
    }
  }
  variables_.emplace_back(std::string(name), std::move(value));
}

void ServerVariables::AddRequestHeader(std::string_view name, std::string_view value) {
  if (name.find('_') != std::string_view::npos) return;
  Header header{header_text_.size(), name.size(), header_text_.size() + name.size(), value.size()};
  header_text_.append(name);
  header_text_.append(value);
  headers_.push_back(header);
}

const std::string* ServerVariables::FindHeaderVariable(std::string_view name) const {
  if (text::EqualsIgnoringAsciiCase(name, "ALL_HTTP")) {
    std::string all;
    for (const Header& header : headers_) {
      AppendVariableName(all, NameOf(header));
      all += ':';
      all += ValueOf(header);
      all += '\n';
    }
    return &built_.emplace_back(std::move(all));
  }
  std::string* joined = nullptr;
  for (const Header& header : headers_) {
    if (!ServedAs(NameOf(header), name)) continue;
    if (joined == nullptr) {
      joined = &built_.emplace_back(ValueOf(header));
    } else {
      *joined += ", ";
      *joined += ValueOf(header);
    }
  }
  return joined;
}

const std::string* ServerVariables::Find(std::string_view name) const {
  for (const auto& [existing, value] : variables_) {
    if (text::EqualsIgnoringAsciiCase(existing, name)) return &value;
  }
  return FindHeaderVariable(name);
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
