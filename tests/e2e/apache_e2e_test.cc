// The portal inside Apache httpd, for what only httpd brings: several
// processes sharing one install root at once, a graceful restart with
// requests in flight, and a wrong DudarovuvaduExtension at start-up.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <atomic>
#include <filesystem>
#include <iostream>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/portal_fixture.h"

namespace e2e {
namespace {

using namespace std::chrono_literals;

Portal::Options Under(HostKind kind, int backend_delay_ms = 0) {
  Portal::Options options;
  options.host = kind;
  options.backend_delay_ms = backend_delay_ms;
  return options;
}

std::size_t Count(std::string_view text, std::string_view what) {
  std::size_t count = 0;
  for (std::size_t at = text.find(what); at != std::string_view::npos;
       at = text.find(what, at + what.size())) {
    ++count;
  }
  return count;
}

// A body of its own for each client and post, with bytes of every value but
// LF and zero (which the store rewrites).
std::string PostBody(int client, int post) {
  std::string body = "client " + std::to_string(client) + " post " + std::to_string(post) + ":";
  for (int i = 0; i < 3000 + 97 * post; ++i) {
    const char c = static_cast<char>(1 + (i * 7 + client) % 255);
    body.push_back(c == '\n' ? 'n' : c);
  }
  return body;
}

TEST(ApacheE2eTest, PreforkProcessesShareTheInstallRootWithoutLosingARequest) {
  Portal portal(Under(HostKind::kApachePrefork));
  ASSERT_TRUE(portal.error().empty()) << portal.error();
  constexpr int kClients = 8;
  constexpr int kRequests = 25;

  // New requests at once from several processes: every ticket distinct.
  // A request whose ticket is still in use gets a wait page without a
  // ticket, and its reload asks for a new one, as a browser's would.
  std::mutex lock;
  std::vector<std::string> tickets;
  std::atomic<int> failures{0};
  std::atomic<int> reloads{0};
  std::string first_failure;
  {
    std::vector<std::jthread> clients;
    for (int client = 0; client < kClients; ++client) {
      clients.emplace_back([&, client] {
        for (int i = 0; i < kRequests; ++i) {
          std::string url =
              portal.DoCommandUrl("anna", "hello", "", std::to_string(client), std::to_string(i));
          std::string ticket;
          std::optional<HttpResponse> wait;
          for (int attempt = 0; attempt < 100 && ticket.empty(); ++attempt) {
            if (attempt > 0) {
              ++reloads;
              std::this_thread::sleep_for(10ms);
            }
            wait = HttpExchange(url);
            if (!wait) break;
            url = WaitPageTarget(wait->body);
            ticket = Between(url, "&p1=", "&");
            if (url.empty()) break;
          }
          const std::lock_guard<std::mutex> hold(lock);
          if (ticket.empty()) {
            if (failures++ == 0) first_failure = wait ? wait->body : "no response";
            continue;
          }
          tickets.push_back(ticket);
        }
      });
    }
  }
  EXPECT_EQ(failures.load(), 0) << first_failure;
  // The lock file, created exclusively, keeps the processes apart: every
  // ticket is drawn once.
  const std::size_t distinct = std::set<std::string>(tickets.begin(), tickets.end()).size();
  EXPECT_EQ(tickets.size(), static_cast<std::size_t>(kClients * kRequests));
  EXPECT_EQ(distinct, tickets.size());
  std::cout << "new requests: " << tickets.size() << " tickets, " << distinct << " distinct, "
            << reloads.load() << " reloads\n";

  // Posted data at once: every post stored whole under a number of its own,
  // with its ready file.
  {
    std::vector<std::jthread> clients;
    for (int client = 0; client < kClients; ++client) {
      clients.emplace_back([&, client] {
        for (int post = 0; post < kRequests; ++post) {
          const std::string body = PostBody(client, post);
          const auto stored = HttpExchange(portal.module_url() + "?StoreData", "POST", body,
                                           "application/octet-stream");
          if (!stored || stored->status != 200 || stored->body != std::to_string(body.size())) {
            ++failures;
          }
        }
      });
    }
  }
  EXPECT_EQ(failures.load(), 0);
  // The back-end reports each post it takes (its ready file read, its data
  // file measured): every one whole, each under a number of its own.
  const auto deadline = std::chrono::steady_clock::now() + 30s;
  while (Count(portal.backend().Output(), ": received=") <
             static_cast<std::size_t>(kClients * kRequests) &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(50ms);
  }
  const std::string reports = portal.backend().Output();
  std::set<std::string> numbers;
  for (std::size_t at = reports.find("posted "); at != std::string::npos;
       at = reports.find("posted ", at + 1)) {
    numbers.insert(reports.substr(at + 7, reports.find(':', at) - at - 7));
  }
  EXPECT_EQ(numbers.size(), static_cast<std::size_t>(kClients * kRequests)) << reports;
  for (int client = 0; client < kClients; ++client) {
    for (int post = 0; post < kRequests; ++post) {
      const std::string size = std::to_string(PostBody(client, post).size());
      const std::string report = ": received=" + size + " stored=" + size + " data=client " +
                                 std::to_string(client) + " post " + std::to_string(post) + ":";
      EXPECT_EQ(Count(reports, report), 1u) << report;
    }
  }
}

TEST(ApacheE2eTest, GracefulRestartFinishesTheRequestsInFlight) {
  Portal portal(Under(HostKind::kApachePrefork));
  ASSERT_TRUE(portal.error().empty()) << portal.error();
  const std::string& url = portal.module_url();
  const std::string authority = url.substr(7, url.find('/', 7) - 7);

  // A post whose body is still arriving when the restart begins.
  HttpConnection slow(url);
  ASSERT_TRUE(slow.Send("POST /scripts/dudarovuvadu.dll?StoreData HTTP/1.1\r\nHost: " + authority +
                        "\r\nContent-Length: 10\r\n\r\nhalf-"));
  // Events sent all through the restart.
  std::atomic<bool> stop{false};
  std::atomic<int> sent{0};
  std::atomic<int> failed{0};
  std::jthread events([&] {
    while (!stop) {
      const int n = sent++;
      const auto done = HttpExchange(
          url + "?DoCommand?Logon=anna&Command=newevent&P1=" + std::to_string(n) + "&P2=&P3=");
      if (!done || done->body != "Done") ++failed;
    }
  });
  std::this_thread::sleep_for(500ms);
  const std::size_t loads_before = Count(portal.host().Output(), "loaded in process");
  ASSERT_EQ(::kill(portal.host().pid(), SIGUSR1), 0);  // apachectl -k graceful
  // The new generation of processes loads the extension anew.
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  while (Count(portal.host().Output(), "loaded in process") <= loads_before &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(50ms);
  }
  ASSERT_TRUE(slow.Send("whole"));
  const auto stored = slow.Read();
  std::this_thread::sleep_for(500ms);
  stop = true;
  events.join();

  ASSERT_TRUE(stored);
  EXPECT_EQ(stored->status, 200);
  EXPECT_EQ(stored->body, "10");
  EXPECT_TRUE(portal.backend().WaitForOutput(": received=10 stored=10 data=half-whole"))
      << portal.backend().Output();
  EXPECT_EQ(failed.load(), 0) << "of " << sent.load();
  const std::string log = portal.host().Output();
  EXPECT_GT(Count(log, "loaded in process"), loads_before) << log;
  // The old processes let the extension go once their last request was done.
  EXPECT_GE(Count(log, "unloaded from process"), 1u) << log;
  // Every event answered "Done" is in the file, once.
  const std::string events_file = portal.ReadFile("events/anna.evt").value_or("");
  EXPECT_EQ(Count(events_file, "\r\n"), static_cast<std::size_t>(sent.load()));
}

TEST(ApacheE2eTest, LargeDownloadStreamsWithItsOwnLengthUnderBothModels) {
  for (HostKind kind : {HostKind::kApachePrefork, HostKind::kApacheEvent}) {
    Portal portal(Under(kind));
    ASSERT_TRUE(portal.error().empty()) << portal.error();
    // Far past the part held back before the response starts, so the body
    // goes out as the module writes it, framed by its Content-Length.
    std::string bytes;
    for (int i = 0; i < 3 * 1024 * 1024 + 7; ++i) bytes.push_back(static_cast<char>(i * 13 % 256));
    portal.WriteFile("docs/large.pdf", bytes);
    const auto answer = portal.FetchAnswer(portal.DoCommandUrl("anna", "getdoc", "", "large.pdf"));
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->status, 200);
    EXPECT_EQ(answer->CountHeader("Content-Length"), 1);
    EXPECT_EQ(answer->Header("Content-Length"), std::to_string(bytes.size()));
    EXPECT_FALSE(answer->Header("Transfer-Encoding"));
    EXPECT_TRUE(answer->body == bytes) << answer->body.size() << " bytes";
  }
}

// What httpd makes of an extension's answers, with a probe extension whose
// query string picks what it sends.
TEST(ApacheE2eTest, ExtensionAnswersBecomeWellFormedResponses) {
  Portal portal(Under(HostKind::kApacheEvent));
  ASSERT_TRUE(portal.error().empty()) << portal.error();
  portal.host().Stop();
  const std::string extension = portal.Path("module/dudarovuvadu.so");
  std::string config = portal.ReadFile("apache/httpd.conf").value_or("");
  ASSERT_NE(config.find(extension), std::string::npos);
  config.replace(config.find(extension), extension.size(), PROBE_EXTENSION_PATH);
  portal.WriteFile("apache/probe.conf", config);
  ChildProcess httpd;
  ASSERT_TRUE(httpd.Start(
      {DUDAROVUVADU_APACHE_HTTPD, "-f", portal.Path("apache/probe.conf"), "-DFOREGROUND"},
      portal.Path("probe.log"), {}, /*own_process_group=*/true));
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  while (portal.ReadFile("host.log").value_or("").find("Probe Extension") == std::string::npos &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(20ms);
  }
  const std::string& url = portal.module_url();
  std::optional<HttpResponse> response;
  for (int attempt = 0; attempt < 50 && !response; ++attempt) {
    response = HttpExchange(url + "?echo");
    if (!response) std::this_thread::sleep_for(100ms);
  }
  ASSERT_TRUE(response);
  const std::string address = url.substr(7, url.find(':', 7) - 7);
  for (const std::string& line :
       {"SERVER_PORT=" + url.substr(url.find(':', 7) + 1, 4), "SERVER_NAME=" + address,
        std::string("SCRIPT_NAME=/scripts/dudarovuvadu.dll"), std::string("REMOTE_ADDR=127.0.0.1"),
        std::string("QUERY_STRING=echo"), std::string("REQUEST_METHOD=GET"),
        std::string("NO_SUCH_VARIABLE=<unknown>")}) {
    EXPECT_NE(response->body.find(line + "\n"), std::string::npos) << line << "\n"
                                                                   << response->body;
  }

  const struct {
    const char* query;
    int status;
    const char* body;  // nullptr: not checked
    const char* present_header;
    const char* absent_header;
  } cases[] = {
      {"length-right", 200, "hello", "X-Probe", nullptr},
      // A length that is not the body's: the true one goes out.
      {"length-wrong", 200, "hello", "X-Probe", nullptr},
      {"status-only", 413, nullptr, nullptr, nullptr},
      {"silent-failure", 500, nullptr, nullptr, nullptr},
      // A bare CR inside a value: no second header on the wire.
      {"header-injection", 200, nullptr, "X-Good", "Set-Cookie"},
  };
  for (const auto& test : cases) {
    const auto answer = HttpExchange(url + "?" + test.query);
    ASSERT_TRUE(answer) << test.query;
    EXPECT_EQ(answer->status, test.status) << test.query;
    EXPECT_LE(answer->CountHeader("Content-Length"), 1) << test.query;
    if (test.body != nullptr) {
      EXPECT_EQ(answer->body, test.body) << test.query;
      EXPECT_EQ(answer->Header("Content-Length"), std::to_string(answer->body.size()));
    }
    if (test.present_header != nullptr) {
      EXPECT_TRUE(answer->Header(test.present_header)) << test.query;
    }
    if (test.absent_header != nullptr) {
      EXPECT_FALSE(answer->Header(test.absent_header)) << test.query;
    }
  }
  EXPECT_NE(portal.ReadFile("host.log").value_or("").find("not a well-formed header"),
            std::string::npos);
}

TEST(ApacheE2eTest, ServerRefusesToStartWithoutItsExtension) {
  Portal portal(Under(HostKind::kApachePrefork));
  ASSERT_TRUE(portal.error().empty()) << portal.error();
  portal.host().Stop();
  const std::string config = portal.ReadFile("apache/httpd.conf").value_or("");
  const std::string extension = portal.Path("module/dudarovuvadu.so");
  ASSERT_NE(config.find(extension), std::string::npos);
  const struct {
    const char* name;
    std::string path;
    const char* reason;  // in the log beside the path
  } cases[] = {
      {"missing", portal.Path("module/missing.so"), "No such file"},
      {"not a library", portal.Path("module/dudarovuvadu.dir"), "cannot be loaded"},
      {"no entry points", DUDAROVUVADU_APACHE_MODULE_DIR "/mod_dir.so",
       "is not an extension module (no GetExtensionVersion)"},
  };
  for (const auto& test : cases) {
    std::string broken = config;
    broken.replace(broken.find(extension), extension.size(), test.path);
    portal.WriteFile("apache/broken.conf", broken);
    ChildProcess httpd;
    ASSERT_TRUE(httpd.Start(
        {DUDAROVUVADU_APACHE_HTTPD, "-f", portal.Path("apache/broken.conf"), "-DFOREGROUND"},
        portal.Path("broken.log"), {}, /*own_process_group=*/true));
    const auto status = httpd.WaitForExit(20s);
    ASSERT_TRUE(status) << test.name << ": httpd kept running";
    EXPECT_FALSE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << test.name;
    const std::string log = portal.ReadFile("host.log").value_or("") + httpd.Output();
    EXPECT_NE(log.find(test.path), std::string::npos) << test.name << "\n" << log;
    EXPECT_NE(log.find(test.reason), std::string::npos) << test.name << "\n" << log;
  }
}

}  // namespace
}  // namespace e2e
