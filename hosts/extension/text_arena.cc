// Text kept in few allocations, never moved once kept.
#include "hosts/extension/text_arena.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace hosts {

namespace {

// The least a block is made, so that small texts kept without a reserve do
// not cost an allocation each.
constexpr std::size_t kMinimumBlock = 256;

}  // namespace

TextArena::TextArena(TextArena&& other) noexcept
    : block_(std::move(other.block_)),
      capacity_(std::exchange(other.capacity_, 0)),
      used_(std::exchange(other.used_, 0)),
      full_(std::move(other.full_)) {
  other.full_.clear();
}

TextArena& TextArena::operator=(TextArena&& other) noexcept {
  if (this == &other) return *this;
  block_ = std::move(other.block_);
  capacity_ = std::exchange(other.capacity_, 0);
  used_ = std::exchange(other.used_, 0);
  full_ = std::move(other.full_);
  other.full_.clear();
  return *this;
}

void TextArena::Reserve(std::size_t bytes) {
  if (capacity_ - used_ >= bytes) return;
  // The block in use is retired, not grown: views of it must stay valid.
  if (block_ != nullptr) full_.push_front(std::move(block_));
  capacity_ = std::max(bytes, kMinimumBlock);
  block_ = std::make_unique_for_overwrite<char[]>(capacity_);
  used_ = 0;
}

std::string_view TextArena::Keep(std::string_view text) {
  if (text.empty()) return std::string_view("", 0);  // never a null pointer to copy from
  // A text kept here is still readable after Reserve retires its block.
  Reserve(text.size());
  char* kept = block_.get() + used_;
  std::memcpy(kept, text.data(), text.size());
  used_ += text.size();
  return {kept, text.size()};
}

}  // namespace hosts
