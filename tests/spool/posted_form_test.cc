// Tests of the posted-form decoder: escapes before fields, the five fields,
// extra numbered fields gathered into p3 and their bound, the 250-character
// cuts and what an unfinished body leaves.
#include "spool/posted_form.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace spool {
namespace {

struct DecodeCase {
  const char* what;
  std::string body;
  PostedForm expected;
};

PostedForm Form(std::string logon, std::string command, std::string p1, std::string p2,
                std::string p3) {
  return PostedForm{std::move(logon), std::move(command), std::move(p1), std::move(p2),
                    std::move(p3)};
}

TEST(DecodePostedFormTest, DecodesEachCaseOfTheTable) {
  const std::string a300(300, 'a');
  const std::string n250(250, 'n');
  const std::vector<DecodeCase> cases = {
      {"all five fields", "logon=anna&command=getlist&p1=&p2=x&p3=y",
       Form("anna", "getlist", "", "x", "y")},
      {"empty body", "", Form("", "", "", "", "")},
      {"extra fields join p3", "p3=a&p4=b&p5=c", Form("", "", "", "", "a|b|c")},
      {"p3 replaces what was gathered", "p4=b&p3=a", Form("", "", "", "", "a")},
      {"extra field without p3", "p10=z", Form("", "", "", "", "|z")},
      {"leading zero in the number", "p04=b", Form("", "", "", "", "|b")},
      {"number followed by letters", "p4x=b", Form("", "", "", "", "|b")},
      {"capital P is no field", "P4=b", Form("", "", "", "", "")},
      {"p3x is no extra field", "p3x=b", Form("", "", "", "", "")},
      {"p1 to p3 by number are not extra", "p2x=b&p03=c", Form("", "", "", "", "")},
      {"p without digit", "p=b&px4=c", Form("", "", "", "", "")},
      {"huge number is above 3", "p99999999999999999999999=q", Form("", "", "", "", "|q")},
      {"names match case-sensitively", "Logon=a&COMMAND=b", Form("", "", "", "", "")},
      {"later field wins", "logon=a&logon=b", Form("b", "", "", "", "")},
      {"escapes in either case", "logon=%2F%4a%41%66", Form("/JAf", "", "", "", "")},
      {"escaped & ends the value", "logon=a%26command=b", Form("a", "b", "", "", "")},
      {"escaped = starts the value", "logon%3Danna", Form("anna", "", "", "", "")},
      {"escaped % is a plain character", "p2=50%25", Form("", "", "", "50%", "")},
      {"plus stays plus", "logon=a+b", Form("a+b", "", "", "", "")},
      {"= inside a value", "command=x=y", Form("", "x=y", "", "", "")},
      {"value cut at 250", "logon=" + a300, Form(std::string(250, 'a'), "", "", "", "")},
      {"name cut at 250 misses its field", n250 + "logon=v", Form("", "", "", "", "")},
      {"escape open at the end", "logon=ab%4", Form("ab", "", "", "", "")},
      {"bare % at the end", "command=go%", Form("", "go", "", "", "")},
      {"non-hex bytes inside an escape are dropped", "logon=%zz%41", Form("A", "", "", "", "")},
      {"an open escape swallows the separator", "logon=%4&command=x",
       Form("Lommand=x", "", "", "", "")},
      {"field without = runs into the next name", "flag&logon=x", Form("", "", "", "", "")},
      {"unfinished name takes the previous value", "logon=x&command%4", Form("x", "x", "", "", "")},
      {"empty name is dropped", "=x&logon=y", Form("y", "", "", "", "")},
      {"ticket in p1", "p1=17&logon=anna&command=getlist", Form("anna", "getlist", "17", "", "")},
      {"zero byte ends a field text", "logon=ab%00cd&command=x", Form("ab", "x", "", "", "")},
      {"escaped line ends are kept for the spool to judge", "p3=a%0D%0Ab",
       Form("", "", "", "", "a\r\nb")},
      {"bar from a posted zero byte", "logon=anna&command=getlist|",
       Form("anna", "getlist|", "", "", "")},
  };
  for (const DecodeCase& c : cases) {
    EXPECT_EQ(DecodePostedForm(c.body), c.expected) << c.what << ": " << c.body;
  }
}

TEST(DecodePostedFormTest, ExtraFieldsStopAtTheP3Bound) {
  // 191 + 31 * 251 = 7972 characters; a 32nd value of 250 would make 8222.
  std::string body = "p3=" + std::string(191, 'a');
  std::string expected(191, 'a');
  for (int i = 4; i < 4 + 32; ++i) {
    body += "&p" + std::to_string(i) + "=" + std::string(250, 'b');
    if (i < 4 + 31) expected += "|" + std::string(250, 'b');
  }
  // 7972 + 219 = 8191 is below the bound: p3 reaches 8192 with its "|".
  body += "&p40=" + std::string(219, 'c');
  expected += "|" + std::string(219, 'c');
  // Now full: even an empty extra value stays out.
  body += "&p41=";
  const PostedForm form = DecodePostedForm(body);
  EXPECT_EQ(form.p3.size(), kPostedP3Limit);
  EXPECT_EQ(form.p3, expected);
}

TEST(DecodePostedFormTest, LaterShorterExtraFieldStillFits) {
  std::string body = "p3=" + std::string(250, 'a');
  for (int i = 4; i < 4 + 31; ++i) body += "&p" + std::to_string(i) + "=" + std::string(250, 'b');
  // 250 + 31 * 251 = 8031: 8031 + 200 is too long, 8031 + 160 fits.
  body += "&p50=" + std::string(200, 'x') + "&p51=" + std::string(160, 'y');
  const PostedForm form = DecodePostedForm(body);
  EXPECT_EQ(form.p3.size(), 8031u + 161u);
  EXPECT_EQ(form.p3.find('x'), std::string::npos);
  EXPECT_EQ(form.p3.substr(form.p3.size() - 161), "|" + std::string(160, 'y'));
}

}  // namespace
}  // namespace spool
