// What the ticket exchange tests share: the exchange with one server's
// texts, and the check that many requests at once each got a request file
// of their own.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "spool/ticket_exchange.h"
#include "tests/harness/temp_dir.h"

namespace spool {

inline const ServerTexts kServer{"http", "portal.example.org", "8080", "/scripts/dudarovuvadu.dll"};

inline std::string Exchange(std::string_view logon, std::string_view command, std::string_view p1,
                            std::string_view p2, std::string_view p3, std::string* ticket_out,
                            std::string* own_wait_page = nullptr) {
  return ExchangeTicket(ResolveRequestRoot(), kServer, logon, command, p1, p2, p3, ticket_out,
                        own_wait_page);
}

inline std::vector<std::string> RequestLines(const std::string& stored) {
  std::vector<std::string> lines;
  std::string line;
  std::istringstream in(stored);
  while (std::getline(in, line)) {
    EXPECT_FALSE(line.empty() || line.back() != '\r') << "line without CR LF: " << line;
    if (!line.empty()) line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

// After many requests at once, each request file must hold the lines of the
// one request that got its ticket, and no ticket was handed to two requests.
inline void CheckSpooledRequests(const harness::SpoolRoot& root,
                                 const std::vector<std::pair<std::string, std::string>>& issued) {
  std::set<std::string> tickets;
  for (const auto& [ticket, logon] : issued) {
    if (ticket.empty()) continue;  // sent to the shared wait page, asks again
    EXPECT_TRUE(tickets.insert(ticket).second) << "ticket " << ticket << " issued twice";
    const auto lines = RequestLines(root.ReadFile("in/" + ticket + ".req"));
    ASSERT_EQ(lines.size(), 6u) << ticket;
    EXPECT_EQ(lines[1], logon);
    EXPECT_EQ(lines[3], ticket);
    EXPECT_EQ(lines[4], "p2 of " + logon);
    EXPECT_EQ(lines[5], "p3 of " + logon);
    EXPECT_EQ(root.ReadFile("in/" + ticket + ".srv"), "http\r\nportal.example.org\r\n8080\r\n");
  }
  std::size_t request_files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(root.Path("in"))) {
    if (entry.path().extension() == ".req") ++request_files;
  }
  EXPECT_EQ(request_files, tickets.size());
  EXPECT_FALSE(root.Exists("dudarovuvadu.cnt.in.lock"));
}

}  // namespace spool
