// The built module as a web server runs it: loaded by the system's loader
// (dlopen of dudarovuvadu.so, LoadLibraryA of dudarovuvadu.dll), its entry
// points taken by name and called with a control block and callbacks of the
// host's, it answers a table of whole requests while the test plays the
// back-end in the spool. After each step the install root is copied aside,
// so that the runs on two systems can be compared file by file.
//   request_replay [gtest flags] --module FILE [--work DIR]
//   request_replay [gtest flags] --installed FILE
// --work keeps the run in DIR, which must not exist or be empty; without it
// the run goes to a temporary folder that is removed. --installed loads a
// module where a package installed it, with the pointer file beside it.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "hosts/extension/extension_module.h"
#include "platform/module_path.h"
#include "tests/commands/query_test_support.h"
#include "tests/harness/fake_server.h"
#include "tests/harness/temp_dir.h"

namespace replay {
namespace {

namespace fs = std::filesystem;

using commands::testing::BackslashName;
using commands::testing::DoCommandQuery;
using commands::testing::ErrorPage;
using commands::testing::StoredText;
using commands::testing::TicketOf;

std::string g_module_file;
std::string g_work_dir;
std::string g_installed_module;

// One run under its work folder.
struct Work {
  fs::path module;     // module/<module file>, its pointer file beside it
  fs::path root;       // the install root: the six spool folders and docs/
  fs::path snapshots;  // snapshots/NN-step/: the install root after each step
  // The root as the back-end writes it where a file name is due: with
  // backslashes, \\srv\spool on POSIX, the drive path on Windows.
  std::string written_root;
};

void WriteBytes(const fs::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
  if (!out.flush()) throw std::runtime_error("cannot write " + path.string());
}

std::string ReadBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The module copied into a folder of its own with a pointer file naming the
// install root beside it, as an operator installs it; the root with its six
// folders. `written-root.txt` tells a comparison how paths were written.
Work MakeWork(const fs::path& top) {
  fs::create_directories(top);
  if (!fs::is_empty(top)) throw std::runtime_error(top.string() + " is not empty");
  Work work;
  work.root = top / "root";
  work.snapshots = top / "snapshots";
  for (const char* folder : {"in", "out", "traces", "post", "rights", "events", "docs"}) {
    fs::create_directories(work.root / folder);
  }
  fs::create_directories(work.snapshots);
  fs::create_directories(top / "module");
  work.module = top / "module" / platform::kModuleFileName;
  fs::copy_file(g_module_file, work.module);
  WriteBytes(top / "module" / "dudarovuvadu.dir", work.root.string() + "\r\n");
  work.written_root = BackslashName(work.root.string());
  WriteBytes(top / "written-root.txt", work.written_root);
  return work;
}

// One request of the table: what the back-end writes before it, the request,
// and the response expected byte for byte.
struct Step {
  std::string name;
  std::function<void()> back_end;
  harness::Request request;
  std::uint32_t result = HSE_STATUS_SUCCESS;
  std::string status_line = "200 OK";
  std::string headers;
  std::string body;
};

harness::Request Query(const std::string& query) {
  harness::Request request;
  request.query = query;
  return request;
}

harness::Request Posted(const std::string& query, const std::string& body) {
  harness::Request request;
  request.method = "POST";
  request.query = query;
  request.body = body;
  return request;
}

constexpr char kReloadBase[] = "http://portal.example:8080/scripts/dudarovuvadu.dll?DoCommand?";
constexpr char kHtml[] = "Content-Type: text/html\r\n";
constexpr char kXml[] = "Content-Type: text/xml; charset=ISO-8859-1\r\nExpires: -1\r\n";

std::string Target(const std::string& command, const std::string& ticket,
                   const std::string& p2 = "", const std::string& p3 = "") {
  return kReloadBase +
         ("logon=anna&command=" + command + "&p1=" + ticket + "&p2=" + p2 + "&p3=" + p3);
}

std::string WaitPage(const std::string& target, bool basket = false) {
  return std::string("<html>\r\n<head>\r\n") +
         (basket ? "<title>Portail Quorvel - Panier t&eacute;l&eacute;charg&eacute;</title>\r\n"
                 : "<title>Portail Quorvel</title>\r\n") +
         "<script type=\"text/javascript\">\r\n"
         "var target=\"" +
         target +
         "\";\r\n"
         "  function timedRedirect(){\r\n"
         "    var t=setTimeout(\"window.location.href=target\", 1000);\r\n"
         "  }\r\n"
         "</script>\r\n"
         "</head>\r\n"
         "<body onload=\"timedRedirect()\">\r\n" +
         (basket ? "T&eacute;l&eacute;chargement en cours...\r\n"
                 : "Veuillez patienter SVP...\r\n") +
         "</body>\r\n"
         "</html>\r\n";
}

// A document with every byte a text mode would change: CR LF, a lone LF, a
// lone CR at the end, a zero byte and ISO-8859-1 letters.
const std::string kDocument("%PDF-1.4\r\nune ligne\n\0\xE9t\xE9\r", 25);

std::vector<Step> RequestTable(const Work& work) {
  const std::string document = work.written_root + "\\docs\\rapport.pdf";
  const std::string getlist = DoCommandQuery("anna", "getlist", "", "x", "y");
  const std::string getlist_poll = DoCommandQuery("anna", "getlist", "1", "x", "y");
  const std::string basket_poll = DoCommandQuery("anna", "getqvpanier", "5");
  return {
      {"new-ticket", nullptr, Query(getlist), HSE_STATUS_SUCCESS, "200 OK", "",
       WaitPage(Target("getlist", "1", "x", "y"))},
      {"poll-unanswered", nullptr, Query(getlist_poll), HSE_STATUS_SUCCESS, "200 OK", "",
       WaitPage(Target("getlist", "1", "x", "y"))},
      {"poll-answered",
       [&work] {
         WriteBytes(work.root / "out" / "1.htm",
                    StoredText("<html><body>Liste de anna</body></html>\nfin\n"));
         WriteBytes(work.root / "out" / "1.rdy", "");
       },
       Query(getlist_poll), HSE_STATUS_SUCCESS, "200 OK", "",
       "<html><body>Liste de anna</body></html>\nfin\n"},
      {"poll-after-pickup", nullptr, Query(getlist_poll), HSE_STATUS_SUCCESS, "200 OK", kHtml,
       ErrorPage("Can't open " + (work.root / "out" / "1.tmp").string() +
                 " (BACK or REFRESH button is forbidden)")},
      {"poll-not-a-ticket", nullptr, Query(DoCommandQuery("anna", "getlist", "01", "x", "y")),
       HSE_STATUS_SUCCESS, "200 OK", kHtml, ErrorPage("Invalid ticket")},
      {"download-ticket", nullptr, Query(DoCommandQuery("anna", "getdoc", "", "rapport")),
       HSE_STATUS_SUCCESS, "200 OK", "", WaitPage(Target("getdoc", "2", "rapport"))},
      {"download",
       [&work, document] {
         WriteBytes(work.root / "docs" / "rapport.pdf", kDocument);
         WriteBytes(work.root / "out" / "2.htm", StoredText(document + "\n"));
         WriteBytes(work.root / "out" / "2.rdy", "");
       },
       Query(DoCommandQuery("anna", "getdoc", "2", "rapport")), HSE_STATUS_SUCCESS, "200 OK",
       "Content-Type: application/pdf\r\nContent-length: 25\r\n", kDocument},
      {"getfilelength",
       [&work, document] {
         WriteBytes(work.root / "rights" / "~anna.lst", StoredText(document + "\n"));
       },
       Query(DoCommandQuery("anna", "getfilelength", document)), HSE_STATUS_SUCCESS, "200 OK", "",
       "25"},
      {"getfile", nullptr, Query(DoCommandQuery("anna", "getfile", document, "0", "25")),
       HSE_STATUS_SUCCESS, "200 OK", "",
       "||command=getfile||\nJVBERi0xLjQNCnVuZSBsaWduZQoA6XTpDQAA"},
      {"getfiledata", nullptr, Query(DoCommandQuery("anna", "getfiledata", document, "4", "9")),
       HSE_STATUS_SUCCESS, "200 OK", "Content-Type: application/pdf\r\nContent-length: 9\r\n",
       "-1.4\r\nune"},
      {"getfile-not-granted", nullptr, Query(DoCommandQuery("bob", "getfile", document, "0", "3")),
       HSE_STATUS_SUCCESS, "200 OK", "", "Access denied (no rights)"},
      {"newevent", nullptr,
       Query(DoCommandQuery("anna", "newevent", "ouvert", "rapport", "\xE9t\xE9")),
       HSE_STATUS_SUCCESS, "200 OK", "", "Done"},
      {"newevent-appended", nullptr, Query(DoCommandQuery("anna", "newevent", "a;b", "", "[ip]")),
       HSE_STATUS_SUCCESS, "200 OK", "", "Done"},
      {"newevent-device-logon", nullptr, Query(DoCommandQuery("CON", "newevent", "1", "2", "3")),
       HSE_STATUS_SUCCESS, "200 OK", kHtml, ErrorPage("Invalid logon")},
      {"newevent-logon-ending-in-dot", nullptr,
       Query(DoCommandQuery("anna.", "newevent", "1", "2", "3")), HSE_STATUS_SUCCESS, "200 OK",
       kHtml, ErrorPage("Invalid logon")},
      {"post-command", nullptr,
       Posted("PostCommand", "logon=anna&command=getlist&p1=&p2=form&p3=z\r\n"), HSE_STATUS_SUCCESS,
       "200 OK", "", WaitPage(Target("getlist", "3", "form", "z"))},
      {"store-data", nullptr, Posted("StoreData", std::string("ligne 1\nligne 2\r\n\0fin", 21)),
       HSE_STATUS_SUCCESS, "200 OK", "", "23"},  // bytes stored, each LF as CR LF
      {"phone-ticket", nullptr, Query(DoCommandQuery("anna", "ciscolist")), HSE_STATUS_SUCCESS,
       "200 OK", kXml + ("Refresh: 1;url=" + Target("ciscolist", "4") + "\r\n"),
       "<CiscoIPPhoneText>\r\n<Title>Quorvel</Title>\r\n"
       "<Text>Veuillez patienter SVP...</Text>\r\n</CiscoIPPhoneText>\r\n"},
      {"basket-ticket", nullptr, Query(DoCommandQuery("anna", "getqvpanier")), HSE_STATUS_SUCCESS,
       "200 OK", "", WaitPage(Target("getqvpanier", "5"), true)},
      {"basket-answered",
       [&work] {
         WriteBytes(work.root / "out" / "5.htm", StoredText("panier pr\xEAt\n"));
         WriteBytes(work.root / "out" / "5.rdy", "");
       },
       Query(basket_poll), HSE_STATUS_SUCCESS, "200 OK", "", "panier pr\xEAt\n"},
      {"basket-again", nullptr, Query(basket_poll), HSE_STATUS_SUCCESS, "200 OK", "",
       "panier pr\xEAt\n"},
      {"default", nullptr, Query(""), HSE_STATUS_SUCCESS, "200 OK", kHtml,
       "<html><head><title>Portail Quorvel</title></head><body>\r\n"
       "<p>ScriptName='/scripts/dudarovuvadu.dll'</p>\r\n"
       "<p><b>Param&egrave;tres invalides (nom de commande absent)</b></p>\r\n"
       "</body></html>"},
      {"failed-dispatch", nullptr, Query("NoSuchCommand?x=1"), HSE_STATUS_ERROR, "400 Bad Request",
       "", ""},
  };
}

// The install root as it is after step `number`, in snapshots/NN-name.
void Snapshot(const Work& work, std::size_t number, const std::string& name) {
  const std::string folder = (number < 10 ? "0" : "") + std::to_string(number) + "-" + name;
  fs::copy(work.root, work.snapshots / folder, fs::copy_options::recursive);
}

TEST(RequestReplayTest, LoadedModuleAnswersTheTableAndKeepsTheSpoolInTextBytes) {
  if (g_module_file.empty()) GTEST_SKIP() << "no --module given";
  std::optional<harness::TempDir> temporary;
  fs::path top;
  if (g_work_dir.empty()) {
    temporary.emplace();
    top = fs::path(temporary->path()) / "work";
  } else {
    top = fs::absolute(g_work_dir);
  }
  const Work work = MakeWork(top);

  std::string error;
  std::unique_ptr<hosts::ExtensionModule> module =
      hosts::ExtensionModule::Load(work.module.string(), &error);
  ASSERT_NE(module, nullptr) << error;
  EXPECT_EQ(module->VersionText(), "4.0");
  // Read from the module's own string table.
  EXPECT_EQ(module->description(), "DudarOvuvadu Extension");

  const std::vector<Step> steps = RequestTable(work);
  for (std::size_t i = 0; i < steps.size(); ++i) {
    const Step& step = steps[i];
    if (step.back_end) step.back_end();
    const harness::Response response = harness::Run(module->http_extension_proc(), step.request);
    EXPECT_EQ(response.result, step.result) << step.name;
    EXPECT_EQ(response.status_line, step.status_line) << step.name;
    EXPECT_EQ(response.header_text.value_or(""), step.headers) << step.name;
    EXPECT_EQ(response.body(), step.body) << step.name;
    Snapshot(work, i + 1, step.name);
  }
  EXPECT_TRUE(module->Unload());

  // What the back-end reads: CR LF line ends, nothing more, on every system.
  const auto spool = [&work](const std::string& relative) {
    return ReadBytes(work.root / harness::NativePath(relative));
  };
  EXPECT_EQ(spool("dudarovuvadu.cnt.in.txt"), "5\r\n");
  EXPECT_EQ(spool("dudarovuvadu.cnt.post.txt"), "1\r\n");
  EXPECT_EQ(spool("in/3.req"),
            "/scripts/dudarovuvadu.dll\r\nanna\r\ngetlist\r\n3\r\nform\r\nz\r\n");
  EXPECT_EQ(spool("in/4.req"), "/scripts/dudarovuvadu.dll\r\nanna\r\nciscolist\r\n4\r\n\r\n\r\n");
  EXPECT_EQ(spool("in/4.srv"), "http\r\nportal.example\r\n8080\r\n");
  EXPECT_EQ(spool("events/anna.evt"), "ouvert;rapport;\xE9t\xE9\r\na;b;;[ip]\r\n");
  EXPECT_EQ(spool("post/1.txt"), std::string("ligne 1\r\nligne 2\r\r\n|fin"));
  EXPECT_EQ(spool("post/1.rdy"), "21");
  // Picked up: request, server, flag and wait page gone; a basket's stay.
  for (const char* gone : {"in/1.req", "in/1.srv", "out/1.rdy", "out/1.tmp", "in/5.req"}) {
    EXPECT_FALSE(fs::exists(work.root / harness::NativePath(gone))) << gone;
  }
  EXPECT_TRUE(fs::exists(work.root / "out" / "5.rdy"));
  EXPECT_TRUE(fs::exists(work.root / "out" / "5.tmp"));
  // Refused logons wrote nothing.
  EXPECT_EQ(std::distance(fs::directory_iterator(work.root / "events"), fs::directory_iterator()),
            1);
}

// The install root the pointer file beside `module` names: its first line.
fs::path InstalledRoot(const fs::path& module) {
  std::string line = ReadBytes(module.parent_path() / "dudarovuvadu.dir");
  line = line.substr(0, line.find_first_of("\r\n"));
  return fs::path(line);
}

// The module where a package installed it: the pointer file the package put
// beside it names a spool root with the six folders, and a new request and
// its poll go through it. Tickets left by an earlier run do not matter.
TEST(RequestReplayTest, InstalledModuleAnswersANewRequestAndItsPoll) {
  if (g_installed_module.empty()) GTEST_SKIP() << "no --installed module given";
  const fs::path root = InstalledRoot(g_installed_module);
  for (const char* folder : {"in", "out", "traces", "post", "rights", "events"}) {
    EXPECT_TRUE(fs::is_directory(root / folder)) << (root / folder).string();
  }
  std::string error;
  std::unique_ptr<hosts::ExtensionModule> module =
      hosts::ExtensionModule::Load(g_installed_module, &error);
  ASSERT_NE(module, nullptr) << error;

  const harness::Response wait =
      harness::Run(module->http_extension_proc(), Query(DoCommandQuery("anna", "getlist")));
  const std::string ticket = TicketOf(wait.body());
  ASSERT_FALSE(ticket.empty()) << wait.body();
  EXPECT_TRUE(fs::exists(root / "in" / (ticket + ".req")));

  WriteBytes(root / "out" / (ticket + ".htm"), "<html>installed answer</html>");
  WriteBytes(root / "out" / (ticket + ".rdy"), "");
  const harness::Response answer =
      harness::Run(module->http_extension_proc(), Query(DoCommandQuery("anna", "getlist", ticket)));
  EXPECT_EQ(answer.body(), "<html>installed answer</html>");
  EXPECT_FALSE(fs::exists(root / "in" / (ticket + ".req")));
  EXPECT_TRUE(module->Unload());
}

}  // namespace
}  // namespace replay

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  for (int i = 1; i < argc; ++i) {
    const std::string_view argument = argv[i];
    if (argument == "--module" && i + 1 < argc) {
      replay::g_module_file = argv[++i];
    } else if (argument == "--work" && i + 1 < argc) {
      replay::g_work_dir = argv[++i];
    } else if (argument == "--installed" && i + 1 < argc) {
      replay::g_installed_module = argv[++i];
    } else {
      replay::g_module_file.clear();
      replay::g_installed_module.clear();
      break;
    }
  }
  if (replay::g_module_file.empty() && replay::g_installed_module.empty()) {
    std::fprintf(stderr, "usage: %s [gtest flags] --module FILE [--work DIR] | --installed FILE\n",
                 argv[0]);
    return 2;
  }
  return RUN_ALL_TESTS();
}
