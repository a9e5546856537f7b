// The demo script: it reports the portal as running only when its own host
// listens, and otherwise stops its back-end and fails.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "tests/e2e/portal_fixture.h"
#include "tests/harness/temp_dir.h"

namespace e2e {
namespace {

std::string ReadAll(const std::string& path) {
  std::ifstream in(path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// A server on 127.0.0.1 that answers every request with an empty 200, as
// any web server on the demo's port would answer its probe.
class PortHolder {
 public:
  PortHolder() {
    socket_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (socket_ < 0 || ::bind(socket_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::listen(socket_, 16) != 0 ||
        ::getsockname(socket_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      return;
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { Serve(); });
  }
  ~PortHolder() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (socket_ >= 0) ::close(socket_);
  }
  unsigned port() const { return port_; }
  int answered() const { return answered_; }

 private:
  void Serve() {
    while (!stop_) {
      pollfd ready{socket_, POLLIN, 0};
      if (::poll(&ready, 1, 50) <= 0) continue;
      const int client = ::accept(socket_, nullptr, nullptr);
      if (client < 0) continue;
      char request[4096];
      (void)::recv(client, request, sizeof request, 0);
      static constexpr char kAnswer[] = "HTTP/1.0 200 OK\r\nContent-Length: 0\r\n\r\n";
      (void)::send(client, kAnswer, sizeof kAnswer - 1, MSG_NOSIGNAL);
      ::close(client);
      ++answered_;
    }
  }
  int socket_ = -1;
  unsigned port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> answered_{0};
  std::thread thread_;
};

TEST(DemoE2eTest, FailsAndStopsItsBackEndWhenAnotherServerHoldsThePort) {
  const PortHolder holder;
  ASSERT_NE(holder.port(), 0u);
  const std::string port = std::to_string(holder.port());

  harness::TempDir dir;
  const std::string demo_root = dir.Path("demo");
  const std::string log = dir.Path("demo.log");
  const std::string command = "PORT=" + port + " DELAY_MS=0 timeout 30 " +
                              DUDAROVUVADU_SOURCE_DIR "/tools/run-demo.sh " + demo_root + " > " +
                              log + " 2>&1";
  const int status = std::system(command.c_str());
  const std::string output = ReadAll(log);
  ASSERT_TRUE(WIFEXITED(status)) << output;
  EXPECT_NE(WEXITSTATUS(status), 0) << output;
  EXPECT_NE(WEXITSTATUS(status), 124) << "the script waited until timed out:\n" << output;
  EXPECT_EQ(output.find("The portal runs"), std::string::npos) << output;
  EXPECT_NE(output.find("did not start listening"), std::string::npos) << output;
  // Its back-end was stopped with it ("[d]" keeps the shell running pgrep
  // from matching itself).
  const std::string still_running =
      "pgrep -f '[d]udarovuvadu-backend --root " + demo_root + "' > /dev/null";
  EXPECT_NE(std::system(still_running.c_str()), 0) << "the demo's back-end still runs";
  // The server that held the port is untouched.
  EXPECT_TRUE(HttpExchange("http://127.0.0.1:" + port + "/"));
}

}  // namespace
}  // namespace e2e
