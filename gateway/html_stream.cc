// HtmlStream: growth in whole steps, detach with a terminator, and the four
// memory operations that are the stream's only contact with the heap.
#include "gateway/html_stream.h"

#include <cstdlib>
#include <cstring>
#include <limits>

namespace gateway {

HtmlStream::HtmlStream(std::uint32_t growth_step) : growth_step_(growth_step) {}

HtmlStream::~HtmlStream() {
  if (buffer_ != nullptr) Close();
  size_ = capacity_ = 0;
}

void HtmlStream::Abort() { Close(); }

void HtmlStream::Close() {
  growth_step_ = 0;
  capacity_ = size_ = 0;
  if (buffer_ != nullptr && owns_buffer_) Release(buffer_);
  buffer_ = nullptr;
}

void HtmlStream::Prepare() {}

void HtmlStream::Reset() { size_ = 0; }

void HtmlStream::Write(const void* bytes, std::uint32_t count) {
  if (count == 0) return;
  if (count > std::numeric_limits<std::uint32_t>::max() - size_) {
    throw StreamError("response larger than 4 GiB");
  }
  const std::uint32_t end = size_ + count;
  if (end > capacity_) Grow(end);
  CopyBytes(buffer_ + size_, bytes, count);
  size_ = end;
}

unsigned char* HtmlStream::Allocate(std::uint32_t count) {
  return static_cast<unsigned char*>(std::malloc(count));
}

unsigned char* HtmlStream::Reallocate(unsigned char* buffer, std::uint32_t count) {
  return static_cast<unsigned char*>(std::realloc(buffer, count));
}

void HtmlStream::CopyBytes(unsigned char* target, const void* source, std::uint32_t count) {
  std::memmove(target, source, count);
}

void HtmlStream::Grow(std::uint32_t needed) {
  if (needed <= capacity_) return;
  if (growth_step_ == 0) throw StreamError("write to a closed stream");
  // The smallest whole number of steps that reaches `needed`.
  const std::uint64_t missing = needed - capacity_;
  const std::uint64_t steps = (missing + growth_step_ - 1) / growth_step_;
  const std::uint64_t new_capacity = capacity_ + steps * growth_step_;
  if (new_capacity > std::numeric_limits<std::uint32_t>::max()) {
    throw StreamError("response larger than 4 GiB");
  }
  const auto capacity = static_cast<std::uint32_t>(new_capacity);
  unsigned char* grown = buffer_ == nullptr ? Allocate(capacity) : Reallocate(buffer_, capacity);
  if (grown == nullptr) throw StreamError("out of memory for the response");
  buffer_ = grown;
  capacity_ = capacity;
}

void HtmlStream::Release(unsigned char* buffer) { std::free(buffer); }

void HtmlStream::WriteText(std::string_view text) {
  if (text.size() > std::numeric_limits<std::uint32_t>::max()) {
    throw StreamError("text larger than 4 GiB");
  }
  Write(text.data(), static_cast<std::uint32_t>(text.size()));
}

void HtmlStream::Append(const HtmlStream& other) {
  if (other.buffer_ != nullptr) Write(other.buffer_, other.size_);
}

unsigned char* HtmlStream::Detach() {
  unsigned char* detached = nullptr;
  if (buffer_ != nullptr) {
    const unsigned char terminator = 0;
    Write(&terminator, 1);
    detached = buffer_;
    buffer_ = nullptr;
  }
  size_ = capacity_ = 0;
  return detached;
}

}  // namespace gateway
