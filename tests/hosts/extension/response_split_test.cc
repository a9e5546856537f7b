// Tests of the reading of an extension's output stream as headers and body.
#include "hosts/extension/response_split.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace hosts {
namespace {

struct SplitCase {
  const char* name;
  std::string stream;
  std::vector<std::string> headers;  // "Name: value" as they are to be sent
  std::string body;
  bool length_mismatch;
};

class ResponseSplitTest : public ::testing::TestWithParam<SplitCase> {};

TEST_P(ResponseSplitTest, SplitsHeadersFromBody) {
  const SplitCase& test = GetParam();
  const SplitResponse split = SplitResponseStream(test.stream);
  std::vector<std::string> headers;
  for (const ResponseHeader& header : split.headers) {
    headers.push_back(std::string(header.name) + ": " + std::string(header.value));
  }
  EXPECT_EQ(headers, test.headers);
  EXPECT_EQ(test.stream.substr(split.body_offset), test.body);
  EXPECT_EQ(split.content_length_mismatch, test.length_mismatch);
}

// A host that streams the body finds the header block's end while the
// stream grows: once found (at any length), it must be where the whole
// stream's split puts the body, and never before the block is complete.
TEST_P(ResponseSplitTest, GrowingStreamEndsTheHeaderBlockWhereTheWholeSplitDoes) {
  const SplitCase& test = GetParam();
  const std::size_t body_offset = SplitResponseStream(test.stream).body_offset;
  std::optional<HeaderBlockEnd> found;
  std::size_t found_at_length = 0;
  for (std::size_t length = 0; length <= test.stream.size() && !found; ++length) {
    found = FindHeaderBlockEnd(std::string_view(test.stream).substr(0, length));
    found_at_length = length;
  }
  if (found) {
    EXPECT_EQ(found->body_offset, body_offset);
    EXPECT_LE(found->body_offset, found_at_length);
    const std::string_view before = std::string_view(test.stream).substr(0, body_offset);
    EXPECT_EQ(found->ended_by_empty_line, before.ends_with("\n\r\n") || before.ends_with("\n\n") ||
                                              before == "\r\n" || before == "\n");
  } else {
    // Never known complete: every whole line was a header line; only the
    // unfinished last one, read whole, may start the body.
    EXPECT_GE(body_offset, test.stream.rfind('\n') + 1);
  }
}

// The length the extension declared, for a response passed on as written
// (its body is not all there when the header goes out).
TEST(ResponseSplitDeclaredLengthTest, OnlyAPlainDecimalLengthDeclaresOne) {
  const struct {
    const char* stream;
    std::optional<std::uint64_t> declared;
  } cases[] = {
      {"Content-Length: 1073741824\r\n\r\npart", 1073741824},
      {"content-length: 5\r\nContent-Length: 5\r\n\r\n", 5},
      {"Content-Length: 5\r\nContent-Length: 6\r\n\r\n", std::nullopt},
      {"Content-Length: 5\r\nContent-Length: x\r\n\r\n", std::nullopt},
      {"Content-Length: -1\r\n\r\n", std::nullopt},
      {"Content-Length: 0x10\r\n\r\n", std::nullopt},
      {"Content-Length: 99999999999999999999\r\n\r\n", std::nullopt},
      {"X-A: 1\r\n\r\nbody", std::nullopt},
  };
  for (const auto& test : cases) {
    EXPECT_EQ(SplitResponseStream(test.stream).declared_length, test.declared) << test.stream;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Streams, ResponseSplitTest,
    ::testing::Values(
        SplitCase{"HeadersThenBody",
                  "Content-Type: text/html\r\n\r\n<html></html>",
                  {"Content-Type: text/html"},
                  "<html></html>",
                  false},
        SplitCase{"SeveralHeadersKeepOrderAndCase",
                  "Expires: -1\r\ncontent-type: text/xml\r\nRefresh: 5; url=x\r\n\r\nbody",
                  {"Expires: -1", "content-type: text/xml", "Refresh: 5; url=x"},
                  "body",
                  false},
        // The module's own "\r\n" right away: no header at all.
        SplitCase{"EmptyHeaderBlock", "\r\n3", {}, "3", false},
        // A status line only: nothing was written.
        SplitCase{"StatusLineOnly", "", {}, "", false},
        SplitCase{"HeadersOnlyEmptyBody",
                  "Content-Type: text/html\r\n\r\n",
                  {"Content-Type: text/html"},
                  "",
                  false},
        // Only the first empty line ends the headers.
        SplitCase{"BodyContainingEmptyLines",
                  "X-A: 1\r\n\r\nline\r\n\r\nX-B: 2\r\n\r\n",
                  {"X-A: 1"},
                  "line\r\n\r\nX-B: 2\r\n\r\n",
                  false},
        // Header text without its final CRLF runs into the first body line:
        // the line that is no header starts the body, nothing is lost.
        SplitCase{"HeaderTextWithoutFinalCrLf",
                  "Content-Type: text/html\r\n<html>x</html>",
                  {"Content-Type: text/html"},
                  "<html>x</html>",
                  false},
        SplitCase{"UnterminatedLastHeaderLine",
                  "Content-Type: text/html",
                  {"Content-Type: text/html"},
                  "",
                  false},
        SplitCase{"BodyWithoutAnyHeaderOrBlankLine",
                  "<html>hello</html>",
                  {},
                  "<html>hello</html>",
                  false},
        SplitCase{"BareLineFeeds", "X-A: 1\n\nbody\n", {"X-A: 1"}, "body\n", false},
        SplitCase{
            "BlanksAroundValueRemoved", "X-A:   spaced \t\r\n\r\n", {"X-A: spaced"}, "", false},
        // Content-Length is the server's to send, once: a matching one is
        // dropped, in any case of the name and however often it comes.
        SplitCase{"ContentLengthAgreeing",
                  "Content-Length: 5\r\nX-A: 1\r\n\r\nhello",
                  {"X-A: 1"},
                  "hello",
                  false},
        SplitCase{"ContentLengthDuplicatesAgreeing",
                  "Content-Length: 5\r\ncontent-length: 5\r\n\r\nhello",
                  {},
                  "hello",
                  false},
        SplitCase{"ContentLengthDisagreeing", "Content-length: 99\r\n\r\nhello", {}, "hello", true},
        SplitCase{"ContentLengthDuplicatesDisagreeing",
                  "Content-Length: 5\r\nContent-Length: 6\r\n\r\nhello",
                  {},
                  "hello",
                  true},
        SplitCase{
            "ContentLengthNotANumber", "Content-Length: five\r\n\r\nhello", {}, "hello", true},
        SplitCase{"TransferEncodingDropped",
                  "Transfer-Encoding: chunked\r\n\r\nhello",
                  {},
                  "hello",
                  false},
        // Nothing that is not a well-formed header goes out as one.
        SplitCase{"BareCarriageReturnInValueStartsBody",
                  "X-Good: 1\r\nX-Bad: a\rSet-Cookie: x=1\r\n\r\nbody",
                  {"X-Good: 1"},
                  "X-Bad: a\rSet-Cookie: x=1\r\n\r\nbody",
                  false},
        SplitCase{"ZeroByteInValueStartsBody",
                  std::string("X-Bad: a\0b\r\n\r\nz", 13),
                  {},
                  std::string("X-Bad: a\0b\r\n\r\nz", 13),
                  false},
        SplitCase{
            "NameWithSpaceStartsBody", "Bad Name: 1\r\n\r\nz", {}, "Bad Name: 1\r\n\r\nz", false},
        SplitCase{"ContinuationLineStartsBody",
                  "X-A: 1\r\n folded\r\n\r\nz",
                  {"X-A: 1"},
                  " folded\r\n\r\nz",
                  false},
        SplitCase{"Latin1ValueKept",
                  "X-Title: cr\xE9\xE9"
                  "e\r\n\r\n",
                  {"X-Title: cr\xE9\xE9"
                   "e"},
                  "",
                  false}),
    [](const ::testing::TestParamInfo<SplitCase>& param_info) { return param_info.param.name; });

TEST(SplitResponseStreamTest, KeepsTheDeclaredLengthForAHostThatStreams) {
  EXPECT_EQ(
      SplitResponseStream("Content-Length: 12\r\nContent-Length: 9\r\n\r\nab").declared_length_text,
      "12");
  EXPECT_EQ(SplitResponseStream("X-A: 1\r\n\r\nab").declared_length_text, "");
}

TEST(ParseStatusCodeTest, ReadsTheLeadingCode) {
  const struct {
    const char* line;
    std::optional<unsigned> code;
  } cases[] = {
      {"200 OK", 200u},
      {"413 Request entity was too large", 413u},
      {"204", 204u},
      {"999 Custom", 999u},
      {"", std::nullopt},
      {"OK", std::nullopt},
      {"20 OK", std::nullopt},
      {"2000 OK", std::nullopt},
      {"099 Low", std::nullopt},
      {" 200 OK", std::nullopt},
  };
  for (const auto& test : cases) {
    EXPECT_EQ(ParseStatusCode(test.line), test.code) << '"' << test.line << '"';
  }
}

}  // namespace
}  // namespace hosts
