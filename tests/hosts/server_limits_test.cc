// Tests of what the embedded server admits at once.
#include "hosts/server_limits.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

namespace hosts {
namespace {

TEST(ServerLimitsTest, CountsPerAddressAndBodyMemory) {
  LimitSettings settings;
  settings.max_connections = 3;
  settings.per_address_connections = 2;
  settings.per_address_responses = 1;
  settings.max_held_body_bytes = 100;
  ServerLimits limits(settings);
  EXPECT_TRUE(limits.OpenConnection("a"));
  EXPECT_TRUE(limits.OpenConnection("a"));
  EXPECT_FALSE(limits.OpenConnection("a"));  // per address
  EXPECT_TRUE(limits.OpenConnection("b"));
  EXPECT_FALSE(limits.OpenConnection("c"));  // in all
  limits.CloseConnection("a");
  EXPECT_TRUE(limits.OpenConnection("c"));
  EXPECT_TRUE(limits.StartResponse("a"));
  EXPECT_FALSE(limits.StartResponse("a"));
  EXPECT_TRUE(limits.StartResponse("b"));
  limits.EndResponse("a");
  EXPECT_TRUE(limits.StartResponse("a"));
  EXPECT_TRUE(limits.HoldBody(60));
  EXPECT_FALSE(limits.HoldBody(41));
  limits.ReleaseBody(60);
  EXPECT_TRUE(limits.HoldBody(100));
}

// Every call of the module may open its files: the connections are what the
// descriptor limit leaves once they can.
TEST(ServerLimitsTest, ConnectionsLeaveDescriptorsForEveryModuleCall) {
  rlimit limit{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
  limit.rlim_cur = 1000;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
  const std::size_t most = 1000 - kBaseDescriptorReserve - 64 * kDescriptorsPerModuleCall;
  EXPECT_EQ(ConnectionsWithinDescriptors(0, 64), most);
  EXPECT_EQ(ConnectionsWithinDescriptors(5000, 64), most);
  EXPECT_EQ(ConnectionsWithinDescriptors(10, 64), 10u);
  EXPECT_EQ(ConnectionsWithinDescriptors(0, 4096), 16u);  // the fewest it goes to
}

}  // namespace
}  // namespace hosts
