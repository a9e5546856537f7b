// Helpers for whole-request tests of the query commands: query strings, the
// response's parts, and a back-end played by the test through the spool tree.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "platform/module_path.h"
#include "tests/harness/fake_server.h"
#include "tests/harness/temp_dir.h"

namespace commands::testing {

// Percent-encodes every byte but letters and digits, as a careful client does.
inline std::string UrlEncode(const std::string& text) {
  std::string encoded;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) {
      encoded.push_back(c);
    } else {
      char escape[4];
      std::snprintf(escape, sizeof escape, "%%%02X", byte);
      encoded += escape;
    }
  }
  return encoded;
}

inline std::string DoCommandQuery(const std::string& logon, const std::string& command,
                                  const std::string& p1 = "", const std::string& p2 = "",
                                  const std::string& p3 = "", const std::string& token = "") {
  return "DoCommand?Logon=" + UrlEncode(logon) + "&Command=" + UrlEncode(command) +
         "&P1=" + UrlEncode(p1) + "&P2=" + UrlEncode(p2) + "&P3=" + UrlEncode(p3) +
         "&Token=" + UrlEncode(token);
}

inline std::string DoKommandQuery(const std::string& logon, const std::string& command,
                                  const std::string& p1 = "", const std::string& p2 = "",
                                  const std::string& p3 = "") {
  return "DoKommand?Logon=" + UrlEncode(logon) + "&Command=" + UrlEncode(command) +
         "&P1=" + UrlEncode(p1) + "&P2=" + UrlEncode(p2) + "&P3=" + UrlEncode(p3);
}

inline harness::Response RunQuery(const std::string& query,
                                  const std::map<std::string, std::string>& variables =
                                      harness::Request::DefaultServerVariables()) {
  harness::Request request;
  request.query = query;
  request.server_variables = variables;
  return harness::Run(request);
}

// A form posted to PostCommand, URL-encoded in `body`.
inline harness::Response PostForm(const std::string& body,
                                  const std::map<std::string, std::string>& variables =
                                      harness::Request::DefaultServerVariables()) {
  harness::Request request;
  request.method = "POST";
  request.query = "PostCommand";
  request.body = body;
  request.server_variables = variables;
  return harness::Run(request);
}

inline std::string Headers(const harness::Response& response) {
  return response.header_text.value_or("");
}

// The whole error page for a message.
inline std::string ErrorPage(const std::string& message) {
  return "<html><head><title>Portail Quorvel</title></head><body>" + message + "</body></html>";
}

// Bytes as the spool stores a text: each LF as CR LF.
inline std::string StoredText(const std::string& text) {
  std::string stored;
  for (const char c : text) {
    if (c == '\n') stored.push_back('\r');
    stored.push_back(c);
  }
  return stored;
}

// The ticket in the reload URL of a wait page ("&p1=<ticket>&").
inline std::string TicketOf(const std::string& wait_page) {
  std::smatch match;
  static const std::regex kTicket("&p1=([^&]*)&");
  return std::regex_search(wait_page, match, kTicket) ? match[1].str() : std::string();
}

// The back-end's side: the answer file complete, then the ready flag.
inline void AnswerTicket(const harness::SpoolRoot& root, const std::string& ticket,
                         const std::string& answer_text) {
  root.WriteFile("out/" + ticket + ".htm", StoredText(answer_text));
  root.WriteFile("out/" + ticket + ".rdy", "");
}

// A request for `command` by anna that the back-end has answered with
// `answer`; the poll that picks the answer up.
inline harness::Response AnsweredPoll(const harness::SpoolRoot& root, const std::string& command,
                                      const std::string& answer,
                                      const harness::Faults& faults = {}) {
  const harness::Response wait = RunQuery(DoCommandQuery("anna", command));
  // A phone's wait page carries its reload URL in a header.
  const std::string ticket = TicketOf(Headers(wait) + wait.body());
  EXPECT_FALSE(ticket.empty());
  AnswerTicket(root, ticket, answer);
  harness::Request poll;
  poll.query = DoCommandQuery("anna", command, ticket);
  return harness::Run(poll, faults);
}

// The lines of a spool text file, line ends removed.
inline std::vector<std::string> StoredLines(const harness::TempDir& root,
                                            const std::string& relative) {
  const std::string bytes = root.ReadFile(relative);
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t end = bytes.find("\r\n"); end != std::string::npos;
       end = bytes.find("\r\n", start)) {
    lines.push_back(bytes.substr(start, end - start));
    start = end + 2;
  }
  if (start < bytes.size()) lines.push_back(bytes.substr(start));
  return lines;
}

// Every path under `directory`, for checking that a request left no file.
inline std::set<std::string> FilesUnder(const std::string& directory) {
  std::set<std::string> files;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(directory)) {
    files.insert(entry.path().string());
  }
  return files;
}

// `path` written the way answer files and clients name files: backslashes,
// so that /tmp/x/a.pdf becomes \\tmp\x\a.pdf (two leading backslashes). A
// Windows path is already written so.
inline std::string BackslashName(const std::string& path) {
  if (platform::kPathSeparator == '\\') return path;
  std::string name = "\\";
  for (const char c : path) name.push_back(c == '/' ? '\\' : c);
  return name;
}

}  // namespace commands::testing
