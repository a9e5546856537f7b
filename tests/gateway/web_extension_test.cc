// The request cycle and the dispatch, run through a test extension whose
// handlers record what they were called with.
#include "gateway/web_extension.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/last_error.h"
#include "tests/harness/fake_server.h"

namespace gateway {
namespace {

struct Call {
  std::string command;
  std::vector<std::string> texts;
  std::uint32_t raw_count = 0;
};

class RecordingExtension;
RecordingExtension* g_extension = nullptr;

// A stream that counts the buffers given back to it.
class CountingStream : public HtmlStream {
 public:
  explicit CountingStream(std::atomic<int>& releases) : releases_(releases) {}
  void Release(unsigned char* buffer) override {
    ++releases_;
    HtmlStream::Release(buffer);
  }

 private:
  std::atomic<int>& releases_;
};

class RecordingExtension : public WebExtension {
 public:
  RecordingExtension() : WebExtension('&') { g_extension = this; }
  ~RecordingExtension() override {
    ReleaseParamInfoCache(map_);
    g_extension = nullptr;
  }
  std::span<CommandEntry> GetCommandMap() override { return map_; }
  const char* GetTitle() const override { return "Test"; }

  std::mutex mutex;
  std::vector<Call> calls;
  const ParamInfo* cached_names() const { return map_[4].param_info; }
  // What the next handler call writes: headers, body, or a throw.
  std::string headers;
  std::string body = "ok";
  bool throws = false;
  // The send of the body fails as when memory runs out.
  bool send_throws = false;
  std::atomic<int> releases{0};

  bool WriteBody(RequestContext& context, const void* bytes, std::uint32_t count,
                 std::uint32_t reserved) override {
    if (send_throws) throw std::bad_alloc();
    return WebExtension::WriteBody(context, bytes, count, reserved);
  }
  std::unique_ptr<HtmlStream> CreateStream() override {
    return std::make_unique<CountingStream>(releases);
  }

 private:
  static void Record(const char* name, WebExtension& extension, RequestContext& context,
                     const ArgumentList& arguments, bool raw) {
    auto& self = static_cast<RecordingExtension&>(extension);
    Call call{name, {}, 0};
    for (const ArgValue& value : arguments) {
      if (raw) {
        call.texts.emplace_back(value.text, value.raw_count);
        call.raw_count = value.raw_count;
      } else {
        call.texts.emplace_back(value.text);
      }
    }
    {
      std::lock_guard<std::mutex> lock(self.mutex);
      self.calls.push_back(call);
    }
    if (self.throws) throw std::runtime_error("handler failed");
    if (!self.headers.empty()) self.AddHeaderLine(context, self.headers);
    self.WriteText(context, self.body);
  }
  static void Default(WebExtension& e, RequestContext& c, const ArgumentList& a) {
    Record("Default", e, c, a, false);
  }
  static void Raw(WebExtension& e, RequestContext& c, const ArgumentList& a) {
    Record("Raw", e, c, a, true);
  }
  static void Six(WebExtension& e, RequestContext& c, const ArgumentList& a) {
    Record("Six", e, c, a, false);
  }

