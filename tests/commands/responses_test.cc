// Downloads built by StreamFilePart: headers before the part, and a length
// header that counts the bytes that really follow when the file is shorter
// than the part asked for (a file that shrank while it was sent).
#include "commands/responses.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "gateway/html_stream.h"
#include "gateway/request_context.h"
#include "gateway/web_extension.h"
#include "tests/harness/temp_dir.h"

namespace commands {
namespace {

struct Download {
  std::string headers;
  std::string body;
};

// Streams `length` bytes from `offset` of a file holding `content`, into a
// response that already holds `before` as body text.
Download Stream(const std::string& content, std::uint64_t offset, std::uint64_t length,
                const std::string& before = "") {
  harness::TempDir dir;
  dir.WriteFile("part.pdf", content);
  gateway::WebExtension extension('&');
  gateway::RequestContext context(nullptr);
  context.set_stream(std::make_unique<gateway::HtmlStream>());
  context.stream()->WriteText(before);
  platform::File file =
      platform::File::Open(dir.Path("part.pdf").c_str(), platform::OpenMode::kRead);
  EXPECT_TRUE(file.is_open());
  StreamFilePart(extension, context, file, offset, length, "part.pdf");
  EXPECT_FALSE(file.is_open()) << "the file is closed once streamed";
  const std::string_view all = context.stream()->view();
  return {std::string(all.substr(0, context.end_of_headers())),
          std::string(all.substr(context.end_of_headers()))};
}

TEST(StreamFilePartTest, HeadersThenThePart) {
  const Download download = Stream("0123456789", 2, 5);
  EXPECT_EQ(download.headers, "Content-Type: application/pdf\r\nContent-length: 5\r\n");
  EXPECT_EQ(download.body, "23456");
}

TEST(StreamFilePartTest, LengthHeaderCountsWhatAShortFileReallyGives) {
  const Download download = Stream("0123456789", 4, 20);
  EXPECT_EQ(download.headers, "Content-Type: application/pdf\r\nContent-length: 6\r\n");
  EXPECT_EQ(download.body, "456789");
}

TEST(StreamFilePartTest, LargePartIsSentWhole) {
  std::string content(3 * 1024 * 1024 + 17, '\0');
  for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 7);
  const Download download = Stream(content, 0, content.size());
  EXPECT_EQ(download.headers, "Content-Type: application/pdf\r\nContent-length: " +
                                  std::to_string(content.size()) + "\r\n");
  EXPECT_EQ(download.body, content);
}

TEST(StreamFilePartTest, TextWrittenBeforeBelongsToTheHeaderBlock) {
  // Every byte written before the last header line is header block: the
  // part still follows its own headers whole.
  const Download download = Stream("abcdef", 0, 10, "X-Before: 1\r\n");
  EXPECT_EQ(download.headers,
            "X-Before: 1\r\nContent-Type: application/pdf\r\nContent-length: 6\r\n");
  EXPECT_EQ(download.body, "abcdef");
}

}  // namespace
}  // namespace commands
