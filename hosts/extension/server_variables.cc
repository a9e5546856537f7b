// Server variables of one request and their copy into an extension's buffer.
#include "hosts/extension/server_variables.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <iterator>
#include <limits>

#include "hosts/extension/host_name.h"
#include "text/ascii.h"

namespace hosts {

namespace {

// What SetRequestVariables sets.
constexpr std::size_t kRequestVariables = 18;
// The most digits a length has (2^64 - 1).
constexpr std::size_t kContentLengthDigits = 20;
// Room for the values a trusted proxy's report replaces (client address,
// scheme, server name and port), so that they too usually fit.
constexpr std::size_t kForwardedAllowance = 128;

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

void ServerVariables::ReserveForRequest(const RequestFacts& facts, std::size_t headers,
                                        std::size_t header_bytes) {
  entries_.reserve(entries_.size() + kRequestVariables + 1 + headers);
  std::size_t bytes = header_bytes + kContentLengthDigits + kForwardedAllowance;
  for (std::string_view fact :
       {facts.remote_addr, facts.remote_port, facts.local_addr, facts.server_name,
        facts.server_port, facts.protocol, facts.software, facts.method, facts.script_name,
        facts.path, facts.query, facts.content_type}) {
    bytes += fact.size();
  }
  text_.Reserve(bytes);
}

void ServerVariables::SetRequestVariables(const RequestFacts& facts) {
  entries_.reserve(entries_.size() + kRequestVariables);
  // On variables holding only headers (as every host builds them) each is
  // appended, without looking for one to replace.
  const bool fresh = std::none_of(entries_.begin(), entries_.end(),
                                  [](const Entry& entry) { return !entry.header; });
  const auto set = [this, fresh](std::string_view name, std::string_view value) {
    if (fresh) return entries_.push_back(Entry{name, value, false});
    SetKept(name, value);
  };
  const std::string_view remote_addr = text_.Keep(facts.remote_addr);
  const std::string_view path = text_.Keep(facts.path);
  set("REMOTE_ADDR", remote_addr);
  set("REMOTE_HOST", remote_addr);
  set("REMOTE_PORT", text_.Keep(facts.remote_port));
  set("LOCAL_ADDR", text_.Keep(facts.local_addr));
  set("SERVER_NAME", text_.Keep(facts.server_name));
  set("SERVER_PORT", text_.Keep(facts.server_port));
  set("SERVER_PORT_SECURE", facts.tls ? "1" : "0");
  set("HTTPS", facts.tls ? "on" : "off");
  set("SERVER_PROTOCOL", text_.Keep(facts.protocol));
  set("SERVER_SOFTWARE", text_.Keep(facts.software));
  set("GATEWAY_INTERFACE", "CGI/1.1");
  set("REQUEST_METHOD", text_.Keep(facts.method));
  set("SCRIPT_NAME", text_.Keep(facts.script_name));
  set("URL", path);
  set("PATH_INFO", path);
  set("PATH_TRANSLATED", "");
  set("QUERY_STRING", text_.Keep(facts.query));
  set("CONTENT_TYPE", text_.Keep(facts.content_type));
}

void ServerVariables::SetContentLength(std::uint64_t length) {
  char digits[kContentLengthDigits];
  const std::to_chars_result end = std::to_chars(std::begin(digits), std::end(digits), length);
  SetKept("CONTENT_LENGTH", text_.Keep(std::string_view(digits, end.ptr)));
}

ServerVariables::Entry* ServerVariables::FindVariable(std::string_view name) {
  for (Entry& entry : entries_) {
    if (!entry.header && text::EqualsIgnoringAsciiCase(entry.name, name)) return &entry;
  }
  return nullptr;
}

void ServerVariables::SetKept(std::string_view name, std::string_view value) {
  if (Entry* entry = FindVariable(name)) {
    entry->value = value;  // the old value's bytes stay, unused
    return;
  }
  entries_.push_back(Entry{name, value, false});
}

void ServerVariables::Set(std::string_view name, std::string_view value) {
  const std::string_view kept = text_.Keep(value);
  if (Entry* entry = FindVariable(name)) {
    entry->value = kept;
    return;
  }
  entries_.push_back(Entry{text_.Keep(name), kept, false});
}

void ServerVariables::AddRequestHeader(std::string_view name, std::string_view value) {
  if (name.find('_') != std::string_view::npos) return;
  entries_.push_back(Entry{text_.Keep(name), text_.Keep(value), true});
}

const std::string_view* ServerVariables::KeepBuilt(std::string text) const {
  Built& built = built_.emplace_front();
  built.text = std::move(text);
  built.view = built.text;
  return &built.view;
}

const std::string_view* ServerVariables::FindHeaderVariable(std::string_view name) const {
  if (text::EqualsIgnoringAsciiCase(name, "ALL_HTTP")) {
    std::string all;
    for (const Entry& header : entries_) {
      if (!header.header) continue;
      AppendVariableName(all, header.name);
      all += ':';
      all += header.value;
      all += '\n';
    }
    return KeepBuilt(std::move(all));
  }
  std::string joined;
  bool found = false;
  for (const Entry& header : entries_) {
    if (!header.header || !ServedAs(header.name, name)) continue;
    if (found) joined += ", ";
    joined += header.value;
    found = true;
  }
  return found ? KeepBuilt(std::move(joined)) : nullptr;
}

const std::string_view* ServerVariables::Find(std::string_view name) const {
  for (const Entry& entry : entries_) {
    if (!entry.header && text::EqualsIgnoringAsciiCase(entry.name, name)) return &entry.value;
  }
  return FindHeaderVariable(name);
}

bool ServerVariables::CopyTo(const char* name, void* buffer, DWORD* size) const {
  if (name == nullptr || size == nullptr) {
    errno = EINVAL;
    return false;
  }
  const std::string_view* value = Find(name);
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
