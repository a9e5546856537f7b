// Many processes spooling requests on one root at once. They are started
// with fork, so this test exists on POSIX only.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "tests/harness/child_process.h"
#include "tests/harness/temp_dir.h"
#include "tests/spool/spooled_requests.h"

namespace spool {
namespace {

TEST(ExchangeTicketConcurrencyTest, ProcessesNeverShareATicket) {
  harness::SpoolRoot root;
  constexpr int kProcesses = 4;
  constexpr int kEach = 20;
  EXPECT_TRUE(harness::RunInForks(kProcesses, [&root](int p) {
    // Each process records "<ticket> <logon>" per request it made.
    std::ofstream out(root.Path("issued" + std::to_string(p)));
    for (int i = 0; i < kEach; ++i) {
      const std::string logon = "p" + std::to_string(p) + "r" + std::to_string(i);
      std::string ticket;
      Exchange(logon, "getlist", "", "p2 of " + logon, "p3 of " + logon, &ticket);
      out << (ticket.empty() ? "-" : ticket) << ' ' << logon << '\n';
    }
    out.close();
    return out ? 0 : 1;
  }));
  std::vector<std::pair<std::string, std::string>> all;
  for (int p = 0; p < kProcesses; ++p) {
    std::ifstream in(root.Path("issued" + std::to_string(p)));
    std::string ticket;
    std::string logon;
    while (in >> ticket >> logon) all.emplace_back(ticket == "-" ? "" : ticket, logon);
  }
  EXPECT_EQ(all.size(), static_cast<std::size_t>(kProcesses * kEach));
  CheckSpooledRequests(root, all);
}

}  // namespace
}  // namespace spool
