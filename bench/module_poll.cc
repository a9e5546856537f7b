// The module's own cost per request, without HTTP: loads the module as a host
// does, runs requests through HttpExtensionProc with the in-memory server all
// hosts share, and prints the microseconds one call takes for the poll of a
// ready answer, for Default and for a new request: the wall-clock time inside
// the module and the processor time of the whole loop per call (on a busy
// machine the second is the steadier figure), and beside them the cost of
// one stat() call on this machine. Not a test.
//
//   bench_module_poll MODULE [SECONDS]        "KIND WALL_US CPU_US" for each kind
//                                             and for "syscall"
//   bench_module_poll MODULE --only KIND N    N calls of one kind (poll,
//                                             default, new) and nothing else,
//                                             for counting system calls
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <system_error>
#include <utility>

#include "hosts/extension_module.h"
#include "hosts/extension_request.h"

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
  input.method = "GET";
  input.query = query;
  input.path_info = "/scripts/dudarovuvadu.dll";
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

// Runs `count` calls of `query`; returns the seconds spent inside the module.
double Calls(const Spool& spool, PFN_HTTPEXTENSIONPROC proc, const char* query, long count,
             bool new_requests) {
  Clock::duration inside{};
  for (long i = 0; i < count; ++i) {
    if (new_requests && i % kNewRequestsPerClearing == kNewRequestsPerClearing - 1) {
      spool.ClearNewRequests();
    }
    HeldResponse response;
    hosts::ExtensionRequest request(Input(query), response);
    const Clock::time_point start = Clock::now();
    const DWORD result = request.Run(proc);
    inside += Clock::now() - start;
    request.Finish(result);
    if (result != HSE_STATUS_SUCCESS || response.body.empty()) {
      throw std::runtime_error(std::string("the module failed on \"") + query + "\"");
    }
  }
  return std::chrono::duration<double>(inside).count();
}

double ThreadCpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

struct PerCall {
  double wall_micros;  // inside the module
  double cpu_micros;   // the whole loop, in-memory server included
};

// Calls of one kind for about `seconds` of module time.
PerCall MicrosPerCall(const Spool& spool, PFN_HTTPEXTENSIONPROC proc, const char* query,
                      double seconds, bool new_requests) {
  (void)Calls(spool, proc, query, 100, new_requests);  // warm the caches
  long total = 0;
  double spent = 0;
  const double cpu_start = ThreadCpuSeconds();
  for (long batch = 200; spent < seconds; batch *= 2) {
    spent += Calls(spool, proc, query, batch, new_requests);
    total += batch;
  }
  const double cpu = ThreadCpuSeconds() - cpu_start;
  if (new_requests) spool.ClearNewRequests();
  return {spent * 1e6 / static_cast<double>(total), cpu * 1e6 / static_cast<double>(total)};
}

// The cost of one of the cheapest file system calls on this machine (stat
// of a file that exists, the call the module makes for a ready flag), for a
// yardstick: a poll that must ask the spool N questions cannot cost less than
// N of these.
PerCall MicrosPerSystemCall(const std::string& path, double seconds) {
  struct stat status {};
  long total = 0;
  const double cpu_start = ThreadCpuSeconds();
  const Clock::time_point start = Clock::now();
  for (long batch = 1000; Clock::now() - start < std::chrono::duration<double>(seconds);
       batch *= 2) {
    for (long i = 0; i < batch; ++i) {
      if (stat(path.c_str(), &status) != 0) throw std::runtime_error("stat failed");
    }
    total += batch;
  }
  const double wall = std::chrono::duration<double>(Clock::now() - start).count();
  const double cpu = ThreadCpuSeconds() - cpu_start;
  return {wall * 1e6 / static_cast<double>(total), cpu * 1e6 / static_cast<double>(total)};
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
    const std::string poll_query =
        "DoCommand?Logon=bench&Command=getqvbasket&P1=" + spool.AnswerTheRequest() + "&P2=&P3=";
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
    Print("poll", MicrosPerCall(spool, proc, kPollQuery, seconds, false));
    Print("default", MicrosPerCall(spool, proc, kDefaultQuery, seconds, false));
    Print("new", MicrosPerCall(spool, proc, kNewQuery, seconds, true));
    Print("syscall", MicrosPerSystemCall(spool.module(), seconds));
    return 0;
  } catch (const std::exception& failure) {
    std::fprintf(stderr, "bench_module_poll: %s\n", failure.what());
    return 1;
  }
}
