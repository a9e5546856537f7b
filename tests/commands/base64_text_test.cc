// Tests of the "getfile" text: Base64 without padding, zero-filled last
// group, "\r\n" after every 20th group.
#include "commands/base64_text.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <span>
#include <string>
#include <vector>

namespace commands {
namespace {

std::string Encode(const std::string& bytes) {
  const std::vector<unsigned char> data(bytes.begin(), bytes.end());
  return EncodeGetfileText(data);
}

TEST(Base64TextTest, EncodesGroupsWithoutPadding) {
  struct Case {
    std::string bytes;
    std::string text;
  };
  const Case cases[] = {
      {"", ""},
      {"abc", "YWJj"},
      {"ab", "YWIA"},  // last group completed with a zero byte, no "="
      {"a", "YQAA"},   // two zero bytes
      {"abcd", "YWJjZAAA"},
      {std::string("\0\0\0", 3), "AAAA"},
      {"\xFF\xFF\xFF", "////"},
      {"\xFB\xEF\xBE", "++++"},
      {"Man", "TWFu"},  // RFC 4648 alphabet order of the high bits
      {"foobar", "Zm9vYmFy"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Encode(c.bytes), c.text) << "bytes of length " << c.bytes.size();
  }
}

TEST(Base64TextTest, BreaksLinesAfterEveryTwentiethGroup) {
  struct Case {
    std::size_t length;
    std::vector<std::size_t> break_positions;  // where "\r\n" starts in the text
    std::size_t text_length;
  };
  const Case cases[] = {
      {57, {}, 76},           // 19 groups: no break
      {58, {80}, 82},         // 20 groups (last one partial): ends with "\r\n"
      {60, {80}, 82},         // exactly 20 groups
      {61, {80}, 86},         // 80 chars, "\r\n", then 4 without line end
      {120, {80, 162}, 164},  // 40 groups
      {121, {80, 162}, 168},
  };
  for (const Case& c : cases) {
    const std::string text = Encode(std::string(c.length, 'x'));
    EXPECT_EQ(text.size(), c.text_length) << c.length;
    std::vector<std::size_t> breaks;
    for (std::size_t at = text.find("\r\n"); at != std::string::npos;
         at = text.find("\r\n", at + 2)) {
      breaks.push_back(at);
    }
    EXPECT_EQ(breaks, c.break_positions) << c.length;
  }
}

TEST(Base64TextTest, EveryByteValueRoundTripsThroughAStandardDecoder) {
  std::vector<unsigned char> bytes;
  for (int i = 0; i < 256; ++i) bytes.push_back(static_cast<unsigned char>(i));
  std::string text = EncodeGetfileText(bytes);
  std::erase(text, '\r');
  std::erase(text, '\n');
  const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::vector<unsigned char> decoded;
  for (std::size_t at = 0; at + 4 <= text.size(); at += 4) {
    unsigned value = 0;
    for (std::size_t i = 0; i < 4; ++i) {
      const std::size_t digit = alphabet.find(text[at + i]);
      ASSERT_NE(digit, std::string::npos);
      value = (value << 6) | static_cast<unsigned>(digit);
    }
    decoded.push_back(static_cast<unsigned char>(value >> 16));
    decoded.push_back(static_cast<unsigned char>(value >> 8));
    decoded.push_back(static_cast<unsigned char>(value));
  }
  // 256 bytes make 86 groups: one zero byte of fill past the end.
  ASSERT_EQ(decoded.size(), 258u);
  EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), decoded.begin()));
  EXPECT_EQ(decoded[256], 0);
  EXPECT_EQ(decoded[257], 0);
}

TEST(Base64TextTest, PiecesOfWholeLinesAppendToTheWholeText) {
  std::vector<unsigned char> bytes(1000);
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<unsigned char>(i * 7);
  const std::string whole = EncodeGetfileText(bytes);
  for (const std::size_t piece : {kGetfileLineBytes, 3 * kGetfileLineBytes, std::size_t{960}}) {
    std::string text = "before";
    for (std::size_t at = 0; at < bytes.size(); at += piece) {
      AppendGetfileText(std::span(bytes).subspan(at, std::min(piece, bytes.size() - at)), text);
    }
    EXPECT_EQ(text, "before" + whole) << piece;
  }
  // A piece that is not whole lines would break them elsewhere.
  std::string odd;
  AppendGetfileText(std::span(bytes).first(30), odd);
  AppendGetfileText(std::span(bytes).subspan(30, 60), odd);
  EXPECT_NE(odd, EncodeGetfileText(std::span(bytes).first(90)));
}

}  // namespace
}  // namespace commands
