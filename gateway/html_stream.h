// HtmlStream: the growable in-memory byte buffer a response is built in.
// Headers are written first, then the body; the content may hold zero bytes.
// The buffer grows in whole growth steps (4096 bytes for every stream here).
// Writes only append: the next byte always goes at the end, after size().
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string_view>

namespace gateway {

// Raised when a stream cannot grow (no memory, closed stream, 4 GiB reached).
// The request cycle catches it and answers 500.
class StreamError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

inline constexpr std::uint32_t kStreamGrowthStep = 4096;

class HtmlStream {
 public:
  explicit HtmlStream(std::uint32_t growth_step = kStreamGrowthStep);
  virtual ~HtmlStream();
  HtmlStream(const HtmlStream&) = delete;
  HtmlStream& operator=(const HtmlStream&) = delete;

  virtual void Abort();
  // Frees the buffer (if owned) and sets every count, the growth step
  // included, to 0: a later write that needs room raises StreamError.
  virtual void Close();
  // Called just before a command handler runs; does nothing.
  virtual void Prepare();
  // Empties the stream; the buffer and capacity stay.
  virtual void Reset();
  virtual void Write(const void* bytes, std::uint32_t count);
  virtual unsigned char* Allocate(std::uint32_t count);
  virtual unsigned char* Reallocate(unsigned char* buffer, std::uint32_t count);
  virtual void CopyBytes(unsigned char* target, const void* source, std::uint32_t count);
  virtual void Grow(std::uint32_t needed);
  // Gives back a buffer that this stream allocated (also one from Detach).
  virtual void Release(unsigned char* buffer);

  void WriteText(std::string_view text);
  void Append(const HtmlStream& other);
  // Hands the buffer, followed by one zero byte, to the caller (who gives it
  // back with Release) and empties the stream; nullptr when nothing was
  // written. Read size() first: the terminator is not part of the content.
  unsigned char* Detach();

  std::uint32_t size() const { return size_; }
  std::uint32_t capacity() const { return capacity_; }
  std::uint32_t growth_step() const { return growth_step_; }
  const unsigned char* data() const { return buffer_; }
  std::string_view view() const {
    return buffer_ ? std::string_view(reinterpret_cast<const char*>(buffer_), size_)
                   : std::string_view();
  }

 private:
  std::uint32_t size_ = 0;
  std::uint32_t growth_step_;
  std::uint32_t capacity_ = 0;
  unsigned char* buffer_ = nullptr;
  bool owns_buffer_ = true;
};

}  // namespace gateway
