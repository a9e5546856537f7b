// Tests of the hosts' options: reading a listen address.
#include "hosts/host_options.h"

#include <gtest/gtest.h>

#include <string>

namespace hosts {
namespace {

TEST(HostOptionsTest, ListenAddresses) {
  const struct {
    const char* text;
    bool ok;
    const char* address;
    std::uint16_t port;
    bool tls;
  } cases[] = {
      {"127.0.0.1:8080", true, "127.0.0.1", 8080, false},
      {"https://[::1]:8443", true, "::1", 8443, true},
      {"[::1]:0", true, "::1", 0, false},
      {"::1:80", true, "::1", 80, false},  // a bare IPv6 address: the port after the last colon
      {"127.0.0.1", false, "", 0, false},
      {"[::1]", false, "", 0, false},
      {"[::1]x:80", false, "", 0, false},
      {":80", false, "", 0, false},
      {"localhost:80", false, "", 0, false},
      {"127.0.0.1:65536", false, "", 0, false},
      {"127.0.0.1:+80", false, "", 0, false},
      {"https://", false, "", 0, false},
  };
  for (const auto& test : cases) {
    Listener listener;
    std::string error;
    ASSERT_EQ(ParseListener(test.text, &listener, &error), test.ok) << test.text;
    if (!test.ok) {
      EXPECT_FALSE(error.empty()) << test.text;
      continue;
    }
    EXPECT_EQ(listener.address, test.address) << test.text;
    EXPECT_EQ(listener.port, test.port) << test.text;
    EXPECT_EQ(listener.tls, test.tls) << test.text;
  }
}

}  // namespace
}  // namespace hosts
