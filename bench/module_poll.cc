// The module's own cost per request, without HTTP: loads the module as a host
// does, runs requests through HttpExtensionProc with the in-memory server all
// hosts share, and prints the microseconds one call takes for the poll of a
// ready answer, for Default and for a new request: the wall-clock time inside
// the module and the processor time of the whole loop per call (on a busy
// machine the second is the steadier figure), and beside them the cost of
// one stat() call on this machine. For the poll it also prints the system
// calls one poll makes (counted by strace), the module's own work (the poll's
// time less those calls at the cost of one stat()) and the heap allocations
// made inside HttpExtensionProc, the in-memory server's callbacks included;
// the poll's figures are medians of three rounds. Not a test.
//
//   bench_module_poll MODULE [SECONDS]        "KIND WALL_US CPU_US" for each kind
//                                             and for "syscall", and the poll's
//                                             "poll-system-calls N",
//                                             "poll-own-work US" and
//                                             "poll-allocations N"
//   bench_module_poll MODULE --only KIND N    N calls of one kind (poll,
//                                             default, new) and nothing else,
//                                             for counting system calls
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "bench/allocation_count.h"
#include "hosts/extension/extension_module.h"
#include "hosts/extension/extension_request.h"
#include "hosts/host_options.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// A basket request: its answer keeps its ready flag, so every poll of its
// ticket finds it again.
constexpr const char* kBasketQuery = "DoCommand?Logon=bench&Command=getqvbasket&P1=&P2=&P3=";
constexpr const char* kDefaultQuery = "";
constexpr const char* kNewQuery = "DoCommand?Logon=bench&Command=echo&P1=&P2=&P3=";
// New requests leave their files for a back-end; the bench clears them after
// this many, outside the timed calls.
constexpr int kNewRequestsPerClearing = 500;
// How old the spooled files are when the polls begin.
constexpr std::chrono::milliseconds kAgeOfTheFirstPoll{200};

void WriteFile(const fs::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary);
  out << bytes;
}

// A spool tree with the module beside its pointer file.
class Spool {
 public:
  explicit Spool(const std::string& module) {
    char pattern[] = "/tmp/dudarovuvadu-module-bench.XXXXXX";
    if (mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
    root_ = pattern;
    for (const char* directory : {"in", "out", "traces", "post", "rights", "events", "module"}) {
      fs::create_directories(root_ / directory);
    }
    module_ = root_ / "module" / "dudarovuvadu.so";
    fs::copy_file(module, module_);
    WriteFile(root_ / "module" / "dudarovuvadu.dir", root_.string() + "\r\n");
  }
  ~Spool() {
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }
  Spool(const Spool&) = delete;
  Spool& operator=(const Spool&) = delete;

  std::string module() const { return module_.string(); }
  std::string Path(const std::string& relative) const { return (root_ / relative).string(); }

  // Answers the one request spooled so far, as the back-end would, with a
  // page of about 4.4 KB (a basket of one row per document); returns its
  // ticket. The request's own wait page stays: a poll is answered only with
  // the values it reloads with.
  std::string AnswerTheRequest() {
    std::string& ticket = answered_ticket_;
    for (const auto& entry : fs::directory_iterator(root_ / "in")) {
      if (entry.path().extension() == ".req") ticket = entry.path().stem().string();
    }
    if (ticket.empty()) throw std::runtime_error("the module spooled no request");
    std::string answer = "<html><head><title>Panier</title></head><body><table>\r\n";
    for (int row = 0; answer.size() < 4400; ++row) {
      answer += "<tr><td><a href=\"DoCommand?Logon=bench&amp;Command=getfiledata&amp;P1=doc" +
                std::to_string(row) + ".pdf&amp;P2=0&amp;P3=-1\">document " + std::to_string(row) +
                "</a></td></tr>\r\n";
    }
    answer += "</table></body></html>\r\n";
    WriteFile(root_ / "out" / (ticket + ".htm"), answer);
    WriteFile(root_ / "out" / (ticket + ".rdy"), "");
    return ticket;
  }

  // Forgets the new requests made so far, as a back-end that took them would
  // (the answered request keeps its wait page, which its polls need).
  void ClearNewRequests() const {
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator(root_ / "in")) fs::remove(entry, ignored);
    for (const auto& entry : fs::directory_iterator(root_ / "out")) {
      if (entry.path().extension() == ".tmp" && entry.path().stem() != answered_ticket_) {
        fs::remove(entry, ignored);
      }
    }
  }

 private:
  fs::path root_;
  fs::path module_;
  std::string answered_ticket_;
};

hosts::RequestInput Input(const char* query) {
  hosts::RequestInput input;
  input.texts = hosts::RequestTexts(
      {.method = "GET", .query = query, .path_info = "/scripts/dudarovuvadu.dll"});
  input.variables.Set("REMOTE_ADDR", "127.0.0.1");
  input.variables.Set("SERVER_NAME", "127.0.0.1");
  input.variables.Set("SERVER_PORT", "8080");
  input.variables.Set("SCRIPT_NAME", "/scripts/dudarovuvadu.dll");
  input.variables.Set("REQUEST_METHOD", "GET");
  input.variables.Set("QUERY_STRING", query);
  return input;
}

