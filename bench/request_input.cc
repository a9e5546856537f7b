// What the embedded host spends to turn one parsed request into the module's
// input (its texts and server variables): the heap allocations one
// BuildRequestInput makes and the nanoseconds it takes, for the poll request
// of the benchmark (a GET with one Host header). Not a test.
//
//   bench_request_input [ROUNDS]   "request-input-allocations N" and
//                                  "request-input-ns NS"
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "bench/allocation_count.h"
#include "hosts/server/request_head.h"

namespace {

constexpr std::string_view kRequest =
    "GET /scripts/dudarovuvadu.dll?DoCommand?Logon=bench&Command=getqvbasket&P1=1&P2=&P3= "
    "HTTP/1.1\r\nHost: 127.0.0.1:18099\r\n\r\n";

hosts::ReceivedRequest Parse() {
  hosts::RequestParser parser;
  boost::system::error_code ec;
  parser.put(boost::asio::buffer(kRequest.data(), kRequest.size()), ec);
  if (ec || !parser.is_done()) {
    std::fprintf(stderr, "bench_request_input: the request does not parse\n");
    std::exit(1);
  }
  return parser.release();
}

}  // namespace

int main(int argc, char** argv) {
  const long rounds = argc > 1 ? std::atol(argv[1]) : 100000;
  const hosts::ConnectionFacts connection{"127.0.0.1", "40000", "127.0.0.1", "18099", false};
  const hosts::InputSettings settings{"/scripts/dudarovuvadu.dll", "bench", nullptr};
  long allocations = 0;
  std::chrono::nanoseconds spent{0};
  for (long i = 0; i < rounds; ++i) {
    hosts::ReceivedRequest request = Parse();
    const long before = AllocationsSoFar();
    const auto start = std::chrono::steady_clock::now();
    hosts::RequestInput input = hosts::BuildRequestInput(request, 1, connection, settings, nullptr);
    spent += std::chrono::steady_clock::now() - start;
    allocations += AllocationsSoFar() - before;
  }
  std::printf("request-input-allocations %ld\n", rounds > 0 ? allocations / rounds : 0);
  std::printf("request-input-ns %lld\n",
              rounds > 0 ? static_cast<long long>(spent.count() / rounds) : 0LL);
  return 0;
}
