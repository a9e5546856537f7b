// Tests of the control block a host hands an extension and of how what the
// extension sends is collected.
#include "hosts/extension_request.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace hosts {
namespace {

// The extension under test: a lambda, reached through a plain function as
// the interface requires.
std::function<DWORD(EXTENSION_CONTROL_BLOCK*)> g_extension;
DWORD CallExtension(EXTENSION_CONTROL_BLOCK* ecb) { return g_extension(ecb); }

RequestInput Post(std::string body) {
  RequestInput input;
  input.method = "POST";
  input.query = "StoreData";
  input.path_info = "/scripts/dudarovuvadu.dll";
  input.body = std::move(body);
  return input;
}

std::string Pattern(std::size_t size) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
  return bytes;
}

BOOL SendHeader(EXTENSION_CONTROL_BLOCK* ecb, const char* status, const char* headers) {
  return ecb->ServerSupportFunction(ecb->ConnID, HSE_REQ_SEND_RESPONSE_HEADER,
                                    const_cast<char*>(status), nullptr,
                                    reinterpret_cast<LPDWORD>(const_cast<char*>(headers)));
}

BOOL Write(EXTENSION_CONTROL_BLOCK* ecb, std::string bytes) {
  DWORD size = static_cast<DWORD>(bytes.size());
  return ecb->WriteClient(ecb->ConnID, bytes.data(), &size, 0);
}

TEST(ExtensionRequestTest, LargeBodyIsOfferedInPartAndReadWholeThroughReadClient) {
  for (const std::size_t size : {std::size_t{0}, std::size_t{10}, std::size_t{48 * 1024},
                                 std::size_t{48 * 1024 + 1}, std::size_t{300000}}) {
    const std::string body = Pattern(size);
    std::string seen;
    std::size_t calls = 0;
    g_extension = [&](EXTENSION_CONTROL_BLOCK* ecb) -> DWORD {
      EXPECT_EQ(ecb->cbTotalBytes, size);
      EXPECT_EQ(ecb->cbAvailable, std::min<std::size_t>(size, 48 * 1024));
      seen.assign(reinterpret_cast<char*>(ecb->lpbData), ecb->cbAvailable);
      // Read the rest in odd-sized pieces, as the module reads "the bytes
      // still missing" straight behind what it has.
      for (;;) {
        char chunk[4093];
        DWORD got = sizeof chunk;
        ++calls;
        if (!ecb->ReadClient(ecb->ConnID, chunk, &got)) return HSE_STATUS_ERROR;
        if (got == 0) break;
        seen.append(chunk, got);
      }
      return HSE_STATUS_SUCCESS;
    };
    ExtensionRequest request(Post(body));
    request.Run(&CallExtension);
    EXPECT_EQ(request.result(), static_cast<DWORD>(HSE_STATUS_SUCCESS));
    EXPECT_TRUE(seen == body) << "size " << size;
    EXPECT_EQ(calls, (size > 48 * 1024 ? (size - 48 * 1024 + 4092) / 4093 : 0) + 1);
  }
}

TEST(ExtensionRequestTest, ReadClientRefusesANullBuffer) {
  g_extension = [](EXTENSION_CONTROL_BLOCK* ecb) -> DWORD {
    DWORD size = 10;
    errno = 0;
    EXPECT_FALSE(ecb->ReadClient(ecb->ConnID, nullptr, &size));
    EXPECT_EQ(errno, EINVAL);
    EXPECT_FALSE(ecb->WriteClient(ecb->ConnID, nullptr, &size, 0));
    return HSE_STATUS_SUCCESS;
  };
  ExtensionRequest request(Post(Pattern(100000)));
  request.Run(&CallExtension);
}