  CommandEntry map_[5] = {
      {"Default", &Default, nullptr},
      {"Default", &Default, "\x06"},
      {"Raw", &Raw, "\x07"},
      {"Six", &Six, "\x05\x05\x05\x05\x05\x05"},
      {nullptr, nullptr, "Logon= Command= P1= P2= P3= Token="},
  };
};

DWORD Proc(EXTENSION_CONTROL_BLOCK* block) { return g_extension->HandleRequest(block); }

class WebExtensionTest : public ::testing::Test {
 protected:
  harness::Response Get(const std::string& query) {
    harness::Request request;
    request.query = query;
    return harness::Run(&Proc, request);
  }
  harness::Response Post(const std::string& query, const std::string& body,
                         const harness::Faults& faults = {}) {
    harness::Request request;
    request.method = "POST";
    request.query = query;
    request.body = body;
    return harness::Run(&Proc, request, faults);
  }
  RecordingExtension extension_;
};

TEST_F(WebExtensionTest, RoutesGetTextsToCommandsAndDefault) {
  const struct {
    const char* query;
    const char* command;  // null: no handler is called
    unsigned status;
    std::vector<std::string> texts;
  } cases[] = {
      {"", "Default", 200, {}},
      {"Default", "Default", 200, {}},
      {"six", "Six", 200, {"", "", "", "", "", ""}},
      {"Six?Logon=joe&Command=list&P1=&P2=&P3=&Token= ",
       "Six",
       200,
       {"joe", "list", "", "", "", ""}},
      {"Six&joe&list", "Six", 200, {"joe", "list", "", "", "", ""}},
      {"Six?", "Six", 200, {"", "", "", "", "", ""}},
      {"MfcISAPICommand=Six&Logon=joe", "Six", 200, {"joe", "", "", "", "", ""}},
      {"mfcisapicommand=Six", "Six", 200, {"", "", "", "", "", ""}},
      {"Raw?abc", "Raw", 200, {"abc"}},
      {"Raw?abc \r\n", "Raw", 200, {"abc \r\n"}},  // raw: every received byte
      {"MfcISAPICommand=Raw&x y ", "Raw", 200, {"x y "}},
      {"Hello", nullptr, 400, {}},
      {"Logon=joe", nullptr, 400, {}},
      {"Logon=joe&Command=list", nullptr, 400, {}},
      {"NoSuchCommand?x=1", nullptr, 400, {}},
      {"MfcISAPICommand=Nothing&x", nullptr, 400, {}},
      {"Six?Logon=a&Logon=b", nullptr, 400, {}},
      {"Six?a&b&c&d&e&f&g", nullptr, 400, {}},
  };
  for (const auto& c : cases) {
    extension_.calls.clear();
    const harness::Response response = Get(c.query);
    EXPECT_EQ(response.status_line.substr(0, 3), std::to_string(c.status)) << c.query;
    if (c.command == nullptr) {
      EXPECT_TRUE(extension_.calls.empty()) << c.query;
      EXPECT_EQ(response.result, static_cast<DWORD>(HSE_STATUS_ERROR)) << c.query;
      EXPECT_TRUE(response.writes.empty()) << "status line only: " << c.query;
      continue;
    }
    ASSERT_EQ(extension_.calls.size(), 1u) << c.query;
    EXPECT_EQ(extension_.calls[0].command, c.command) << c.query;
    EXPECT_EQ(extension_.calls[0].texts, c.texts) << c.query;
    EXPECT_EQ(response.result, static_cast<DWORD>(HSE_STATUS_SUCCESS)) << c.query;
  }
}

TEST_F(WebExtensionTest, ResponseIsStatusLineHeaderBlockCrLfAndBody) {
  extension_.headers = "Content-Type: text/plain\r\nX-A: 1\r\n";
  extension_.body = "hello";
  const harness::Response response = Get("Default");
  EXPECT_EQ(response.status_line, "200 OK");
  ASSERT_TRUE(response.header_text.has_value());
  EXPECT_EQ(*response.header_text, "Content-Type: text/plain\r\nX-A: 1\r\n");
  ASSERT_EQ(response.writes.size(), 2u);
  EXPECT_EQ(response.writes[0], "\r\n");
  EXPECT_EQ(response.writes[1], "hello");
  EXPECT_EQ(response.recorded_status, 200u);
}

TEST_F(WebExtensionTest, HeadersOnlyGiveAnEmptyBodyWrite) {
  extension_.headers = "X-Only: yes\r\n";
  extension_.body = "";
  const harness::Response response = Get("");
  EXPECT_EQ(*response.header_text, "X-Only: yes\r\n");
  ASSERT_EQ(response.writes.size(), 2u);
  EXPECT_EQ(response.writes[1], "");
}

TEST_F(WebExtensionTest, NothingWrittenSendsTheStatusLineAlone) {
  extension_.body = "";
  const harness::Response response = Get("");
  EXPECT_TRUE(response.header_sent);
  EXPECT_FALSE(response.header_text.has_value());
  EXPECT_TRUE(response.writes.empty());
  EXPECT_EQ(response.result, static_cast<DWORD>(HSE_STATUS_SUCCESS));
}

TEST_F(WebExtensionTest, MethodsOtherThanGetAndPostFailWithStatusLineOnly) {
  for (const char* method : {"HEAD", "PUT", "DELETE", ""}) {
    harness::Request request;
    request.method = method;
    const harness::Response response = harness::Run(&Proc, request);
    EXPECT_EQ(response.status_line, "200 OK") << method;
    EXPECT_EQ(response.result, static_cast<DWORD>(HSE_STATUS_ERROR)) << method;
    EXPECT_TRUE(response.writes.empty()) << method;
    EXPECT_TRUE(extension_.calls.empty()) << method;
  }
  harness::Request lower;
  lower.method = "get";
  EXPECT_EQ(harness::Run(&Proc, lower).result, static_cast<DWORD>(HSE_STATUS_SUCCESS));
}

TEST_F(WebExtensionTest, PostBodyIsReadWholeThroughReadClient) {
  harness::Request request;
  request.method = "POST";
  request.query = "Raw";
  request.body = std::string(10000, 'z') + "end";
  request.available = 100;
  request.read_chunk = 777;
  const harness::Response response = harness::Run(&Proc, request);
  ASSERT_EQ(extension_.calls.size(), 1u);
  EXPECT_EQ(extension_.calls[0].texts[0], request.body);
  EXPECT_EQ(extension_.calls[0].raw_count, request.body.size());
  EXPECT_GT(response.read_calls, 10);
}

TEST_F(WebExtensionTest, RawBodyKeepsItsTrailingBlanksAndZeroBytes) {
  const std::string body("abc\0d \r\n", 8);
  Post("Raw", body);
  ASSERT_EQ(extension_.calls.size(), 1u);
  EXPECT_EQ(extension_.calls[0].raw_count, 8u);
  EXPECT_EQ(extension_.calls[0].texts[0], body);
}

// A POST body is empty by its length, not by its first byte: a raw body
// that starts with a zero byte is data like any other.
TEST_F(WebExtensionTest, RawBodyStartingWithAZeroByteReachesTheCommand) {
  for (const std::string& body : {std::string(1, '\0'), std::string("\0abc", 4),
                                  std::string("\0\0 \r\n", 5), std::string("\0\x89PNG\r\n", 7)}) {
    extension_.calls.clear();
    const harness::Response response = Post("Raw", body);
    EXPECT_EQ(response.status_line, "200 OK") << body.size();
    ASSERT_EQ(extension_.calls.size(), 1u) << body.size();
    EXPECT_EQ(extension_.calls[0].raw_count, body.size());
    EXPECT_EQ(extension_.calls[0].texts[0], body);
  }
}

TEST_F(WebExtensionTest, NamedArgumentsInAPostBodyAreTrimmed) {
  Post("Six", "Logon=anna&Command=getlist\r\n");
  ASSERT_EQ(extension_.calls.size(), 1u);
  EXPECT_EQ(extension_.calls[0].texts[1], "getlist");
  extension_.calls.clear();
  Post("Six", " ");  // one blank is not trimmed: the first byte stays
  ASSERT_EQ(extension_.calls.size(), 1u);
  EXPECT_EQ(extension_.calls[0].texts[0], " ");
}

TEST_F(WebExtensionTest, PostFailuresAnswerTheStatusLineWithoutDispatch) {
  const struct {
    const char* name;
    std::uint32_t declared;
    std::uint32_t available;
    harness::Faults faults;
    const char* status_line;
  } cases[] = {
      {"length unknown", HSE_BODY_LENGTH_UNKNOWN, 0, {}, "413 Request entity was too large"},
      {"available beyond total", 2, 5, {}, "400 Bad Request"},
      {"read fails", 5, 1, {0, 0, 1, 0, {}}, "200 OK"},
      {"client stops early", 5, 1, {0, 0, 0, 1, {}}, "200 OK"},
  };
  for (const auto& c : cases) {
    harness::Request request;
    request.method = "POST";
    request.query = "Raw";
    request.body = "hello";
    request.declared_length = c.declared;
    request.available = c.available;
    const harness::Response response = harness::Run(&Proc, request, c.faults);
    EXPECT_EQ(response.status_line, c.status_line) << c.name;
    EXPECT_EQ(response.result, static_cast<DWORD>(HSE_STATUS_ERROR)) << c.name;
    EXPECT_TRUE(response.writes.empty()) << c.name;
    EXPECT_TRUE(extension_.calls.empty()) << "no handler sees a body that never came: " << c.name;
  }
}

TEST_F(WebExtensionTest, UnknownPostCommandIs501AndEmptyRawBodyIs400) {
  harness::Response response = Post("Nothing", "abc");
  EXPECT_EQ(response.status_line, "501 Not Implemented");
  EXPECT_EQ(response.recorded_status, 501u);
  response = Post("Raw", "");
  EXPECT_EQ(response.status_line, "400 Bad Request");
  EXPECT_TRUE(extension_.calls.empty());
}

TEST_F(WebExtensionTest, HandlerErrorIs500WithStatusLineOnly) {
  extension_.throws = true;
  const harness::Response response = Get("Default");
  EXPECT_EQ(response.status_line, "500 Internal Server Error");
  EXPECT_EQ(response.result, static_cast<DWORD>(HSE_STATUS_ERROR));
  EXPECT_TRUE(response.writes.empty());
}

TEST_F(WebExtensionTest, HeaderSendFailureStopsUnlessTheClientReset) {
  extension_.body = "body";
  harness::Request request;
  harness::Faults reset;
  reset.header_send_error = platform::kConnectionResetCode;
  harness::Response response = harness::Run(&Proc, request, reset);
  EXPECT_EQ(response.result, static_cast<DWORD>(HSE_STATUS_SUCCESS));
  EXPECT_EQ(response.body(), "body");

  harness::Faults broken;
  broken.header_send_error = EPIPE;
  response = harness::Run(&Proc, request, broken);
  EXPECT_EQ(response.result, static_cast<DWORD>(HSE_STATUS_ERROR));
  EXPECT_EQ(response.recorded_status, 500u);
  EXPECT_TRUE(response.writes.empty());
}

TEST_F(WebExtensionTest, WriteFailuresAre500) {
  for (int failing : {1, 2}) {
    harness::Faults faults;
    faults.fail_write_number = failing;
    const harness::Response response = harness::Run(&Proc, harness::Request{}, faults);
    EXPECT_EQ(response.result, static_cast<DWORD>(HSE_STATUS_ERROR)) << failing;
    EXPECT_EQ(response.recorded_status, 500u) << failing;
  }
}

// The detached response goes back to its stream once, also when the send
// step throws (no memory for the header texts, or a failing write).
TEST_F(WebExtensionTest, DetachedResponseIsReleasedWhateverTheSendThrows) {
  const harness::Response sent = Get("Default");
  EXPECT_EQ(sent.body(), "ok");
  EXPECT_EQ(extension_.releases.load(), 1);

  extension_.releases = 0;
  extension_.send_throws = true;
  EXPECT_THROW(Get("Default"), std::bad_alloc);
  EXPECT_EQ(extension_.releases.load(), 1);
}

// Writes that complete later: taken only for a body larger than one piece,
// and where the server offers them; the bytes are those of the writes that
// wait, and the response goes back to its stream once the send ends.
TEST_F(WebExtensionTest, LargeBodyGoesOutByWritesThatCompleteLater) {
  extension_.headers = "Content-Type: text/plain\r\n";
  extension_.body.assign(WebExtension::kFileBodyPiece + 1, 'b');
  const harness::Response waited = Get("Default");
  extension_.releases = 0;
  for (const auto mode :
       {harness::Faults::AsyncWrites::kAfterReturn, harness::Faults::AsyncWrites::kOnAnotherThread,
        harness::Faults::AsyncWrites::kInsideWriteClient}) {
    harness::Faults faults;
    faults.async_writes = mode;
    const harness::Response later = harness::Run(&Proc, harness::Request{}, faults);
    EXPECT_EQ(later.result, static_cast<DWORD>(HSE_STATUS_PENDING));
    EXPECT_EQ(later.done_with_session_calls, 1);
    EXPECT_EQ(later.session_status, std::optional<std::uint32_t>(HSE_STATUS_SUCCESS));
    EXPECT_EQ(later.async_writes, 2);
    EXPECT_EQ(later.header_text, waited.header_text);
    EXPECT_EQ(later.writes, waited.writes);
  }
  EXPECT_EQ(extension_.releases.load(), 3);
}

TEST_F(WebExtensionTest, SmallBodyKeepsTheWritesThatWaitWithoutAsking) {
  extension_.body.assign(WebExtension::kFileBodyPiece, 's');
  harness::Faults faults;
  faults.async_writes = harness::Faults::AsyncWrites::kAfterReturn;
  const harness::Response response = harness::Run(&Proc, harness::Request{}, faults);
  EXPECT_EQ(response.result, static_cast<DWORD>(HSE_STATUS_SUCCESS));
  EXPECT_EQ(response.io_completion_requests, 0);
  EXPECT_EQ(response.done_with_session_calls, 0);
  EXPECT_EQ(response.body(), extension_.body);
}

TEST_F(WebExtensionTest, FailedWriteThatCompletesLaterEndsTheSessionWithError) {
  extension_.body.assign(WebExtension::kFileBodyPiece + 1, 'b');
  for (int failing : {1, 2}) {
    harness::Faults faults;
    faults.async_writes = failing == 1 ? harness::Faults::AsyncWrites::kInsideWriteClient
                                       : harness::Faults::AsyncWrites::kOnAnotherThread;
    faults.fail_write_number = failing;
    const harness::Response response = harness::Run(&Proc, harness::Request{}, faults);
    EXPECT_EQ(response.result, static_cast<DWORD>(HSE_STATUS_PENDING)) << failing;
    EXPECT_EQ(response.done_with_session_calls, 1) << failing;
    EXPECT_EQ(response.session_status, std::optional<std::uint32_t>(HSE_STATUS_ERROR)) << failing;
    EXPECT_EQ(response.recorded_status, 500u) << failing;
    EXPECT_EQ(response.async_writes, failing) << "nothing written after the failure";
  }
}

TEST_F(WebExtensionTest, ConcurrentRequestsShareOneParameterCache) {
  ASSERT_EQ(extension_.cached_names(), nullptr) << "built at first use";
  std::vector<std::thread> threads;
  std::vector<harness::Response> responses(8);
  for (std::size_t i = 0; i < responses.size(); ++i) {
    threads.emplace_back([&, i] {
      harness::Request request;
      request.query = "Six?Logon=u" + std::to_string(i);
      responses[i] = harness::Run(&Proc, request);
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (const harness::Response& response : responses) {
    EXPECT_EQ(response.result, static_cast<DWORD>(HSE_STATUS_SUCCESS));
    EXPECT_EQ(response.body(), "ok");
  }
  ASSERT_NE(extension_.cached_names(), nullptr);
  const ParamInfo* cached = extension_.cached_names();
  std::vector<std::string> logons;
  for (const Call& call : extension_.calls) logons.push_back(call.texts.at(0));
  std::sort(logons.begin(), logons.end());
  EXPECT_EQ(logons, (std::vector<std::string>{"u0", "u1", "u2", "u3", "u4", "u5", "u6", "u7"}));
  Get("Six?x");
  EXPECT_EQ(extension_.cached_names(), cached) << "the cache is not rebuilt";
}

}  // namespace
}  // namespace gateway
