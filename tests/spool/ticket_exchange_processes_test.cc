// Many processes spooling requests on one root at once. They are started
// with fork, so this test exists on POSIX only.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "tests/harness/child_process.h"
#include "tests/spool/spooled_requests.h"

namespace spool {
namespace {

// Requests each process makes.
constexpr int kEach = 20;

TEST(ExchangeTicketConcurrencyTest, ProcessesNeverShareATicket) {
  harness::SharedRootProcesses processes(4);
  // Each process records "<ticket> <logon>" per request it made.
  EXPECT_TRUE(processes.RunRecorded(kEach, [](int p, int i) {
    const std::string logon = "p" + std::to_string(p) + "r" + std::to_string(i);
    std::string ticket;
    Exchange(logon, "getlist", "", "p2 of " + logon, "p3 of " + logon, &ticket);
    return (ticket.empty() ? "-" : ticket) + ' ' + logon;
  }));
  std::vector<std::pair<std::string, std::string>> all;
  for (int p = 0; p < processes.count(); ++p) {
    for (const std::string& line : processes.Record(p)) {
      std::istringstream in(line);
      std::string ticket;
      std::string logon;
      if (in >> ticket >> logon) all.emplace_back(ticket == "-" ? "" : ticket, logon);
    }
  }
  EXPECT_EQ(all.size(), static_cast<std::size_t>(processes.count() * kEach));
  CheckSpooledRequests(processes.root(), all);
}

}  // namespace
}  // namespace spool
