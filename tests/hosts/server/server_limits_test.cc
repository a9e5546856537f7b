// Tests of what the embedded server admits at once.
#include "hosts/server/server_limits.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include "hosts/server/request_rate.h"

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

// A trusted proxy carries many clients: its connections count in all, not
// against one address's bound.
TEST(ServerLimitsTest, TrustedProxyConnectionsAreBoundedInAllOnly) {
  LimitSettings settings;
  settings.max_connections = 4;
  settings.per_address_connections = 1;
  ServerLimits limits(settings);
  EXPECT_EQ(limits.AdmitConnection("proxy", false), ConnectionAdmission::kAdmitted);
  EXPECT_EQ(limits.AdmitConnection("proxy", false), ConnectionAdmission::kAdmitted);
  EXPECT_EQ(limits.AdmitConnection("a", true), ConnectionAdmission::kAdmitted);
  EXPECT_EQ(limits.AdmitConnection("a", true), ConnectionAdmission::kOverPerAddress);
  EXPECT_EQ(limits.AdmitConnection("proxy", false), ConnectionAdmission::kAdmitted);
  EXPECT_EQ(limits.AdmitConnection("proxy", false), ConnectionAdmission::kOverMaxConnections);
  limits.CloseConnection("proxy", false);
  EXPECT_EQ(limits.connections(), 3u);
  EXPECT_EQ(limits.AdmitConnection("b", true), ConnectionAdmission::kAdmitted);
}

// A client's burst passes, then the steady rate; another client keeps its
// own allowance, and a client idle long enough is forgotten.
TEST(RequestRateTest, EachClientHasItsBurstThenTheSteadyRate) {
  auto now = std::chrono::steady_clock::time_point();
  RequestRate rate(RateSettings{2, 3}, [&now] { return now; });
  for (int i = 0; i < 3; ++i) EXPECT_EQ(rate.Take("a"), std::nullopt) << i;
  EXPECT_EQ(rate.Take("a"), std::optional<unsigned>(1));  // half a second: told 1
  EXPECT_EQ(rate.Take("b"), std::nullopt);
  now += std::chrono::milliseconds(500);
  EXPECT_EQ(rate.Take("a"), std::nullopt);
  EXPECT_EQ(rate.Take("a"), std::optional<unsigned>(1));
  now += std::chrono::seconds(10);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(rate.Take("a"), std::nullopt) << i;
  EXPECT_EQ(rate.Take("a"), std::optional<unsigned>(1));
  RequestRate slow(RateSettings{0.1, 1}, [&now] { return now; });
  EXPECT_EQ(slow.Take("c"), std::nullopt);
  EXPECT_EQ(slow.Take("c"), std::optional<unsigned>(10));
  RequestRate off(RateSettings{0, 1}, [&now] { return now; });
  for (int i = 0; i < 5; ++i) EXPECT_EQ(off.Take("c"), std::nullopt);
  EXPECT_EQ(off.tracked(), 0u);
}

TEST(RequestRateTest, ClientsWhoseBucketRefilledAreForgotten) {
  auto now = std::chrono::steady_clock::time_point();
  RequestRate rate(RateSettings{10, 5}, [&now] { return now; });
  for (int i = 0; i < 1024; ++i) (void)rate.Take("client-" + std::to_string(i));
  EXPECT_EQ(rate.tracked(), 1024u);
  now += std::chrono::seconds(1);  // every bucket is full again
  (void)rate.Take("late");
  EXPECT_EQ(rate.tracked(), 1u);
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
