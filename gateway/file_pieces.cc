// Reading a file part piece by piece: raw parts must be read whole (their
// length is announced), encoded parts are completed with zero bytes.
#include "gateway/file_pieces.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

namespace gateway {

FilePieces::FilePieces(RequestContext::FileBody part) : part_(std::move(part)) {}

void FilePieces::Drop() { part_ = RequestContext::FileBody(); }

bool FilePieces::Reserve(std::uint32_t bytes) {
  if (buffer_ != nullptr) return true;
  buffer_.reset(new (std::nothrow) unsigned char[bytes]);
  buffer_size_ = buffer_ != nullptr ? bytes : 0;
  return buffer_ != nullptr;
}

FilePieces::Step FilePieces::Next(std::span<const unsigned char>& piece) {
  if (!part_.file.is_open() || handed_out_ >= part_.length) {
    Drop();
    return Step::kDone;
  }
  const RequestContext::PieceEncoding* encoding = part_.encoding;
  const std::uint32_t piece_bytes = encoding != nullptr ? encoding->piece_bytes : kMaxPiece;
  const auto want =
      static_cast<std::uint32_t>(std::min<std::uint64_t>(part_.length - handed_out_, piece_bytes));
  if (!Reserve(static_cast<std::uint32_t>(std::min<std::uint64_t>(part_.length, piece_bytes)))) {
    Drop();
    return Step::kFailed;
  }
  const auto at = static_cast<std::int64_t>(part_.offset + handed_out_);
  if (encoding == nullptr) {
    // A file that shrank or failed to read cannot give what the length
    // header announced.
    if (part_.file.ReadAt(buffer_.get(), want, at) != want) {
      Drop();
      return Step::kFailed;
    }
    handed_out_ += want;
    piece = {buffer_.get(), want};
    return Step::kPiece;
  }
  // Past the end of the file the part counts as zero bytes.
  std::memset(buffer_.get(), 0, want);
  (void)part_.file.ReadAt(buffer_.get(), want, at);
  handed_out_ += want;
  try {
    text_.clear();
    encoding->encode({buffer_.get(), want}, text_);
  } catch (const std::bad_alloc&) {
    Drop();
    return Step::kFailed;
  }
  piece = {reinterpret_cast<const unsigned char*>(text_.data()), text_.size()};
  return Step::kPiece;
}

}  // namespace gateway
