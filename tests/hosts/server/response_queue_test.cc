#include "hosts/server/response_queue.h"

#include <gtest/gtest.h>

#include <string>

namespace hosts {
namespace {

constexpr std::string_view kHead = "HTTP/1.1 200 OK\r\nDate: Tue, 08 Dec 2026 12:00:00 GMT\r\n";

struct Case {
  const char* name;
  ResponseContext context;
  std::optional<std::uint64_t> length;  // declared with the head
  bool borrowed;                        // the body handed with a callback
  std::string_view wire;                // after kHead
  bool keep_alive;
};

// One response through the queue; the bytes its pieces put on the wire,
// each piece taken off as a write would.
std::string Respond(ResponseQueue& queue, const Case& test, bool* told) {
  queue.Begin(test.context);
  ResponseHead head;
  head.headers.push_back({"Date", "Tue, 08 Dec 2026 12:00:00 GMT"});
  head.content_length = test.length;
  std::string text = queue.TakeBuffer();
  queue.HeadText(head, text);
  queue.QueueHead(std::move(text), 200, test.length);
  static constexpr std::string_view kBody = "hello";
  if (test.borrowed) {
    queue.QueueBody(kBody, [told](bool sent) { *told = sent; });
  } else {
    queue.QueueBody(kBody, nullptr);
  }
  queue.QueueEnd(true);
  std::string wire;
  while (!queue.empty()) {
    ResponseQueue::Piece& piece = queue.front();
    wire += piece.own;
    wire += piece.borrowed;
    if (piece.chunk_end) wire += "\r\n";
    if (piece.sent) piece.sent(true);
    queue.pop_front();
  }
  return wire;
}

TEST(ResponseQueueTest, ResponsesAreFramedTheSameWithTheBuffersOfEarlierOnes) {
  const Case cases[] = {
      {"length", {11, false, true}, 5, false, "Content-Length: 5\r\n\r\nhello", true},
      {"chunked",
       {11, false, true},
       {},
       false,
       "Transfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n",
       true},
      {"chunked, borrowed",
       {11, false, true},
       {},
       true,
       "Transfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n",
       true},
      {"HTTP/1.0 without length",
       {10, false, true},
       {},
       false,
       "Connection: close\r\n\r\nhello",
       false},
      {"HEAD without length", {11, true, true}, {}, false, "Content-Length: 5\r\n\r\n", true},
      {"HTTP/1.0 keep-alive",
       {10, false, true},
       5,
       false,
       "Content-Length: 5\r\nConnection: keep-alive\r\n\r\nhello",
       true},
      {"client closes",
       {11, false, false},
       5,
       true,
       "Content-Length: 5\r\nConnection: close\r\n\r\nhello",
       false},
  };
  // Every response on one queue, twice over: from the second on, each is
  // written into the buffers an earlier one left.
  ResponseQueue queue;
  for (int round = 0; round < 2; ++round) {
    for (const Case& test : cases) {
      bool told = false;
      EXPECT_EQ(Respond(queue, test, &told), std::string(kHead) + std::string(test.wire))
          << test.name << ", round " << round;
      EXPECT_EQ(told, test.borrowed) << test.name;
      EXPECT_EQ(queue.keep_alive(), test.keep_alive) << test.name;
      EXPECT_EQ(queue.body_bytes(), 5u) << test.name;
      EXPECT_EQ(queue.queued_bytes(), 0u) << test.name;
    }
  }
}

// The portal's module answers HEAD with a status line alone and an error: the
// length GET would have is not known, so none is claimed, and a pipelined
// request after it is still served.
TEST(ResponseQueueTest, HeadTheModuleWroteNothingForClaimsNoLengthAndKeepsTheConnection) {
  ResponseQueue queue;
  queue.Begin({11, true, true});
  ResponseHead head;
  head.headers.push_back({"Date", "Tue, 08 Dec 2026 12:00:00 GMT"});
  std::string text;
  queue.HeadText(head, text);
  queue.QueueHead(std::move(text), 200, 0);
  queue.QueueEnd(false);
  std::string wire;
  for (; !queue.empty(); queue.pop_front()) wire += queue.front().own;
  EXPECT_EQ(wire, std::string(kHead) + "\r\n");
  EXPECT_TRUE(queue.keep_alive());
}

}  // namespace
}  // namespace hosts
