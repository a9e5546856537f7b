// Downloads built by StreamFilePart: headers before the part, and a length
// header that counts the bytes that really follow when the file is shorter
// than the part asked for; and whole downloads as the request cycle sends
// them, in bounded pieces, ending cleanly when the client or the file fails.
#include "commands/responses.h"

#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#endif

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "gateway/html_stream.h"
#include "gateway/request_context.h"
#include "gateway/web_extension.h"
#include "tests/commands/query_test_support.h"
#include "tests/harness/temp_dir.h"

namespace commands {
namespace {

using testing::AnsweredPoll;
using testing::BackslashName;
using testing::DoCommandQuery;
using testing::DoKommandQuery;
using testing::Headers;

// An extension whose body writes are recorded instead of sent.
class RecordingExtension : public gateway::WebExtension {
 public:
  RecordingExtension() : WebExtension('&') {}
  bool WriteBody(gateway::RequestContext&, const void* bytes, std::uint32_t count,
                 std::uint32_t) override {
    written.append(static_cast<const char*>(bytes), count);
    return true;
  }
  std::string written;
};

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
  RecordingExtension extension;
  gateway::RequestContext context(nullptr);
  context.set_stream(std::make_unique<gateway::HtmlStream>());
  context.stream()->WriteText(before);
  platform::File file =
      platform::File::Open(dir.Path("part.pdf").c_str(), platform::OpenMode::kRead);
  EXPECT_TRUE(file.is_open());
  StreamFilePart(extension, context, file, offset, length, "part.pdf");
  EXPECT_FALSE(file.is_open()) << "the context holds the file now";
  const std::string_view all = context.stream()->view();
  Download download{std::string(all.substr(0, context.end_of_headers())),
                    std::string(all.substr(context.end_of_headers()))};
  EXPECT_TRUE(extension.SendFileBody(context));
  EXPECT_FALSE(context.has_file_body()) << "the file is closed once sent";
  download.body += extension.written;
  return download;
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

TEST(StreamFilePartTest, TextWrittenBeforeNeverBecomesHeaderLines) {
  // A download is the whole body: body text written before it is neither
  // turned into header lines nor sent beside the part the length counts.
  const Download download = Stream("abcdef", 0, 10, "<p>before</p>\r\n");
  EXPECT_EQ(download.headers, "Content-Type: application/pdf\r\nContent-length: 6\r\n");
  EXPECT_EQ(download.body, "abcdef");
}

// Descriptors this process holds open, to see that a request released its
// file; 0 where the system does not list them.
std::size_t OpenDescriptors() {
  std::error_code error;
  std::size_t count = 0;
  for (std::filesystem::directory_iterator it("/proc/self/fd", error), end; !error && it != end;
       it.increment(error)) {
    ++count;
  }
  return count;
}

// Whether the request let go of `path`: on Windows no handle is left open on
// it (it then opens without any sharing; the process's descriptors seen
// under Wine are Wine's own), elsewhere the process holds as many
// descriptors as `descriptors_before` from OpenDescriptors().
bool FileReleased(const std::string& path, std::size_t descriptors_before) {
#ifdef _WIN32
  (void)descriptors_before;
  const HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  CloseHandle(file);
  return true;
#else
  (void)path;
  return OpenDescriptors() == descriptors_before;
#endif
}

// A spool root where anna may download files/big.pdf, a few MiB of bytes that
// a text-mode read would change, through "getfiledata" or an answer naming it.
struct BigDownload {
  harness::SpoolRoot root;
  std::string content;
  std::string path;  // as an answer's first line names it
  std::string name;  // as clients send it and the rights list holds it

  BigDownload() {
    content.resize(3 * 1024 * 1024 + 17);
    for (std::size_t i = 0; i < content.size(); ++i) {
      content[i] = static_cast<char>((i * 7) ^ (i >> 11));
    }
    root.MakeDir("files");
    root.WriteFile("files/big.pdf", content);
    path = BackslashName(root.Path("files/big.pdf"));
    for (const char c : path) name += c == '\\' ? std::string("[5C]") : std::string(1, c);
    root.WriteFile("rights/~anna.lst", name + "\r\n");
  }

