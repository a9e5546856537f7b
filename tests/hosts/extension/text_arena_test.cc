// Tests of the text arena: what it keeps never moves.
#include "hosts/extension/text_arena.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

namespace hosts {
namespace {

TEST(TextArenaTest, KeptTextOutlivesNewBlocksAndMoves) {
  const std::string large(1000, 'x');
  TextArena arena;
  arena.Reserve(large.size());
  const std::string_view first = arena.Keep(large);  // fills the block
  // Kept from the arena itself as the block it is in is retired.
  const std::string_view copy = arena.Keep(first);
  const std::string_view small = arena.Keep("portal");
  TextArena moved = std::move(arena);
  const std::string_view after = moved.Keep("after");
  EXPECT_EQ(first, large);
  EXPECT_EQ(copy, large);
  EXPECT_EQ(small, "portal");
  EXPECT_EQ(after, "after");
  EXPECT_EQ(arena.Keep("again"), "again");  // a moved-from arena is usable
}

TEST(TextArenaTest, EmptyTextIsNeverNull) {
  TextArena arena;
  EXPECT_NE(arena.Keep("").data(), nullptr);
}

}  // namespace
}  // namespace hosts
