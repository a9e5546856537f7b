// The pieces a file part is sent in: read at their offsets into one bounded
// buffer and, for an encoded part, encoded one piece at a time. The one piece
// loop behind both ways of sending a response, writes that wait and writes
// that complete later.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "gateway/request_context.h"

namespace gateway {

class FilePieces {
 public:
  // Largest piece handed to one write: raw bytes, or an encoded piece's text.
  static constexpr std::uint32_t kMaxPiece = 64 * 1024;

  // Takes the part over (its file closes with this object at the latest).
  explicit FilePieces(RequestContext::FileBody part);
  FilePieces(const FilePieces&) = delete;
  FilePieces& operator=(const FilePieces&) = delete;

  enum class Step {
    kPiece,   // `piece` holds the next bytes to write
    kDone,    // the whole part has been handed out; the file is closed
    kFailed,  // no memory, or a raw part whose file ended early; closed
  };
  // The next piece, valid until the next call or the object's end.
  [[nodiscard]] Step Next(std::span<const unsigned char>& piece);

  // Closes the file and forgets what is left.
  void Drop();

 private:
  bool Reserve(std::uint32_t bytes);

  RequestContext::FileBody part_;
  std::uint64_t handed_out_ = 0;  // part bytes read so far
  std::unique_ptr<unsigned char[]> buffer_;
  std::uint32_t buffer_size_ = 0;
  std::string text_;  // an encoded piece
};

}  // namespace gateway