  enum class Route { kGetFileData, kDoKommand, kAnswer };
  harness::Response Fetch(Route route, const harness::Faults& faults = {}) const {
    harness::Request request;
    switch (route) {
      case Route::kGetFileData:
        request.query = DoCommandQuery("anna", "getfiledata", name, "0", "-1");
        break;
      case Route::kDoKommand:
        request.query = DoKommandQuery("anna", "getfiledata", name, "0", "-1");
        break;
      case Route::kAnswer:
        return AnsweredPoll(root, "getdoc", path + "\r\n", faults);
    }
    return harness::Run(request, faults);
  }
};

constexpr BigDownload::Route kRoutes[] = {
    BigDownload::Route::kGetFileData, BigDownload::Route::kDoKommand, BigDownload::Route::kAnswer};

TEST(FileBodyTest, LargeDownloadArrivesWholeInPiecesOfAtMost64KiB) {
  const BigDownload download;
  for (const BigDownload::Route route : kRoutes) {
    const harness::Response response = download.Fetch(route);
    const int at = static_cast<int>(route);
    EXPECT_EQ(response.result, HSE_STATUS_SUCCESS) << at;
    EXPECT_EQ(Headers(response), "Content-Type: application/pdf\r\nContent-length: " +
                                     std::to_string(download.content.size()) + "\r\n")
        << at;
    ASSERT_FALSE(response.writes.empty()) << at;
    EXPECT_EQ(response.writes.front(), "\r\n") << at;
    EXPECT_TRUE(response.body() == download.content) << at << ": body differs";
    for (std::size_t i = 1; i < response.writes.size(); ++i) {
      EXPECT_GT(response.writes[i].size(), 0U) << at << ": write " << i;
      EXPECT_LE(response.writes[i].size(), gateway::WebExtension::kFileBodyPiece)
          << at << ": write " << i;
    }
  }
}

TEST(FileBodyTest, SmallDownloadKeepsItsExactWrites) {
  // A part that fits one piece goes out as before: the header call, "\r\n",
  // then the bytes in one write.
  const BigDownload download;
  harness::Request request;
  request.query = DoCommandQuery("anna", "getfiledata", download.name, "1000", "700");
  const harness::Response response = harness::Run(request);
  EXPECT_EQ(response.status_line, "200 OK");
  EXPECT_EQ(Headers(response), "Content-Type: application/pdf\r\nContent-length: 700\r\n");
  EXPECT_EQ(response.writes,
            (std::vector<std::string>{"\r\n", download.content.substr(1000, 700)}));
}

// A download that fails: the client goes at write `fail_write` (0: never),
// or the file is cut short after the third write.
struct FailureCase {
  const char* what;
  int fail_write;
  bool shrink_after_third;
  std::size_t body_size;  // what the client got before the end
};

// Fetches the large download with `c`'s fault added to `faults` and checks
// what every failure must give: status 500, the bytes sent so far, the file
// released. The response, for the checks of the way it was written.
harness::Response FetchFailing(BigDownload::Route route, harness::Faults faults,
                               const FailureCase& c, const std::string& where) {
  const BigDownload download;
  faults.fail_write_number = c.fail_write;
  const std::string file = download.root.Path("files/big.pdf");
  if (c.shrink_after_third) {
    faults.after_write = [&file](int number) {
      if (number == 3) std::filesystem::resize_file(file, 100000);
    };
  }
  const std::size_t descriptors = OpenDescriptors();
  harness::Response response = download.Fetch(route, faults);
  EXPECT_EQ(response.recorded_status, 500U) << where;
  EXPECT_EQ(response.body(), download.content.substr(0, c.body_size)) << where;
  EXPECT_TRUE(FileReleased(file, descriptors)) << where << ": the file was left open";
  return response;
}

TEST(FileBodyTest, FailureMidFileEndsTheRequestAndReleasesTheFile) {
  const FailureCase cases[] = {
      {"client gone at the fourth write", 4, false, 2 * 65536},
      {"client gone at the first piece", 2, false, 0},
      {"file cut short mid-transfer", 0, true, 2 * 65536},
  };
  for (const BigDownload::Route route : kRoutes) {
    for (const FailureCase& c : cases) {
      const std::string where =
          std::string(c.what) + " route " + std::to_string(static_cast<int>(route));
      EXPECT_EQ(FetchFailing(route, {}, c, where).result, HSE_STATUS_ERROR) << where;
    }
  }
}

constexpr harness::Faults::AsyncWrites kAsyncModes[] = {
    harness::Faults::AsyncWrites::kAfterReturn, harness::Faults::AsyncWrites::kOnAnotherThread,
    harness::Faults::AsyncWrites::kInsideWriteClient};

harness::Faults AsyncFaults(harness::Faults::AsyncWrites mode) {
  harness::Faults faults;
  faults.async_writes = mode;
  return faults;
}

TEST(FileBodyTest, AsyncDownloadSendsTheBytesOfTheWaitingWrites) {
  const BigDownload download;
  for (const BigDownload::Route route : kRoutes) {
    const harness::Response waited = download.Fetch(route);
    ASSERT_EQ(waited.io_completion_requests, 1) << "the server was asked";
    ASSERT_EQ(waited.async_writes, 0) << "and refused";
    for (const harness::Faults::AsyncWrites mode : kAsyncModes) {
      const std::string where = "route " + std::to_string(static_cast<int>(route)) + " mode " +
                                std::to_string(static_cast<int>(mode));
      const harness::Response later = download.Fetch(route, AsyncFaults(mode));
      EXPECT_EQ(later.result, HSE_STATUS_PENDING) << where;
      EXPECT_EQ(later.done_with_session_calls, 1) << where;
      EXPECT_EQ(later.session_status, std::optional<std::uint32_t>(HSE_STATUS_SUCCESS)) << where;
      EXPECT_EQ(later.recorded_status, 200U) << where;
      EXPECT_EQ(later.overlapping_async_writes, 0) << where;
      // A write completed inside WriteClient starts the next from the same
      // loop: no stack level per piece.
      EXPECT_LE(later.deepest_async_nesting, 1) << where;
      EXPECT_EQ(later.async_writes, static_cast<int>(later.writes.size())) << where;
      EXPECT_EQ(later.status_line, waited.status_line) << where;
      EXPECT_EQ(later.header_text, waited.header_text) << where;
      EXPECT_TRUE(later.writes == waited.writes) << where << ": writes differ";
    }
  }
}

TEST(FileBodyTest, AsyncFailureEndsTheSessionWithErrorAndReleasesTheFile) {
  const FailureCase cases[] = {
      {"client gone at the fourth write", 4, false, 2 * 65536},
      {"client gone at the end of the headers", 1, false, 0},
      {"file cut short mid-transfer", 0, true, 2 * 65536},
  };
  for (const harness::Faults::AsyncWrites mode : kAsyncModes) {
    for (const FailureCase& c : cases) {
      const std::string where =
          std::string(c.what) + " mode " + std::to_string(static_cast<int>(mode));
      const harness::Response response =
          FetchFailing(BigDownload::Route::kAnswer, AsyncFaults(mode), c, where);
      EXPECT_EQ(response.result, HSE_STATUS_PENDING) << where;
      EXPECT_EQ(response.done_with_session_calls, 1) << where;
      EXPECT_EQ(response.session_status, std::optional<std::uint32_t>(HSE_STATUS_ERROR)) << where;
    }
  }
}

}  // namespace
}  // namespace commands