// The in-memory server's side of a response: the body is kept.
class HeldResponse : public hosts::ResponseTransport {
 public:
  bool SendHead(const hosts::ResponseHead&) override { return true; }
  bool SendBody(std::string_view bytes) override {
    body.append(bytes);
    return true;
  }
  void End(bool) override {}
  std::string body;
};

// Runs `count` calls of `query`; returns the seconds spent inside the module
// and adds the allocations made there to `*allocations`, when given.
double Calls(const Spool& spool, PFN_HTTPEXTENSIONPROC proc, const char* query, long count,
             bool new_requests, long* allocations = nullptr,
             std::vector<double>* durations = nullptr) {
  Clock::duration inside{};
  long allocated = 0;
  for (long i = 0; i < count; ++i) {
    if (new_requests && i % kNewRequestsPerClearing == kNewRequestsPerClearing - 1) {
      spool.ClearNewRequests();
    }
    HeldResponse response;
    hosts::ExtensionRequest request(Input(query), response, hosts::defaults::kHoldLimit,
                                    hosts::defaults::kAvailableLimit);
    const long allocations_before = AllocationsSoFar();
    const Clock::time_point start = Clock::now();
    const DWORD result = request.Run(proc);
    inside += Clock::now() - start;
    allocated += AllocationsSoFar() - allocations_before;
    if (durations != nullptr) {
      durations->push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    request.Finish(result);
    if (result != HSE_STATUS_SUCCESS || response.body.empty()) {
      throw std::runtime_error(std::string("the module failed on \"") + query + "\"");
    }
  }
  if (allocations != nullptr) *allocations += allocated;
  return std::chrono::duration<double>(inside).count();
}

double ThreadCpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

struct PerCall {
  double wall_micros;      // inside the module
  double cpu_micros;       // the whole loop, in-memory server included
  double allocations = 0;  // inside the module, its callbacks included
  // The median call (wall clock): a call that another process preempted on
  // a busy machine moves the mean, not this.
  double typical_micros = 0;
};

double MedianOf(std::vector<double>& values) {
  if (values.empty()) return 0;
  std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2),
                   values.end());
  return values[values.size() / 2];
}

// Calls of one kind for about `seconds` of module time.
PerCall MicrosPerCall(const Spool& spool, PFN_HTTPEXTENSIONPROC proc, const char* query,
                      double seconds, bool new_requests) {
  (void)Calls(spool, proc, query, 100, new_requests);  // warm the caches
  long total = 0;
  long allocations = 0;
  double spent = 0;
  std::vector<double> durations;
  const double cpu_start = ThreadCpuSeconds();
  for (long batch = 200; spent < seconds; batch *= 2) {
    durations.reserve(durations.size() + static_cast<std::size_t>(batch));
    spent += Calls(spool, proc, query, batch, new_requests, &allocations, &durations);
    total += batch;
  }
  const double cpu = ThreadCpuSeconds() - cpu_start;
  if (new_requests) spool.ClearNewRequests();
  const auto calls = static_cast<double>(total);
  return {spent * 1e6 / calls, cpu * 1e6 / calls, static_cast<double>(allocations) / calls,
          MedianOf(durations)};
}

// The cost of one of the cheapest file system calls on this machine (stat
// of a file that exists, the call the module makes for a ready flag), for a
// yardstick: a poll that must ask the spool N questions cannot cost less than
// N of these.
PerCall MicrosPerSystemCall(const std::string& path, double seconds) {
  constexpr long kCallsPerGroup = 10;
  struct stat status {};
  long total = 0;
  std::vector<double> group_durations;
  const double cpu_start = ThreadCpuSeconds();
  const Clock::time_point start = Clock::now();
  for (long batch = 1000; Clock::now() - start < std::chrono::duration<double>(seconds);
       batch *= 2) {
    for (long i = 0; i < batch; i += kCallsPerGroup) {
      const Clock::time_point group_start = Clock::now();
      for (long j = 0; j < kCallsPerGroup; ++j) {
        if (stat(path.c_str(), &status) != 0) throw std::runtime_error("stat failed");
      }
      group_durations.push_back(
          std::chrono::duration<double, std::micro>(Clock::now() - group_start).count());
    }
    total += batch;
  }
  const double wall = std::chrono::duration<double>(Clock::now() - start).count();
  const double cpu = ThreadCpuSeconds() - cpu_start;
  return {wall * 1e6 / static_cast<double>(total), cpu * 1e6 / static_cast<double>(total), 0,
          MedianOf(group_durations) / kCallsPerGroup};
}

