// Tests of file names: bracket-escape decoding, the names-a-file test, native
// names, content types by name and logons that may name a user's file.
#include "commands/file_names.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/harness/temp_dir.h"

namespace commands {
namespace {

TEST(FileNamesTest, DecodesBracketEscapes) {
  struct Case {
    std::string escaped;
    std::string decoded;
  };
  const Case cases[] = {
      {"", ""},
      {"plain.pdf", "plain.pdf"},
      {"C:[5C]docs[5C]a.pdf", "C:\\docs\\a.pdf"},
      {"c:[5c]docs[5c]A.PDF", "c:\\docs\\A.PDF"},  // lower-case hex digits
      {"[41][42]", "AB"},
      {"[e9]t[E9]", "\xE9t\xE9"},
      {"a[5G]b", "a[5G]b"},  // not hex: copied unchanged
      {"a[G5]b", "a[G5]b"},
      {"a[5C", "a[5C"},      // no closing bracket before the end
      {"a[5Cb]", "a[5Cb]"},  // closing bracket in the wrong place
      {"[5C)", "[5C)"},
      {"[[5C]", "[\\"},  // the first "[" opens no group
      {"[5C][", "\\["},
      {"[", "["},
      {"[]", "[]"},
      {"[5]", "[5]"},
      {"[5C]]", "\\]"},
      {"[20]", " "},
      {"x[00]secret", "x"},  // a decoded zero byte ends the name
      {"[00]", ""},
      {"[5B]41]", "[41]"},  // decoding is one pass
  };
  for (const Case& c : cases) {
    EXPECT_EQ(DecodeBracketEscapes(c.escaped), c.decoded) << c.escaped;
  }
}

TEST(FileNamesTest, NamesAFileOnlyForUncOrDrivePaths) {
  struct Case {
    std::string first_line;
    bool names_a_file;
  };
  const Case cases[] = {
      {"\\\\srv\\docs\\a.pdf\n", true},
      {"\\\\", true},
      {"D:\\files\\plan.pdf\r\n", true},
      {"x:anything", true},
      {"::", true},
      {"\\docs\\a.pdf\n", false},  // one backslash, no colon
      {":x", false},
      {"", false},
      {"\\", false},
      {"<html>\n", false},
      {"ab:c", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(NamesAFile(c.first_line), c.names_a_file) << c.first_line;
  }
}

TEST(FileNamesTest, NativeNameReadsEachBackslashAsSeparator) {
  // Each backslash becomes the platform's separator (it stays on Windows).
  EXPECT_EQ(NativeFileName("\\\\srv\\docs\\a.pdf"), harness::NativePath("//srv/docs/a.pdf"));
  EXPECT_EQ(NativeFileName("D:\\x"), harness::NativePath("D:/x"));
  EXPECT_EQ(NativeFileName("/tmp/a b"), "/tmp/a b");
}

TEST(FileNamesTest, ContentTypesByNameAddEveryMatchingRow) {
  const std::string_view qv = "Content-Type: application/x-qv-compressed\r\n";
  const std::string_view doc = "Content-Type: application/msword\r\n";
  const std::string_view pdf = "Content-Type: application/pdf\r\n";
  struct Case {
    std::string name;
    std::vector<std::string_view> headers;
  };
  const Case cases[] = {
      {"a.pdf", {pdf}},
      {"a.PDF", {}},  // case-sensitive
      {"report.doc.pdf", {doc, pdf}},
      {"x.pdf.qv", {qv, pdf}},  // table order, not name order
      {"a.docx", {doc}},
      {"a.qvw", {qv}},
      {"plain.txt", {}},
      {"", {}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ContentTypeHeaders(c.name), c.headers) << c.name;
  }
}

TEST(FileNamesTest, LogonWithSeparatorOrControlByteIsRefused) {
  struct Case {
    std::string logon;
    bool accepted;
  };
  const Case cases[] = {
      {"anna", true},
      {"", true},
      {".a", true},   // stays inside its directory: "~.a.lst", ".a.evt"
      {"..", false},  // ends in a dot
      {"jos\xE9", true},
      {"a b", true},
      {"../../x", false},
      {"..\\x", false},
      {"c:x", false},
      {"a\nb", false},
      {"a\rb", false},
      {"a\tb", false},
      {std::string("a\0b", 3), false},
      {"\x1F", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(LogonNamesOneFile(c.logon), c.accepted) << c.logon;
  }
}

// On Windows events/con.evt is the console and rights/~anna..lst may be
// looked up as "anna": such logons are refused on every system alike.
TEST(FileNamesTest, LogonNamingAWindowsDeviceOrEndingInDotOrBlankIsRefused) {
  struct Case {
    std::string logon;
    bool accepted;
  };
  const Case cases[] = {
      {"CON", false},
      {"con", false},
      {"Con", false},
      {"PRN", false},
      {"aux", false},
      {"NuL", false},
      {"con.txt", false},
      {"CON.tar.gz", false},
      {"con .txt", false},
      {"nul  ", false},
      {"conin$", false},
      {"CONOUT$.x", false},
      {"COM1", false},
      {"com9", false},
      {"Com0", false},
      {"LPT1", false},
      {"lpt9.log", false},
      {"com\xB9", false},  // superscript one
      {"LPT\xB3", false},  // superscript three
      {"anna.", false},
      {"anna ", false},
      {"anna. ", false},
      {".", false},
      {" ", false},
      // Names that only resemble a device are ordinary files.
      {"console", true},
      {"nullable", true},
      {"xcon", true},
      {"_con", true},
      {"con_", true},
      {"com10", true},
      {"comA", true},
      {"lpt", true},
      {"com\xB4", true},  // an acute accent, no superscript
      {"con$", true},
      {"anna.b", true},
      {"an na", true},
      {" anna", true},
      {"a.con", true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(LogonNamesOneFile(c.logon), c.accepted) << "'" << c.logon << "'";
  }
}

}  // namespace
}  // namespace commands
