// RequestContext: server variables through the host's callback, and the
// request text's received and trimmed extents.
#include "gateway/request_context.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

namespace gateway {

bool RequestContext::ReadServerVariable(const char* name, char* buffer, std::uint32_t* size) {
  if (request_ == nullptr || request_->GetServerVariable == nullptr || size == nullptr) {
    return false;
  }
  // The callback takes a non-const name, as the published interface has it.
  std::vector<char> name_copy(name, name + std::strlen(name) + 1);
  // DWORD is 32 bits wide everywhere, but not the same type as uint32_t.
  DWORD callback_size = *size;
  const bool ok =
      request_->GetServerVariable(request_->ConnID, name_copy.data(), buffer, &callback_size) != 0;
  *size = static_cast<std::uint32_t>(callback_size);
  return ok;
}

std::string RequestContext::ServerVariable(const char* name, std::uint32_t capacity) {
  if (capacity == 0) return {};
  std::vector<char> buffer(capacity, '\0');
  std::uint32_t size = capacity;
  if (!ReadServerVariable(name, buffer.data(), &size)) return {};
  // Trust only what fits the buffer and is terminated inside it.
  const void* terminator = std::memchr(buffer.data(), '\0', capacity);
  if (terminator == nullptr) return {};
  return std::string(buffer.data());
}

std::optional<std::uint32_t> RequestContext::OffsetInRequestText(const char* text) const {
  if (request_text_ == nullptr || text == nullptr) return std::nullopt;
  // Compared as addresses: `text` may belong to another buffer.
  const auto start = reinterpret_cast<std::uintptr_t>(request_text_);
  const auto at = reinterpret_cast<std::uintptr_t>(text);
  if (at < start || at - start > received_count_) return std::nullopt;
  return static_cast<std::uint32_t>(at - start);
}

std::string_view RequestContext::TrimmedFrom(const char* text) const {
  if (text == nullptr) return {};
  const std::optional<std::uint32_t> offset = OffsetInRequestText(text);
  if (!offset) return text;
  const std::string_view rest(text, *offset < trimmed_count_ ? trimmed_count_ - *offset : 0);
  return rest.substr(0, rest.find('\0'));
}

void RequestContext::EndRequestTextAt(std::uint32_t count) {
  if (request_text_ == nullptr || count > received_count_) return;
  request_text_[count] = '\0';
  trimmed_count_ = std::min(trimmed_count_, count);
}

}  // namespace gateway