TEST(ExtensionRequestTest, QueryStringIsRawAndWritableInPlace) {
  RequestInput input;
  input.method = "GET";
  input.query = "DoCommand?Logon=anna&P3=a%20b+c ";
  std::string seen;
  g_extension = [&](EXTENSION_CONTROL_BLOCK* ecb) -> DWORD {
    seen = ecb->lpszQueryString;
    ecb->lpszQueryString[seen.size() - 1] = '\0';  // the module trims in place
    EXPECT_STREQ(ecb->lpszMethod, "GET");
    EXPECT_STREQ(ecb->lpszContentType, "");
    EXPECT_EQ(ecb->cbTotalBytes, 0u);
    return HSE_STATUS_SUCCESS;
  };
  ExtensionRequest request(std::move(input));
  request.Run(&CallExtension);
  EXPECT_EQ(seen, "DoCommand?Logon=anna&P3=a%20b+c ");
}

TEST(ExtensionRequestTest, HeaderTextAndWrittenBytesFormOneStream) {
  g_extension = [](EXTENSION_CONTROL_BLOCK* ecb) -> DWORD {
    EXPECT_TRUE(SendHeader(ecb, "200 OK", "Content-Type: text/html\r\n"));
    EXPECT_TRUE(Write(ecb, "\r\n"));
    EXPECT_TRUE(Write(ecb, std::string("a\0b", 3)));
    EXPECT_TRUE(Write(ecb, ""));
    return HSE_STATUS_SUCCESS;
  };
  ExtensionRequest request(Post(""));
  request.Run(&CallExtension);
  EXPECT_TRUE(request.header_sent());
  EXPECT_EQ(request.stream(), std::string("Content-Type: text/html\r\n\r\na\0b", 30));
  EXPECT_TRUE(request.KeepConnection());
}

TEST(ExtensionRequestTest, SecondHeaderCallFails) {
  g_extension = [](EXTENSION_CONTROL_BLOCK* ecb) -> DWORD {
    EXPECT_TRUE(SendHeader(ecb, "200 OK", nullptr));
    EXPECT_FALSE(SendHeader(ecb, "500 Internal Server Error", nullptr));
    EXPECT_FALSE(ecb->ServerSupportFunction(ecb->ConnID, 9999, nullptr, nullptr, nullptr));
    return HSE_STATUS_SUCCESS;
  };
  ExtensionRequest request(Post(""));
  request.Run(&CallExtension);
  EXPECT_EQ(request.StatusCode(), 200u);
  EXPECT_EQ(request.stream(), "");
}

TEST(ExtensionRequestTest, StatusToAnswerWith) {
  const struct {
    const char* name;
    const char* status_line;  // nullptr: no header call
    DWORD recorded;           // 0: left as the host set it
    DWORD result;
    unsigned expected;
  } cases[] = {
      {"status line", "404 Not Found", 0, HSE_STATUS_SUCCESS, 404},
      {"status line of a failed request", "413 Request entity was too large", 0, HSE_STATUS_ERROR,
       413},
      {"unreadable status line uses the recorded status", "OK", 0, HSE_STATUS_SUCCESS, 200},
      {"no header call, recorded status", nullptr, 500, HSE_STATUS_ERROR, 500},
      {"failure without a word", nullptr, 0, HSE_STATUS_ERROR, 500},
      {"success without a word", nullptr, 0, HSE_STATUS_SUCCESS, 200},
      {"recorded status out of range", nullptr, 42, HSE_STATUS_SUCCESS, 500},
  };
  for (const auto& test : cases) {
    g_extension = [&](EXTENSION_CONTROL_BLOCK* ecb) -> DWORD {
      EXPECT_EQ(ecb->dwHttpStatusCode, 200u);
      if (test.recorded != 0) ecb->dwHttpStatusCode = test.recorded;
      if (test.status_line != nullptr) SendHeader(ecb, test.status_line, nullptr);
      return test.result;
    };
    ExtensionRequest request(Post(""));
    request.Run(&CallExtension);
    EXPECT_EQ(request.StatusCode(), test.expected) << test.name;
    EXPECT_EQ(request.KeepConnection(), test.result != HSE_STATUS_ERROR) << test.name;
  }
}

