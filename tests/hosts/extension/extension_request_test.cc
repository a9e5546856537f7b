// Tests of the control block a host hands an extension and of how what the
// extension sends is collected.
#include "hosts/extension/extension_request.h"
#include "hosts/host_options.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <new>
#include <optional>
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
  input.texts = RequestTexts(
      {.method = "POST", .query = "StoreData", .path_info = "/scripts/dudarovuvadu.dll"});
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

// A host's transport that records what it is handed, and can play a client
// that has gone, a host that writes asynchronously, and one that throws.
class RecordingTransport : public ResponseTransport {
 public:
  bool SendHead(const ResponseHead& given) override {
    ++heads;
    head.status = given.status;
    head.content_length = given.content_length;
    headers.clear();
    for (const ResponseHeader& header : given.headers) {
      headers += std::string(header.name) + ": " + std::string(header.value) + "\n";
    }
    return !gone;
  }
  bool SendBody(std::string_view bytes) override {
    if (throws) throw std::bad_alloc();
    pieces.push_back(bytes.data());
    body += bytes;
    return !gone;
  }
  bool CanSendAsync() const override { return async; }
  bool SendBodyAsync(std::string_view bytes, Sent sent) override {
    body += bytes;
    pending.push_back(std::move(sent));
    return true;
  }
  void End(bool reusable_end) override {
    ++ends;
    reusable = reusable_end;
  }
  // Completes the oldest asynchronous send.
  void CompleteOne(bool sent) {
    Sent next = std::move(pending.front());
    pending.erase(pending.begin());
    next(sent);
  }

  ResponseHead head;
  std::string headers;
  std::string body;
  std::vector<const char*> pieces;
  std::vector<Sent> pending;
  int heads = 0;
  int ends = 0;
  bool reusable = false;
  bool gone = false;
  bool async = false;
  bool throws = false;
};

// Runs the extension on `input` and ends its response; the result.
DWORD Serve(RecordingTransport& transport, RequestInput input,
            std::size_t hold_limit = defaults::kHoldLimit) {
  ExtensionRequest request(std::move(input), transport, hold_limit, defaults::kAvailableLimit);
  const DWORD result = request.Run(&CallExtension);
  request.Finish(result);
  return result;
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
    RecordingTransport transport;
    EXPECT_EQ(Serve(transport, Post(body)), static_cast<DWORD>(HSE_STATUS_SUCCESS));
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
  RecordingTransport transport;
  Serve(transport, Post(Pattern(100000)));
}

TEST(ExtensionRequestTest, QueryStringIsRawAndWritableInPlace) {
  RequestInput input;
  input.texts = RequestTexts({.method = "GET", .query = "DoCommand?Logon=anna&P3=a%20b+c "});
  std::string seen;
  g_extension = [&](EXTENSION_CONTROL_BLOCK* ecb) -> DWORD {
    seen = ecb->lpszQueryString;
    ecb->lpszQueryString[seen.size() - 1] = '\0';  // the module trims in place
    EXPECT_STREQ(ecb->lpszMethod, "GET");
    EXPECT_STREQ(ecb->lpszContentType, "");
    EXPECT_EQ(ecb->cbTotalBytes, 0u);
    return HSE_STATUS_SUCCESS;
  };
  RecordingTransport transport;
  Serve(transport, std::move(input));
  EXPECT_EQ(seen, "DoCommand?Logon=anna&P3=a%20b+c ");
}

TEST(ExtensionRequestTest, TextsWrittenToTheirEndLeaveTheOthersAlone) {
  RequestInput input = Post("");
  g_extension = [](EXTENSION_CONTROL_BLOCK* ecb) -> DWORD {
    for (char* text : {ecb->lpszMethod, ecb->lpszQueryString}) {
      std::fill(text, text + std::strlen(text), 'x');
    }
    EXPECT_STREQ(ecb->lpszQueryString, "xxxxxxxxx");
    EXPECT_STREQ(ecb->lpszPathInfo, "/scripts/dudarovuvadu.dll");
    EXPECT_STREQ(ecb->lpszPathTranslated, "");
    EXPECT_STREQ(ecb->lpszContentType, "");
    return HSE_STATUS_SUCCESS;
  };
  RecordingTransport transport;
  Serve(transport, std::move(input));
}

