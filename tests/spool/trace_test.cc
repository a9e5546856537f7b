// Run timestamps and trace formatting: what the sink is handed, and that a
// message too long for its buffer is cut rather than overrun.
#include "spool/trace.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "spool/counter_locks.h"

namespace spool {
namespace {

std::vector<std::string>* g_seen = nullptr;
void Observe(std::string_view message) {
  if (g_seen != nullptr) g_seen->emplace_back(message);
}

class TraceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_seen = &seen_;
    testing::SetTraceObserver(&Observe);
    testing::ResetStartTimes();
  }
  void TearDown() override {
    testing::SetTraceObserver(nullptr);
    g_seen = nullptr;
  }
  std::vector<std::string> seen_;
};

const std::regex kStamp(R"(\(\d\d/\d\d/\d{4} \d\d:\d\d:\d\d\))");

TEST_F(TraceTest, StartTimesBeforeAndAfterStamping) {
  EXPECT_EQ(CurrentStartTime(), "(oldcurtime inconnu)");
  EXPECT_EQ(PreviousStartTime(), "(prevtime inconnu)");
  const std::string first = StampStartTime();
  EXPECT_TRUE(std::regex_match(first, kStamp)) << first;
  EXPECT_EQ(CurrentStartTime(), first);
  // No valid current time moved: "(curtime inconnu)", which reads as unknown.
  EXPECT_EQ(PreviousStartTime(), "(prevtime inconnu)");
  const std::string second = StampStartTime();
  EXPECT_EQ(PreviousStartTime(), first);
  EXPECT_EQ(CurrentStartTime(), second);
}

TEST_F(TraceTest, LoadAndUnloadSequencesFrameTheCounterLocks) {
  DeleteCounterLocks();
  RunLoadSequence();
  EXPECT_NE(InCounterLock(), nullptr);
  EXPECT_NE(PostCounterLock(), nullptr);
  const std::string now = CurrentStartTime();
  ASSERT_EQ(seen_.size(), 2u);
  EXPECT_EQ(seen_[0], "[Debut] CurrentStartTime=" + now + ", PreviousStartTime=(prevtime inconnu)");
  EXPECT_EQ(seen_[1],
            "Windows API CriticalSection cr\xE9"
            "\xE9"
            "e");

  RunUnloadSequence();
  EXPECT_EQ(InCounterLock(), nullptr);
  EXPECT_EQ(PostCounterLock(), nullptr);
  ASSERT_EQ(seen_.size(), 4u);
  EXPECT_EQ(seen_[2],
            "Windows API CriticalSection lib\xE9"
            "r\xE9"
            "e");
  EXPECT_EQ(seen_[3], "[Fin] CurrentStartTime=" + now + ", PreviousStartTime=(prevtime inconnu)");
  CreateCounterLocks();  // as the loaded module had them
}

TEST_F(TraceTest, FormatsInFullAndCutsAtTheBuffer) {
  TraceFormat(
      "r\xE9"
      "ception ticket p1=%s p3=%s : %ld",
      "17", "y", 42L);
  ASSERT_EQ(seen_.size(), 1u);
  EXPECT_EQ(seen_[0],
            "r\xE9"
            "ception ticket p1=17 p3=y : 42");

  const std::string long_p3(8192, 'p');
  TraceFormat("p3=%s", long_p3.c_str());
  ASSERT_EQ(seen_.size(), 2u);
  EXPECT_EQ(seen_[1].size(), kTraceCapacity - 1);
  EXPECT_EQ(seen_[1].substr(0, 5), "p3=pp");
}

}  // namespace
}  // namespace spool
