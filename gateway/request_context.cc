// RequestContext: server variables through the host's callback.
#include "gateway/request_context.h"

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

void RequestContext::RestoreTrimmedTail() {
  if (request_text_ == nullptr || trimmed_tail_.empty()) return;
  std::memcpy(request_text_ + trimmed_at_, trimmed_tail_.data(), trimmed_tail_.size());
}

}  // namespace gateway
