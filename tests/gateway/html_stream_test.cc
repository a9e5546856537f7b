// HtmlStream: growth in whole steps, detach, reset and close.
#include "gateway/html_stream.h"

#include <gtest/gtest.h>

#include <string>

namespace gateway {
namespace {

TEST(HtmlStreamTest, NeverWrittenStreamHasNoBufferAndDetachesNothing) {
  HtmlStream stream;
  stream.WriteText("");
  EXPECT_EQ(stream.data(), nullptr);
  EXPECT_EQ(stream.capacity(), 0u);
  EXPECT_EQ(stream.Detach(), nullptr);
}

TEST(HtmlStreamTest, GrowsInWholeStepsAndDetachAddsTerminator) {
  struct Case {
    std::uint32_t written;
    std::uint32_t capacity_after_write;
    std::uint32_t capacity_for_terminator;
  };
  for (const Case& c : {Case{1, 4096, 4096}, Case{4095, 4096, 4096}, Case{4096, 4096, 8192},
                        Case{4097, 8192, 8192}, Case{12289, 16384, 16384}}) {
    HtmlStream stream;
    const std::string bytes(c.written, 'x');
    stream.WriteText(bytes);
    EXPECT_EQ(stream.capacity(), c.capacity_after_write) << c.written;
    EXPECT_EQ(stream.size(), c.written);
    unsigned char* detached = stream.Detach();
    ASSERT_NE(detached, nullptr);
    EXPECT_EQ(detached[c.written], 0) << "terminator after the content";
    EXPECT_EQ(std::string(reinterpret_cast<char*>(detached), c.written), bytes);
    EXPECT_EQ(stream.size(), 0u);
    EXPECT_EQ(stream.capacity(), 0u);
    stream.Release(detached);
  }
}

TEST(HtmlStreamTest, DetachAfterExactlyOneStepGrowsToHoldTheTerminator) {
  struct Watching : HtmlStream {
    std::uint32_t largest = 0;
    void Grow(std::uint32_t needed) override {
      HtmlStream::Grow(needed);
      largest = capacity();
    }
  } stream;
  stream.WriteText(std::string(4096, 'a'));
  EXPECT_EQ(stream.largest, 4096u);
  unsigned char* detached = stream.Detach();
  EXPECT_EQ(stream.largest, 8192u);
  stream.Release(detached);
}

TEST(HtmlStreamTest, ZeroBytesAreContent) {
  HtmlStream stream;
  const char bytes[] = {'a', '\0', 'b'};
  stream.Write(bytes, 3);
  EXPECT_EQ(stream.view(), std::string_view(bytes, 3));
}

TEST(HtmlStreamTest, ResetKeepsBufferAndDropsContent) {
  HtmlStream stream;
  stream.WriteText("headers and body");
  const unsigned char* buffer = stream.data();
  stream.Reset();
  EXPECT_EQ(stream.size(), 0u);
  EXPECT_EQ(stream.data(), buffer);
  EXPECT_EQ(stream.capacity(), 4096u);
  stream.WriteText("new");
  EXPECT_EQ(stream.view(), "new");
}

TEST(HtmlStreamTest, WriteAfterCloseRaisesInsteadOfWriting) {
  HtmlStream stream;
  stream.WriteText("x");
  stream.Close();
  EXPECT_EQ(stream.growth_step(), 0u);
  EXPECT_THROW(stream.WriteText("y"), StreamError);
  EXPECT_EQ(stream.size(), 0u);
}

TEST(HtmlStreamTest, FailedAllocationRaisesAndKeepsOldContent) {
  struct Starved : HtmlStream {
    unsigned char* Reallocate(unsigned char*, std::uint32_t) override { return nullptr; }
  } stream;
  stream.WriteText(std::string(4096, 'k'));
  EXPECT_THROW(stream.WriteText("more"), StreamError);
  EXPECT_EQ(stream.size(), 4096u);
  EXPECT_EQ(stream.capacity(), 4096u);
  EXPECT_EQ(stream.view(), std::string(4096, 'k'));
}

TEST(HtmlStreamTest, AppendCopiesTheOtherStreamsContent) {
  HtmlStream head;
  HtmlStream file;
  head.WriteText("Content-length: 3\r\n");
  file.Write("a\0b", 3);
  head.Append(file);
  EXPECT_EQ(head.view(), std::string_view("Content-length: 3\r\na\0b", 22));
  HtmlStream empty;
  head.Append(empty);
  EXPECT_EQ(head.size(), 22u);
}

}  // namespace
}  // namespace gateway