TEST(ExtensionRequestTest, HeaderTextAndWrittenBytesFormOneStream) {
  g_extension = [](EXTENSION_CONTROL_BLOCK* ecb) -> DWORD {
    EXPECT_TRUE(SendHeader(ecb, "200 OK", "Content-Type: text/html\r\n"));
    EXPECT_TRUE(Write(ecb, "\r\n"));
    EXPECT_TRUE(Write(ecb, std::string("a\0b", 3)));
    EXPECT_TRUE(Write(ecb, ""));
    return HSE_STATUS_SUCCESS;
  };
  RecordingTransport transport;
  Serve(transport, Post(""));
  EXPECT_EQ(transport.headers, "Content-Type: text/html\n");
  EXPECT_EQ(transport.body, std::string("a\0b", 3));
  EXPECT_EQ(transport.head.content_length, 3u);
  EXPECT_TRUE(transport.reusable);
}

TEST(ExtensionRequestTest, SecondHeaderCallFails) {
  g_extension = [](EXTENSION_CONTROL_BLOCK* ecb) -> DWORD {
    EXPECT_TRUE(SendHeader(ecb, "200 OK", nullptr));
    EXPECT_FALSE(SendHeader(ecb, "500 Internal Server Error", nullptr));
    EXPECT_FALSE(ecb->ServerSupportFunction(ecb->ConnID, 9999, nullptr, nullptr, nullptr));
    return HSE_STATUS_SUCCESS;
  };
  RecordingTransport transport;
  Serve(transport, Post(""));
  EXPECT_EQ(transport.head.status, 200u);
  EXPECT_EQ(transport.body, "");
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
    RecordingTransport transport;
    Serve(transport, Post(""));
    EXPECT_EQ(transport.head.status, test.expected) << test.name;
    EXPECT_EQ(transport.reusable, test.result != HSE_STATUS_ERROR) << test.name;
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
  RecordingTransport transport;
  Serve(transport, std::move(input));
}

TEST(ExtensionRequestTest, LargeWritesGoOutFromTheExtensionsOwnBuffer) {
  const std::string big = Pattern(300000);
  RecordingTransport transport;
  BOOL second_header = TRUE;
  g_extension = [&](EXTENSION_CONTROL_BLOCK* ecb) -> DWORD {
    SendHeader(ecb, "200 OK", "Content-Length: 300009\r\n");
    Write(ecb, "\r\nhead:");  // small: held
    DWORD size = static_cast<DWORD>(big.size());
    ecb->WriteClient(ecb->ConnID, const_cast<char*>(big.data()), &size, 0);  // past the limit
    Write(ecb, "tail");  // once started, everything follows at once
    second_header = SendHeader(ecb, "500 Oops", nullptr);
    return HSE_STATUS_SUCCESS;
  };
  Serve(transport, Post(""), 64 * 1024);
  ASSERT_EQ(transport.pieces.size(), 3u);
  EXPECT_EQ(transport.pieces[1], big.data());  // not copied on the way
  EXPECT_EQ(transport.headers, "");            // the length frames, it is no header
  EXPECT_EQ(transport.head.content_length, 300009u);
  EXPECT_TRUE(transport.body == "head:" + big + "tail");
  EXPECT_FALSE(second_header);
  EXPECT_EQ(transport.head.status, 200u);
  EXPECT_TRUE(transport.reusable);
}

