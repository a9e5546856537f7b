// Escapes of the stand-in back-end: what it writes must decode, on the
// module's side, to exactly the text it meant.

#include "backend_kit/escapes.h"

#include <gtest/gtest.h>

namespace backend_kit {
namespace {

TEST(EscapesTest, HtmlEscapeNeutralisesMarkup) {
  const struct {
    std::string in, out;
  } cases[] = {
      {"plain", "plain"},
      {"<script>alert('x')</script>", "&lt;script&gt;alert(&#39;x&#39;)&lt;/script&gt;"},
      {"a&b\"c", "a&amp;b&quot;c"},
      {"cr\xE9"
       "\xE9"
       "e",
       "cr\xE9"
       "\xE9"
       "e"},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(HtmlEscape(c.in), c.out) << c.in;
}

// The module's query decoder turns "+" into a space and "%XX" into a byte,
// after splitting at "&": every byte that would be changed or would split
// must be percent-encoded.
TEST(EscapesTest, UrlEncodeProtectsWhatTheModuleDecodes) {
  const struct {
    std::string in, out;
  } cases[] = {
      {"a b", "a%20b"},         {"a+b", "a%2Bb"},
      {"a&b=c", "a%26b%3Dc"},   {"50%", "50%25"},
      {"/x/[5C]y", "/x/[5C]y"}, {"?#", "%3F%23"},
      {"\xE9", "%E9"},          {std::string("\0", 1), "%00"},
  };
  for (const auto& c : cases) EXPECT_EQ(UrlEncode(c.in), c.out) << c.in;
}

TEST(EscapesTest, BracketEscapeOfEveryByteDecodesBack) {
  std::string all;
  for (int byte = 0; byte < 256; ++byte) all.push_back(static_cast<char>(byte));
  const std::string escaped = BracketEscape(all);
  EXPECT_EQ(BracketDecode(escaped), all);
  // What is left unescaped never needs URL or HTML care, nor starts an escape.
  for (char c : escaped) {
    EXPECT_TRUE(std::isalnum(static_cast<unsigned char>(c)) ||
                std::string_view("-._/~,:[]").find(c) != std::string_view::npos)
        << static_cast<int>(c);
  }
}

TEST(EscapesTest, BracketEscapeExamples) {
  EXPECT_EQ(BracketEscape("/docs/a b.pdf"), "/docs/a[20]b.pdf");
  EXPECT_EQ(BracketEscape("C:\\docs\\a.pdf"), "C:[5C]docs[5C]a.pdf");
  // A "[" in a name is escaped too, so "[5C]" in a name stays four characters.
  EXPECT_EQ(BracketEscape("x[5C]"), "x[5B]5C[5D]");
  EXPECT_EQ(BracketEscape("r\xE9sum\xE9"), "r[E9]sum[E9]");
}

TEST(EscapesTest, BracketDecodeLeavesIncompleteGroupsAlone) {
  const struct {
    std::string in, out;
  } cases[] = {
      {"[5c]", "\\"}, {"[5C", "[5C"},  {"[5G]", "[5G]"},
      {"a[", "a["},   {"[[41]", "[A"}, {"[41][42]", "AB"},
  };
  for (const auto& c : cases) EXPECT_EQ(BracketDecode(c.in), c.out) << c.in;
}

}  // namespace
}  // namespace backend_kit
