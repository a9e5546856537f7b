// Server variables of one request and their copy into an extension's buffer.
#include "hosts/server_variables.h"

#include <cerrno>
#include <cstring>
#include <limits>

#include "text/ascii.h"

namespace hosts {

namespace {

std::string HeaderVariableName(std::string_view header) {
  std::string name = "HTTP_";
  for (char c : header) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 0x20);
    if (c == '-') c = '_';
    name.push_back(c);
  }
  return name;
}

std::string HostNameOf(std::string_view host) {
  std::string_view name = host;
  if (!name.empty() && name.front() == '[') {
    const std::size_t close = name.find(']');
    if (close == std::string_view::npos) return {};
    name = name.substr(0, close + 1);
  } else if (const std::size_t colon = name.find(':'); colon != std::string_view::npos) {
    name = name.substr(0, colon);
  }
  if (name.empty() || name.size() > 255) return {};
  for (char c : name) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    c == '-' || c == '.' || c == '_' || c == '[' || c == ']' || c == ':';
    if (!ok) return {};
  }
  return std::string(name);
}

}  // namespace

std::string ServerNameOf(std::string_view host_header, std::string_view local_addr) {
  std::string name = HostNameOf(host_header);
  if (!name.empty()) return name;
  if (local_addr.find(':') != std::string_view::npos) return "[" + std::string(local_addr) + "]";
  return std::string(local_addr);
}

void ServerVariables::SetRequestVariables(const RequestFacts& facts) {
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
  const std::string variable = HeaderVariableName(name);
  all_http_ += variable;
  all_http_ += ':';
  all_http_ += value;
  all_http_ += '\n';
  for (auto& [existing, old_value] : variables_) {
    if (text::EqualsIgnoringAsciiCase(existing, variable)) {
      old_value += ", ";
      old_value += value;
      return;
    }
  }
  variables_.emplace_back(variable, std::string(value));
}

const std::string* ServerVariables::Find(std::string_view name) const {
  if (text::EqualsIgnoringAsciiCase(name, "ALL_HTTP")) return &all_http_;
  for (const auto& [existing, value] : variables_) {
    if (text::EqualsIgnoringAsciiCase(existing, name)) return &value;
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