TEST(ExtensionRequestTest, SmallResponsesAreHeldAndAGoneClientFailsTheWrite) {
  for (const bool gone : {false, true}) {
    RecordingTransport transport;
    transport.gone = gone;
    BOOL small_written = FALSE;
    BOOL big_written = TRUE;
    int big_errno = 0;
    g_extension = [&](EXTENSION_CONTROL_BLOCK* ecb) -> DWORD {
      SendHeader(ecb, "200 OK", "");
      small_written = Write(ecb, "\r\n" + std::string(1000, 's'));
      EXPECT_EQ(transport.heads, 0);  // held
      errno = 0;
      big_written = Write(ecb, std::string(70000, 'b'));
      big_errno = errno;
      return HSE_STATUS_SUCCESS;
    };
    Serve(transport, Post(""), 64 * 1024);
    EXPECT_TRUE(small_written);
    EXPECT_EQ(transport.pieces.size(), gone ? 0u : 2u);
    EXPECT_EQ(big_written, gone ? FALSE : TRUE);
    EXPECT_EQ(big_errno, gone ? ECONNRESET : 0);
    EXPECT_EQ(transport.ends, 1);
    EXPECT_EQ(transport.reusable, !gone);
  }
}

// A first line with no end is not held past the hold limit (httpd's
// glue once held it without bound): the response starts, the line its body.
TEST(ExtensionRequestTest, ALineWithoutAnEndIsNotHeldPastTheLimit) {
  RecordingTransport transport;
  int heads_during_the_call = 0;
  g_extension = [&](EXTENSION_CONTROL_BLOCK* ecb) -> DWORD {
    for (int i = 0; i < 3; ++i) Write(ecb, std::string(40000, 'x'));
    heads_during_the_call = transport.heads;
    return HSE_STATUS_SUCCESS;
  };
  Serve(transport, Post(""), 64 * 1024);
  EXPECT_EQ(heads_during_the_call, 1);
  EXPECT_EQ(transport.body, std::string(120000, 'x'));
}

// Once a response has started to go out a header call could only put a
// status line into the body: refused. Before, its text goes first.
TEST(ExtensionRequestTest, AHeaderCallIsTakenUntilTheResponseHasStarted) {
  for (const bool started : {false, true}) {
    RecordingTransport transport;
    BOOL header = FALSE;
    int header_errno = 0;
    g_extension = [&](EXTENSION_CONTROL_BLOCK* ecb) -> DWORD {
      Write(ecb, "body");
      errno = 0;
      header = SendHeader(ecb, "201 Made", "X-Late: 1\r\n\r\n");
      header_errno = errno;
      Write(ecb, "more");
      return HSE_STATUS_SUCCESS;
    };
    Serve(transport, Post(""), started ? 0 : 64 * 1024);
    EXPECT_EQ(header, started ? FALSE : TRUE);
    EXPECT_EQ(header_errno, started ? EALREADY : 0);
    EXPECT_EQ(transport.head.status, started ? 200u : 201u);
    EXPECT_EQ(transport.headers, started ? "" : "X-Late: 1\n");
    EXPECT_EQ(transport.body, "bodymore");
  }
}

