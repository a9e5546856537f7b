// The files the back-end writes and the module reads, each read through the
// request that reads it (the pointer file through the install root lookup
// alone: a request would write wherever it points).
//
// Input: a first line whose first character picks the file, then the lines
// that file's case reads, then the file's bytes.
//   "a" answer file out/7.htm, ready, picked up by a poll. The first line's
//       second character picks the command (D DoCommand, K DoKommand, F a
//       posted form); the next line is the request's command ("getlist",
//       "ciscomenu", "getqv", ...). A download named by the answer may be
//       c:\dl\a.pdf, a file of the install root; names outside the root
//       (parent steps, UNC paths other than \\srv\) are not tried.
//   "r" rights list rights/~anna.lst, read by a file sub-command: the next
//       three lines are the command ("getfile", "getfilelength",
//       "getfiledata"), P1, P2 and P3 (sent URL-encoded). P1 names a file
//       inside the install root (no parent step, no absolute path).
//   "i" / "o" the in / post counter, then a new request / a StoreData.
//   "p" the pointer file beside the module.
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "commands/file_names.h"
#include "fuzz/fuzz_support.h"
#include "platform/module_path.h"
#include "spool/counters.h"
#include "spool/install_root.h"
#include "tests/harness/fake_server.h"
#include "text/percent_encoding.h"

namespace {

using namespace std::string_literals;

// The file a download answer or a rights list may name: c:\dl\a.pdf.
const std::string kDownload = "%PDF-1.4\r\nbytes\0of\xFFthe file\n"s;

// Every byte as "%XX".
std::string UrlEncode(const std::string& plain) {
  return text::PercentEncode(plain, [](unsigned char) { return false; });
}

// A download the module would read from outside the install root: a device
// such as /dev/zero never ends. The back-end is trusted with the names it
// writes, so such inputs are not tried.
bool NamesFileOutsideRoot(std::string_view answer) {
  const std::string_view first_line = answer.substr(0, answer.find('\n'));
  return first_line.find("..") != std::string_view::npos ||
         (first_line.starts_with("\\\\") && !first_line.starts_with("\\\\srv\\"));
}

void DeliverAnswer(fuzzing::InputReader& input, char entry) {
  const std::string command = input.Line();
  const std::string answer = input.Rest();
  if (NamesFileOutsideRoot(answer)) return;
  const harness::SpoolRoot& root = fuzzing::Root();
  root.MakeDir("c:/dl");
  root.WriteFile("c:/dl/a.pdf", kDownload);
  root.WriteFile("out/7.htm", answer);
  root.WriteFile("out/7.rdy", "");
  harness::Request request;
  switch (entry) {
    case 'K':
      request.query = "DoKommand?Logon=anna&Command=" + UrlEncode(command) + "&P1=7";
      break;
    case 'F':
      request.method = "POST";
      request.query = "PostCommand";
      request.body = "logon=anna&command=" + UrlEncode(command) + "&p1=7";
      break;
    default:
      request.query = "DoCommand?Logon=anna&Command=" + UrlEncode(command) + "&P1=7";
      break;
  }
  (void)harness::Run(request);
}

void DeliverRightsListed(fuzzing::InputReader& input) {
  const std::string command = input.Line();
  const std::string p1 = input.Line();
  const std::string p2 = input.Line();
  const std::string p3 = input.Line();
  // As for answers: only files inside the install root are granted.
  const std::string opened = commands::NativeFileName(commands::DecodeBracketEscapes(p1));
  if (opened.find("..") != std::string::npos || opened.starts_with("/")) return;
  const harness::SpoolRoot& root = fuzzing::Root();
  root.MakeDir("c:/dl");
  root.WriteFile("c:/dl/a.pdf", kDownload);
  root.WriteFile("rights/~anna.lst", input.Rest());
  (void)harness::Get("DoCommand?Logon=anna&Command=" + UrlEncode(command) + "&P1=" + UrlEncode(p1) +
                     "&P2=" + UrlEncode(p2) + "&P3=" + UrlEncode(p3));
}

// A ticket or post number is always one the counter can issue.
void CheckNumbered(const char* directory, const char* suffix) {
  namespace fs = std::filesystem;
  for (const fs::directory_entry& entry : fs::directory_iterator(fuzzing::Root().Path(directory))) {
    const std::string name = entry.path().filename().string();
    if (!name.ends_with(suffix)) continue;
    const long number = std::strtol(name.c_str(), nullptr, 10);
    if (number < 1 || number > spool::kMaxCounterNumber) std::abort();
  }
}

void TakeNumber(fuzzing::InputReader& input, bool post) {
  const harness::SpoolRoot& root = fuzzing::Root();
  if (post) {
    root.WriteFile("dudarovuvadu.cnt.post.txt", input.Rest());
    (void)harness::Post("StoreData", "data");
    CheckNumbered("post", ".txt");
  } else {
    root.WriteFile("dudarovuvadu.cnt.in.txt", input.Rest());
    (void)harness::Get("DoCommand?Logon=anna&Command=getlist");
    CheckNumbered("in", ".req");
  }
}

void ResolveRoot(fuzzing::InputReader& input) {
  fuzzing::Root().WriteFile(spool::kPointerFileName, input.Rest());
  const std::string root = spool::ResolveInstallRoot();
  if (root.size() >= spool::kSpoolPathCapacity) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const fuzzing::InputScope scope;

  fuzzing::InputReader input(data, size);
  const std::string pick = input.Line() + "  ";
  switch (pick[0]) {
    case 'a':
      DeliverAnswer(input, pick[1]);
      break;
    case 'r':
      DeliverRightsListed(input);
      break;
    case 'i':
    case 'o':
      TakeNumber(input, pick[0] == 'o');
      break;
    case 'p':
      ResolveRoot(input);
      break;
    default:
      break;
  }
  return 0;
}