// System calls per call of `kind`, counted by strace around this program
// run with --only: the difference of 2000 and 1000 calls leaves out loading
// and set-up. Negative when strace is missing or fails.
double SystemCallsPerCall(const std::string& module, const std::string& kind) {
  const auto total_of = [&](long calls) -> long {
    const std::string counts =
        fs::temp_directory_path() / ("bench-strace-" + std::to_string(getpid()) + ".txt");
    const std::string command = "strace -c -f -o " + counts + " /proc/" + std::to_string(getpid()) +
                                "/exe " + module + " --only " + kind + " " + std::to_string(calls) +
                                " >/dev/null 2>&1";
    long total = -1;
    if (std::system(command.c_str()) == 0) {
      std::ifstream in(counts);
      std::string line;
      while (std::getline(in, line)) {
        // "100.00    0.000123           0      3456        12 total"
        if (line.size() < 5 || line.compare(line.size() - 5, 5, "total") != 0) continue;
        std::istringstream fields(line);
        double percent = 0, seconds = 0;
        long per_call = 0;
        fields >> percent >> seconds >> per_call >> total;
      }
    }
    std::error_code ignored;
    fs::remove(counts, ignored);
    return total;
  };
  const long twice = total_of(2000);
  const long once = total_of(1000);
  if (twice < 0 || once < 0) return -1;
  return static_cast<double>(twice - once) / 1000;
}

double Median(std::array<double, 3> values) {
  std::sort(values.begin(), values.end());
  return values[1];
}

void Print(const char* kind, const PerCall& figures) {
  std::printf("%s %.2f %.2f\n", kind, figures.wall_micros, figures.cpu_micros);
}

int Usage() {
  std::fprintf(stderr,
               "usage: bench_module_poll MODULE [SECONDS]\n"
               "       bench_module_poll MODULE --only poll|default|new COUNT\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage();
  try {
    Spool spool(argv[1]);
    std::string error;
    const std::unique_ptr<hosts::ExtensionModule> module =
        hosts::ExtensionModule::Load(spool.module(), &error);
    if (!module) {
      std::fprintf(stderr, "bench_module_poll: %s\n", error.c_str());
      return 1;
    }
    const PFN_HTTPEXTENSIONPROC proc = module->http_extension_proc();
    (void)Calls(spool, proc, kBasketQuery, 1, false);
    const std::string ticket = spool.AnswerTheRequest();
    // A browser polls a second after its wait page came; files written a
    // moment ago are not yet kept between polls (their times are within a
    // clock tick of now). Let them age as they would before the first poll.
    std::this_thread::sleep_for(kAgeOfTheFirstPoll);
    const std::string poll_query =
        "DoCommand?Logon=bench&Command=getqvbasket&P1=" + ticket + "&P2=&P3=";
    const char* const kPollQuery = poll_query.c_str();

    if (argc == 5 && std::string(argv[2]) == "--only") {
      const std::string kind = argv[3];
      const long count = std::stol(argv[4]);
      if (kind == "poll") {
        (void)Calls(spool, proc, kPollQuery, count, false);
      } else if (kind == "default") {
        (void)Calls(spool, proc, kDefaultQuery, count, false);
      } else if (kind == "new") {
        (void)Calls(spool, proc, kNewQuery, count, true);
        spool.ClearNewRequests();
      } else {
        return Usage();
      }
      return 0;
    }
    if (argc > 3) return Usage();
    const double seconds = argc == 3 ? std::stod(argv[2]) / 3 : 1.0;
    // The poll: three rounds, each beside the cost of one system call.
    const double poll_system_calls = SystemCallsPerCall(spool.module(), "poll");
    std::array<double, 3> wall{}, cpu{}, allocations{}, own_work{}, typical{}, system_call_cost{};
    for (std::size_t round = 0; round < 3; ++round) {
      const PerCall poll = MicrosPerCall(spool, proc, kPollQuery, seconds / 3, false);
      const PerCall system_call = MicrosPerSystemCall(spool.module(), seconds / 6);
      wall[round] = poll.wall_micros;
      cpu[round] = poll.cpu_micros;
      allocations[round] = poll.allocations;
      typical[round] = poll.typical_micros;
      system_call_cost[round] = system_call.typical_micros;
      own_work[round] = poll.typical_micros - poll_system_calls * system_call.typical_micros;
    }
    Print("poll", {Median(wall), Median(cpu)});
    if (poll_system_calls >= 0) {
      std::printf(
          "poll-system-calls %.1f\npoll-median-call %.2f\nsyscall-median %.2f\n"
          "poll-own-work %.2f\n",
          poll_system_calls, Median(typical), Median(system_call_cost), Median(own_work));
    } else {
      std::printf("poll-system-calls n/a (strace missing)\n");
    }
    std::printf("poll-allocations %.1f\n", Median(allocations));
    Print("default", MicrosPerCall(spool, proc, kDefaultQuery, seconds, false));
    Print("new", MicrosPerCall(spool, proc, kNewQuery, seconds, true));
    Print("syscall", MicrosPerSystemCall(spool.module(), seconds));
    return 0;
  } catch (const std::exception& failure) {
    std::fprintf(stderr, "bench_module_poll: %s\n", failure.what());
    return 1;
  }
}