// A host that writes without holding a thread offers asynchronous writes:
// the bytes stay the extension's until its callback is told, and the request
// ends with the session call.
TEST(ExtensionRequestTest, AsynchronousWritesCompleteThroughTheExtensionsCallback) {
  for (const bool async : {true, false}) {
    RecordingTransport transport;
    transport.async = async;
    static std::vector<std::pair<DWORD, DWORD>> completions;
    completions.clear();
    static const std::string part = Pattern(100000);
    BOOL registered = FALSE;
    BOOL written = FALSE;
    g_extension = [&](EXTENSION_CONTROL_BLOCK* ecb) -> DWORD {
      PFN_HSE_IO_COMPLETION callback = [](EXTENSION_CONTROL_BLOCK*, void* context, DWORD bytes,
                                          DWORD error) {
        EXPECT_EQ(context, &completions);
        completions.emplace_back(bytes, error);
      };
      registered = ecb->ServerSupportFunction(ecb->ConnID, HSE_REQ_IO_COMPLETION,
                                              reinterpret_cast<LPVOID>(callback), nullptr,
                                              reinterpret_cast<LPDWORD>(&completions));
      // As the module writes: the header call's text, then "\r\n" and the
      // body by asynchronous writes.
      SendHeader(ecb, "200 OK", "Content-Length: 100000\r\n");
      DWORD size = 2;
      written = ecb->WriteClient(ecb->ConnID, const_cast<char*>("\r\n"), &size, HSE_IO_ASYNC);
      return written ? HSE_STATUS_PENDING : HSE_STATUS_ERROR;
    };
    ExtensionRequest request(Post(""), transport, defaults::kHoldLimit, defaults::kAvailableLimit);
    std::optional<DWORD> session;
    request.OnSessionDone([&](DWORD status) { session = status; });
    const DWORD result = request.Run(&CallExtension);
    EXPECT_EQ(registered, async ? TRUE : FALSE);
    EXPECT_EQ(written, async ? TRUE : FALSE);
    if (!async) continue;
    EXPECT_EQ(result, static_cast<DWORD>(HSE_STATUS_PENDING));
    EXPECT_TRUE(completions.empty());                   // not before the host says so
    EXPECT_EQ(transport.head.content_length, 100000u);  // "\r\n" ended the header block
    EXPECT_EQ(transport.body, "");
    transport.CompleteOne(true);
    EXPECT_EQ(completions.at(0), std::make_pair(DWORD{2}, DWORD{0}));
    EXTENSION_CONTROL_BLOCK& ecb = request.control_block();
    DWORD size = static_cast<DWORD>(part.size());
    EXPECT_TRUE(ecb.WriteClient(ecb.ConnID, const_cast<char*>(part.data()), &size, HSE_IO_ASYNC));
    EXPECT_TRUE(transport.body == part);
    transport.CompleteOne(true);
    EXPECT_EQ(completions.at(1), std::make_pair(DWORD{100000}, DWORD{0}));
    DWORD done = HSE_STATUS_SUCCESS;
    EXPECT_TRUE(
        ecb.ServerSupportFunction(ecb.ConnID, HSE_REQ_DONE_WITH_SESSION, &done, nullptr, nullptr));
    EXPECT_EQ(session, static_cast<DWORD>(HSE_STATUS_SUCCESS));
    request.Finish(*session);
    EXPECT_TRUE(transport.reusable);
  }
}

// Nothing a host's code throws crosses the C interface: the call fails with
// the not-enough-memory error.
TEST(ExtensionRequestTest, AFailureInsideTheHostFailsTheCallOnly) {
  RecordingTransport transport;
  transport.throws = true;
  int write_errno = 0;
  g_extension = [&](EXTENSION_CONTROL_BLOCK* ecb) -> DWORD {
    errno = 0;
    EXPECT_FALSE(Write(ecb, std::string(70000, 'x')));
    write_errno = errno;
    return HSE_STATUS_ERROR;
  };
  Serve(transport, Post(""), 1024);
  EXPECT_EQ(write_errno, ENOMEM);
}

// The body past its first part, read on demand as httpd does.
class RecordingBodySource : public BodySource {
 public:
  bool ReadMore(char* buffer, std::size_t capacity, std::size_t* count) override {
    ++reads;
    if (broken) return false;
    *count = std::min(capacity, rest.size() - offset);
    std::copy_n(rest.data() + offset, *count, buffer);
    offset += *count;
    return true;
  }
  std::string rest;
  std::size_t offset = 0;
  int reads = 0;
  bool broken = false;
};

TEST(ExtensionRequestTest, ReadClientReadsPastTheFirstPartFromTheServer) {
  for (const bool broken : {false, true}) {
    RecordingBodySource server;
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
    RecordingTransport transport;
    Serve(transport, std::move(input));
    EXPECT_EQ(failed, broken);
    EXPECT_TRUE(seen == (broken ? "" : server.rest)) << seen.size();
    EXPECT_EQ(server.reads, broken ? 1 : 19);  // 18 pieces of up to 4096, then the end
  }
}

}  // namespace
}  // namespace hosts