TEST(ExtensionRequestTest, ServerVariablesReachTheExtension) {
  RequestInput input = Post("");
  input.variables.Set("SERVER_PORT", "8080");
  g_extension = [](EXTENSION_CONTROL_BLOCK* ecb) -> DWORD {
    char buffer[250];
    DWORD size = sizeof buffer;
    EXPECT_TRUE(
        ecb->GetServerVariable(ecb->ConnID, const_cast<char*>("SERVER_PORT"), buffer, &size));
    EXPECT_STREQ(buffer, "8080");
    size = 2;
    EXPECT_FALSE(
        ecb->GetServerVariable(ecb->ConnID, const_cast<char*>("SERVER_PORT"), buffer, &size));
    EXPECT_EQ(size, 5u);
    // A null handle is refused, not followed.
    size = sizeof buffer;
    EXPECT_FALSE(ecb->GetServerVariable(nullptr, const_cast<char*>("SERVER_PORT"), buffer, &size));
    return HSE_STATUS_SUCCESS;
  };
  ExtensionRequest request(std::move(input));
  request.Run(&CallExtension);
}

// A sink that records what it is handed, as the host's network side would
// send it, and can play a client that has gone.
class RecordingSink : public ResponseSink {
 public:
  bool Stream(std::string_view held, std::string_view bytes) override {
    calls.push_back({std::string(held), bytes.size(), bytes.data()});
    sent += held;
    sent += bytes;
    return !gone;
  }
  struct Call {
    std::string held;
    std::size_t size;
    const char* data;
  };
  std::vector<Call> calls;
  std::string sent;
  bool gone = false;
};

TEST(ExtensionRequestTest, LargeWritesGoToTheSinkFromTheExtensionsOwnBuffer) {
  const std::string big = Pattern(300000);
  RecordingSink sink;
  const char* big_data = nullptr;
  BOOL second_header = TRUE;
  g_extension = [&](EXTENSION_CONTROL_BLOCK* ecb) -> DWORD {
    SendHeader(ecb, "200 OK", "Content-Length: 300006\r\n");
    Write(ecb, "\r\nhead:");  // small: held
    DWORD size = static_cast<DWORD>(big.size());
    big_data = big.data();
    ecb->WriteClient(ecb->ConnID, const_cast<char*>(big.data()), &size, 0);  // past the threshold
    Write(ecb, "tail");  // once streaming, everything follows at once
    second_header = SendHeader(ecb, "500 Oops", nullptr);
    return HSE_STATUS_SUCCESS;
  };
  ExtensionRequest request(Post(""));
  request.SetSink(&sink, 64 * 1024);
  request.Run(&CallExtension);
  EXPECT_TRUE(request.streamed());
  EXPECT_TRUE(request.stream().empty());
  ASSERT_EQ(sink.calls.size(), 2u);
  EXPECT_EQ(sink.calls[0].held, "Content-Length: 300006\r\n\r\nhead:");
  EXPECT_EQ(sink.calls[0].data, big_data);  // not copied on the way
  EXPECT_EQ(sink.calls[1].held, "");
  EXPECT_TRUE(sink.sent == "Content-Length: 300006\r\n\r\nhead:" + big + "tail");
  EXPECT_FALSE(second_header);
  EXPECT_EQ(request.StatusCode(), 200u);
}

TEST(ExtensionRequestTest, SmallResponsesAreHeldAndAGoneClientFailsTheWrite) {
  for (const bool gone : {false, true}) {
    RecordingSink sink;
    sink.gone = gone;
    BOOL small_written = FALSE;
    BOOL big_written = TRUE;
    int big_errno = 0;
    g_extension = [&](EXTENSION_CONTROL_BLOCK* ecb) -> DWORD {
      SendHeader(ecb, "200 OK", "");
      small_written = Write(ecb, "\r\n" + std::string(1000, 's'));
      errno = 0;
      big_written = Write(ecb, std::string(70000, 'b'));
      big_errno = errno;
      return HSE_STATUS_SUCCESS;
    };
    ExtensionRequest request(Post(""));
    request.SetSink(&sink, 64 * 1024);
    request.Run(&CallExtension);
    EXPECT_TRUE(small_written);
    EXPECT_EQ(sink.calls.size(), 1u);
    EXPECT_EQ(sink.calls[0].held.size(), 1002u);
    EXPECT_EQ(big_written, gone ? FALSE : TRUE);
    EXPECT_EQ(big_errno, gone ? ECONNRESET : 0);
  }
}

