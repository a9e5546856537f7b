// URL decoding of argument texts, including malformed escapes.
#include "gateway/url_decode.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace gateway {
namespace {

std::string Decode(const std::string& text) {
  std::vector<char> buffer(text.begin(), text.end());
  buffer.push_back('\0');
  return UrlDecode(buffer.data());
}

TEST(UrlDecodeTest, DecodesAndRepairsEscapes) {
  const struct {
    const char* input;
    const char* decoded;
  } cases[] = {
      {"", ""},         {"plain", "plain"}, {"a%20b+c%41", "a b cA"},
      {"%2f%2F", "//"}, {"50%", "50?"},     {"%zz", "?z"},
      {"%4", "?"},      {"%4z", "?"},       {"%4zq", "?q"},
      {"a%", "a?"},     {"%%41", "?41"},    {"%C3%A9", "\xC3\xA9"},
      {"+%2B+", " + "},
  };
  for (const auto& c : cases) EXPECT_EQ(Decode(c.input), c.decoded) << c.input;
}

TEST(UrlDecodeTest, EscapedZeroByteEndsTheText) { EXPECT_EQ(Decode("ab%00cd"), "ab"); }

TEST(UrlDecodeTest, NullStaysNull) { EXPECT_EQ(UrlDecode(nullptr), nullptr); }

}  // namespace
}  // namespace gateway
