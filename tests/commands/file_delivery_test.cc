// Whole requests for "getfile", "getfilelength" and "getfiledata": the
// rights check, decoding, clamping, the getfile text, and the refusals.
#include <gtest/gtest.h>

#include <string>

#include "commands/base64_text.h"
#include "gateway/web_extension.h"
#include "platform/file.h"

#include "tests/commands/query_test_support.h"

namespace commands {
namespace {

using testing::BackslashName;
using testing::DoCommandQuery;
using testing::ErrorPage;
using testing::FilesUnder;
using testing::Headers;
using testing::RunQuery;

constexpr char kDenied[] = "Access denied (no rights)";
constexpr char kGetfilePrefix[] = "||command=getfile||\n";

// A name as clients send it: backslashes written as [5C].
std::string Escaped(const std::string& backslash_name) {
  std::string escaped;
  for (const char c : backslash_name)
    escaped += c == '\\' ? std::string("[5C]") : std::string(1, c);
  return escaped;
}

// A spool root whose user anna is granted files/<name> holding `bytes`.
struct GrantedFile {
  harness::SpoolRoot root;
  std::string name;  // the escaped name, as in the rights list

  explicit GrantedFile(const std::string& bytes, const std::string& file = "a.pdf") {
    root.MakeDir("files");
    root.WriteFile("files/" + file, bytes);
    name = Escaped(BackslashName(root.Path("files/" + file)));
    root.WriteFile("rights/~anna.lst", "other\r\n" + name + "\r\n");
  }
  std::string Body(const std::string& command, const std::string& p2 = "",
                   const std::string& p3 = "") const {
    return RunQuery(DoCommandQuery("anna", command, name, p2, p3)).body();
  }
};

TEST(FileDeliveryTest, RightsAreCheckedOnTheDecodedName) {
  harness::SpoolRoot root;
  root.MakeDir("files");
  root.WriteFile("files/a.pdf", "12345");
  const std::string name = BackslashName(root.Path("files/a.pdf"));
  std::string lower_hex = Escaped(name);
  for (std::size_t at = lower_hex.find("[5C]"); at != std::string::npos;
       at = lower_hex.find("[5C]", at)) {
    lower_hex.replace(at, 4, "[5c]");
  }
  struct Case {
    std::string list, p1, body;
  };
  const Case cases[] = {
      {Escaped(name) + "\r\n", Escaped(name), "5"},
      {Escaped(name) + "\n", lower_hex, "5"},       // LF ends; hex case ignored
      {"x\n" + Escaped(name), Escaped(name), "5"},  // last line without line end
      {Escaped(name) + "\r\n", name, "5"},          // the same name, spelt unescaped
      {Escaped(name) + "\r\n", Escaped(name).substr(1), kDenied},
      {Escaped(name) + "\r\n", Escaped(name) + "x", kDenied},
      {"\r\n\n", "", kDenied},  // empty P1 never matches
      {"", Escaped(name), kDenied},
  };
  for (const Case& c : cases) {
    root.WriteFile("rights/~anna.lst", c.list);
    EXPECT_EQ(RunQuery(DoCommandQuery("anna", "getfilelength", c.p1)).body(), c.body)
        << c.list << " / " << c.p1;
  }
  // Letters in another case name another file where the file system tells
  // them apart, and the same granted file where it does not.
  root.WriteFile("rights/~anna.lst", Escaped(name) + "\r\n");
  std::string upper = Escaped(name);
  upper.replace(upper.size() - 5, 5, "A.PDF");
  EXPECT_EQ(RunQuery(DoCommandQuery("anna", "getfilelength", upper)).body(),
            platform::kFileNamesIgnoreCase ? "5" : kDenied);
  // No list at all.
  std::filesystem::remove(root.Path("rights/~anna.lst"));
  EXPECT_EQ(RunQuery(DoCommandQuery("anna", "getfilelength", Escaped(name))).body(), kDenied);
}

// A rights list grants exactly what it names: on a file system that tells
// letter case apart another spelling is another file, and a line too long
// for one read grants nothing, neither its head nor its tail.
TEST(FileDeliveryTest, RightsListGrantsExactlyWhatItNames) {
  harness::SpoolRoot root;
  for (const char* dir : {"files", "files/pub", "files/private"}) root.MakeDir(dir);
  root.WriteFile("files/pub/a.txt", "public");
  // Where letter case is ignored "PUB" is "pub" itself, the granted file.
  if (!platform::kFileNamesIgnoreCase) {
    root.MakeDir("files/PUB");
    root.WriteFile("files/PUB/a.txt", "not granted");
  }
  root.WriteFile("files/private/secret.txt", "secret");
  root.WriteFile("files/b.txt", "bee");
  const std::string pub = Escaped(BackslashName(root.Path("files/pub/a.txt")));
  const std::string other_case = Escaped(BackslashName(root.Path("files/PUB/a.txt")));
  const std::string secret = Escaped(BackslashName(root.Path("files/private/secret.txt")));
  const std::string bee = Escaped(BackslashName(root.Path("files/b.txt")));
  // A line of 1006 + more characters whose tail, read on its own, would be
  // the secret's entry.
  const std::string head = BackslashName(root.Path("files/uploads/eve/"));
  const std::string long_line = head + std::string(1023 - head.size(), 'd') + secret;
  std::string hex_case = pub;
  for (std::size_t at = hex_case.find("[5C]"); at != std::string::npos;
       at = hex_case.find("[5C]", at)) {
    hex_case.replace(at, 4, "[5c]");
  }
  struct Case {
    const char* what;
    std::string list, p1, body;
  };
  const Case cases[] = {
      {"granted", pub + "\r\n", pub, "6"},
      {"escape digits in either case", pub + "\r\n", hex_case, "6"},
      {"the name's own letters in another case", pub + "\r\n", other_case,
       platform::kFileNamesIgnoreCase ? "6" : kDenied},
      {"tail of a long line", long_line + "\r\n" + bee + "\r\n", secret, kDenied},
      {"head of a long line", long_line + "\r\n", long_line.substr(0, 1023), kDenied},
      {"long last line without line end", pub + "\r\n" + long_line, secret, kDenied},
      {"entry after a long line", long_line + "\r\n" + bee + "\r\n", bee, "3"},
      {"longest entry that fits", std::string(1022, 'x') + "\r\n" + bee + "\n", bee, "3"},
  };
  for (const Case& c : cases) {
    root.WriteFile("rights/~anna.lst", c.list);
    EXPECT_EQ(RunQuery(DoCommandQuery("anna", "getfilelength", c.p1)).body(), c.body) << c.what;
  }
}

TEST(FileDeliveryTest, GetFileLengthGivesTheSize) {
  EXPECT_EQ(GrantedFile("").Body("getfilelength"), "0");
  EXPECT_EQ(GrantedFile(std::string(100, 'x')).Body("getfilelength"), "100");
  GrantedFile granted("x");
  std::filesystem::remove(granted.root.Path("files/a.pdf"));
  const harness::Response response =
      RunQuery(DoCommandQuery("anna", "getfilelength", granted.name));
  EXPECT_EQ(Headers(response), "Content-Type: text/html\r\n");
  EXPECT_EQ(response.body(),
            ErrorPage("Can't open '" + BackslashName(granted.root.Path("files/a.pdf")) +
                      "' (May have been already purged)"));
}

TEST(FileDeliveryTest, GetFileDataClampsThePartToTheFile) {
  std::string bytes;
  for (int i = 0; i < 100; ++i) bytes.push_back(static_cast<char>('0' + i % 10));
  GrantedFile granted(bytes);
  struct Case {
    std::string p2, p3;
    std::size_t offset, length;
  };
  const Case cases[] = {
      {"10", "20", 10, 20}, {"90", "50", 90, 10}, {"150", "50", 0, 0}, {"100", "50", 0, 0},
      {"", "-1", 0, 100},   {"-1", "5", 0, 0},    {"0", "0", 0, 0},    {" +5x", "3", 5, 3},
  };
  for (const Case& c : cases) {
    const harness::Response response =
        RunQuery(DoCommandQuery("anna", "getfiledata", granted.name, c.p2, c.p3));
    EXPECT_EQ(Headers(response), "Content-Type: application/pdf\r\nContent-length: " +
                                     std::to_string(c.length) + "\r\n")
        << c.p2 << "," << c.p3;
    EXPECT_EQ(response.body(), bytes.substr(c.offset, c.length)) << c.p2 << "," << c.p3;
  }
}

TEST(FileDeliveryTest, GetFileDataTakesTheContentTypeFromTheRightsLine) {
  GrantedFile granted("%PDF-1.4");
  // The same name with its "p" escaped: no ".pdf" on the rights line.
  std::string listed = granted.name;
  listed.replace(listed.size() - 3, 1, "[70]");
  granted.root.WriteFile("rights/~anna.lst", listed + "\r\n");
  const harness::Response response =
      RunQuery(DoCommandQuery("anna", "getfiledata", granted.name, "0", "100"));
  EXPECT_EQ(Headers(response), "Content-length: 8\r\n");
  EXPECT_EQ(response.body(), "%PDF-1.4");
}

TEST(FileDeliveryTest, GetFileEncodesThePartInBase64Lines) {
  struct Case {
    std::string bytes, p2, p3, text;
  };
  const std::string sixty(60, 'x');  // "eHh4" per group
  std::string twenty_groups;
  for (int i = 0; i < 20; ++i) twenty_groups += "eHh4";
  const Case cases[] = {
      {"abc", "0", "3", "YWJj"},
      {"abc", "0", "2", "YWIA"},
      {"abc", "1", "2", "YmMA"},
      {"abc", "0", "0", ""},
      {sixty, "0", "60", twenty_groups + "\r\n"},
      {sixty + "x", "0", "61", twenty_groups + "\r\neAAA"},
  };
  for (const Case& c : cases) {
    GrantedFile granted(c.bytes);
    const harness::Response response =
        RunQuery(DoCommandQuery("anna", "getfile", granted.name, c.p2, c.p3));
    EXPECT_EQ(Headers(response), "");
    EXPECT_EQ(response.body(), kGetfilePrefix + c.text) << c.p3;
  }
  GrantedFile missing("x");
  std::filesystem::remove(missing.root.Path("files/a.pdf"));
  EXPECT_EQ(missing.Body("getfile", "0", "3"), "Can't open remote file\n");
}

TEST(FileDeliveryTest, GetFilePastTheEndIsCompletedWithZeroBytes) {
  GrantedFile granted("ab");
  EXPECT_EQ(granted.Body("getfile", "0", "6"), std::string(kGetfilePrefix) + "YWIAAAAA");
  EXPECT_EQ(granted.Body("getfile", "5", "3"), std::string(kGetfilePrefix) + "AAAA");
}

TEST(FileDeliveryTest, GetFileLengthFromNegativeOrHugeTextIsRefused) {
  GrantedFile granted("abc");
  for (const std::string p3 : {"-1", "-3", "16777217", "2147483647", "99999999999"}) {
    const harness::Response response =
        RunQuery(DoCommandQuery("anna", "getfile", granted.name, "0", p3));
    EXPECT_EQ(response.status_line, "200 OK") << p3;
    EXPECT_EQ(Headers(response), "") << p3;
    EXPECT_EQ(response.body(), "") << p3;
  }
  // The largest part allowed is encoded in full (zero bytes past the end).
  const std::string body = granted.Body("getfile", "0", "16777216");
  const std::size_t groups = (16777216 + 2) / 3;
  EXPECT_EQ(body.size(), std::string(kGetfilePrefix).size() + groups * 4 + (groups / 20) * 2);
  EXPECT_EQ(body.substr(0, 24), std::string(kGetfilePrefix) + "YWJj");
}

// A large part goes out read and encoded piece by piece, each write within
// the bound, whether the writes wait or complete later: the text is the
// whole part's, line breaks and zero bytes past the end included.
TEST(FileDeliveryTest, LargeGetFileIsWrittenInBoundedPiecesWithItsTextUnchanged) {
  std::string content(300000, '\0');
  for (std::size_t i = 0; i < content.size(); ++i)
    content[i] = static_cast<char>(i * 13 + (i >> 9));
  const GrantedFile granted(content);
  struct Case {
    std::uint32_t offset, length;
  };
  const Case cases[] = {{7, 250000}, {100000, 250000}, {0, 47940}, {0, 47941}, {1, 95881}};
  for (const auto mode :
       {harness::Faults::AsyncWrites::kRefused, harness::Faults::AsyncWrites::kOnAnotherThread,
        harness::Faults::AsyncWrites::kInsideWriteClient}) {
    for (const Case& c : cases) {
      std::string part = content.substr(c.offset, c.length);
      part.resize(c.length, '\0');
      const std::string expected =
          kGetfilePrefix +
          EncodeGetfileText({reinterpret_cast<const unsigned char*>(part.data()), part.size()});
      harness::Request request;
      request.query = DoCommandQuery("anna", "getfile", granted.name, std::to_string(c.offset),
                                     std::to_string(c.length));
      harness::Faults faults;
      faults.async_writes = mode;
      const harness::Response response = harness::Run(request, faults);
      const std::string where = std::to_string(c.offset) + "+" + std::to_string(c.length) +
                                " mode " + std::to_string(static_cast<int>(mode));
      EXPECT_TRUE(response.body() == expected) << where << ": text differs";
      EXPECT_GE(response.writes.size(), 3 + c.length / 47941) << where << ": not in pieces";
      for (const std::string& write : response.writes) {
        EXPECT_LE(write.size(), gateway::WebExtension::kFileBodyPiece) << where;
      }
    }
  }
}

TEST(FileDeliveryTest, LogonThatCouldNameAnotherRightsListIsDenied) {
  harness::SpoolRoot root;
  root.MakeDir("files");
  root.WriteFile("files/a.pdf", "12345");
  const std::string name = Escaped(BackslashName(root.Path("files/a.pdf")));
  // rights/~x/../../secret.lst is the root's secret.lst once ~x exists.
  root.MakeDir("rights/~x");
  root.WriteFile("secret.lst", name + "\r\n");
  // A logon whose list exists but whose path is over 255 characters.
  const std::string long_logon(240, 'l');
  ASSERT_GT(root.Path("rights/~" + long_logon + ".lst").size(), 255u);
  root.WriteFile("rights/~" + long_logon + ".lst", name + "\r\n");
  // Lists that grant the name to a Windows device and to a second name of
  // anna's list.
  root.WriteFile("rights/~con.lst", name + "\r\n");
  root.WriteFile("rights/~anna..lst", name + "\r\n");
  for (const std::string& logon :
       {std::string("x/../../secret"), std::string("x\\..\\..\\secret"), std::string("c:x"),
        std::string("an\nna"), long_logon, std::string("con"), std::string("anna.")}) {
    for (const std::string command : {"getfile", "getfilelength", "getfiledata"}) {
      EXPECT_EQ(RunQuery(DoCommandQuery(logon, command, name, "0", "5")).body(), kDenied)
          << command << " " << logon.substr(0, 20);
    }
  }
}

TEST(FileDeliveryTest, DecodedNameOver999CharactersIsNotOpened) {
  harness::SpoolRoot root;
  std::string relative = "files";
  while (root.Path(relative).size() < 900) relative += "/" + std::string(100, 'd');
  relative += "/" + std::string(1000 - root.Path(relative).size(), 'e');
  root.MakeDir(relative);
  relative += "/a.pdf";
  root.WriteFile(relative, "12345");
  const std::string name = BackslashName(root.Path(relative));
  ASSERT_LT(name.size(), 1024u);                      // one rights-list line
  root.WriteFile("rights/~anna.lst", name + "\r\n");  // no escapes needed
  const std::string page = ErrorPage("Can't open '" + name + "' (May have been already purged)");
  EXPECT_EQ(RunQuery(DoCommandQuery("anna", "getfilelength", name)).body(), page);
  EXPECT_EQ(RunQuery(DoCommandQuery("anna", "getfiledata", name, "0", "5")).body(), page);
  EXPECT_EQ(RunQuery(DoCommandQuery("anna", "getfile", name, "0", "5")).body(),
            "Can't open remote file\n");
}

TEST(FileDeliveryTest, RefusedRequestsTouchNoFile) {
  harness::SpoolRoot root;
  root.WriteFile("rights/~anna.lst", "[3C]b[3E]\r\n");
  const auto before = FilesUnder(root.path());
  EXPECT_EQ(RunQuery(DoCommandQuery("../anna", "getfile", "[3C]b[3E]", "0", "1")).body(), kDenied);
  // The decoded name is request text: the page escapes it.
  EXPECT_EQ(RunQuery(DoCommandQuery("anna", "getfilelength", "[3C]b[3E]")).body(),
            ErrorPage("Can't open '&lt;b&gt;' (May have been already purged)"));
  EXPECT_EQ(FilesUnder(root.path()), before);
  EXPECT_TRUE(std::filesystem::is_empty(root.Path("in")));
}

}  // namespace
}  // namespace commands