// A server that takes every write and the header text as they come and
// reads the body past its first part on demand, as httpd does.
class PassThroughServer : public ResponseWriter, public BodySource {
 public:
  bool Write(std::string_view bytes) override {
    taken += bytes;
    return !gone;
  }
  bool Started() const override { return started; }
  bool PutHeader(std::string_view header_text) override {
    taken.insert(0, header_text);
    return true;
  }
  bool ReadMore(char* buffer, std::size_t capacity, std::size_t* count) override {
    ++reads;
    if (broken) return false;
    *count = std::min(capacity, rest.size() - offset);
    std::copy_n(rest.data() + offset, *count, buffer);
    offset += *count;
    return true;
  }
  std::string taken;
  std::string rest;
  std::size_t offset = 0;
  int reads = 0;
  bool started = false;
  bool gone = false;
  bool broken = false;
};

TEST(ExtensionRequestTest, AWriterTakesEveryByteAndTheHeaderUntilItHasStarted) {
  for (const bool started : {false, true}) {
    PassThroughServer server;
    BOOL header = FALSE;
    int header_errno = 0;
    g_extension = [&](EXTENSION_CONTROL_BLOCK* ecb) -> DWORD {
      Write(ecb, "body");
      server.started = started;
      errno = 0;
      header = SendHeader(ecb, "201 Made", "X-Late: 1\r\n\r\n");
      header_errno = errno;
      server.gone = true;
      DWORD size = 4;
      errno = 0;
      const BOOL written = ecb->WriteClient(ecb->ConnID, const_cast<char*>("more"), &size, 0);
      EXPECT_FALSE(written);
      EXPECT_EQ(errno, ECONNRESET);
      EXPECT_EQ(size, 0u);
      return HSE_STATUS_SUCCESS;
    };
    ExtensionRequest request(Post(""));
    request.SetWriter(&server);
    request.Run(&CallExtension);
    EXPECT_TRUE(request.stream().empty());
    EXPECT_EQ(header, started ? FALSE : TRUE);
    EXPECT_EQ(header_errno, started ? EALREADY : 0);
    EXPECT_EQ(request.header_sent(), !started);
    EXPECT_EQ(server.taken, started ? "bodymore" : "X-Late: 1\r\n\r\nbodymore");
  }
}

TEST(ExtensionRequestTest, ReadClientReadsPastTheFirstPartFromTheServer) {
  for (const bool broken : {false, true}) {
    PassThroughServer server;
    server.rest = Pattern(70000);
    server.broken = broken;
    RequestInput input = Post("first part");
    input.total_bytes = static_cast<DWORD>(10 + server.rest.size());
    input.more_body = &server;
    std::string seen;
    bool failed = false;
    g_extension = [&](EXTENSION_CONTROL_BLOCK* ecb) -> DWORD {
      EXPECT_EQ(ecb->cbTotalBytes, 70010u);
      EXPECT_EQ(ecb->cbAvailable, 10u);
      for (;;) {
        char chunk[4096];
        DWORD got = sizeof chunk;
        errno = 0;
        if (!ecb->ReadClient(ecb->ConnID, chunk, &got)) {
          failed = errno == ECONNRESET && got == 0;
          return HSE_STATUS_ERROR;
        }
        if (got == 0) return HSE_STATUS_SUCCESS;
        seen.append(chunk, got);
      }
    };
    ExtensionRequest request(std::move(input));
    request.Run(&CallExtension);
    EXPECT_EQ(failed, broken);
    EXPECT_TRUE(seen == (broken ? "" : server.rest)) << seen.size();
    EXPECT_EQ(server.reads, broken ? 1 : 19);  // 18 pieces of up to 4096, then the end
  }
}

}  // namespace
}  // namespace hosts
