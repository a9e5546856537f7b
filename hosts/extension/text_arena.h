// Text kept for the life of its owner in few allocations: one block reserved
// up front for what is expected, further blocks only when that runs out.
#pragma once

#include <cstddef>
#include <forward_list>
#include <memory>
#include <string_view>

namespace hosts {

// Bytes kept here never move, not even when the arena itself is moved, so a
// view of them stays valid until the arena is destroyed.
class TextArena {
 public:
  TextArena() = default;
  TextArena(const TextArena&) = delete;
  TextArena& operator=(const TextArena&) = delete;
  // A moved-from arena is empty and can be used again.
  TextArena(TextArena&& other) noexcept;
  TextArena& operator=(TextArena&& other) noexcept;

  // Makes room for `bytes` more bytes, so that keeping them takes no
  // further allocation.
  void Reserve(std::size_t bytes);
  // A copy of `text` (which may itself be kept here).
  std::string_view Keep(std::string_view text);

 private:
  // The block being filled; full ones are kept in `full_`.
  std::unique_ptr<char[]> block_;
  std::size_t capacity_ = 0;
  std::size_t used_ = 0;
  std::forward_list<std::unique_ptr<char[]>> full_;
};

}  // namespace hosts
