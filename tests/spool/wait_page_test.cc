// Tests of spool/wait_page.cc: the wait pages byte for byte, and the
// encoding that keeps inserted values inside the reload URL.
#include "spool/wait_page.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace spool {
namespace {

const ServerTexts kServer{"http", "portal.example.org", "8080", "/scripts/dudarovuvadu.dll"};

TEST(PercentEncodeValueTest, KeepsOnlyUnreservedBytes) {
  struct Case {
    std::string value;
    std::string encoded;
  };
  const std::vector<Case> cases = {
      {"anna", "anna"},
      {"getlist", "getlist"},
      {"42", "42"},
      {"A-Z.a_z~09", "A-Z.a_z~09"},
      {"", ""},
      {"a&b", "a%26b"},
      {"say \"hi\"", "say%20%22hi%22"},
      {"</script>", "%3C%2Fscript%3E"},
      {"x\r\nSet-Cookie: a=b", "x%0D%0ASet-Cookie%3A%20a%3Db"},
      {"caf\xE9", "caf%E9"},
      {"100%+1", "100%25%2B1"},
      {"'\\`", "%27%5C%60"},
      {std::string("\x01"
                   "\x7F"
                   "\xFF",
                   3),
       "%01%7F%FF"},
  };
  for (const Case& c : cases) EXPECT_EQ(PercentEncodeValue(c.value), c.encoded) << c.value;
}

TEST(EncodeServerTextTest, EncodesOnlyBytesThatCouldBreakOut) {
  struct Case {
    std::string text;
    std::string encoded;
  };
  const std::vector<Case> cases = {
      {"/scripts/dudarovuvadu.dll", "/scripts/dudarovuvadu.dll"},
      {"portal.example.org", "portal.example.org"},
      {"[::1]", "[::1]"},
      {"8080", "8080"},
      {"https", "https"},
      {"/a b", "/a%20b"},
      {"host\"x", "host%22x"},
      {"h</script>", "h%3C/script%3E"},
      {"h\r\nX: y", "h%0D%0AX:%20y"},
      {"a'b\\c%d`e", "a%27b%5Cc%25d%60e"},
      {"caf\xE9", "caf%E9"},
  };
  for (const Case& c : cases) EXPECT_EQ(EncodeServerText(c.text), c.encoded) << c.text;
}

TEST(WaitPageTargetTest, PlainValuesAppearUnchanged) {
  EXPECT_EQ(WaitPageTarget(kServer, {"anna", "getlist", "42", "x", "y"}),
            "http://portal.example.org:8080/scripts/dudarovuvadu.dll?DoCommand?"
            "logon=anna&command=getlist&p1=42&p2=x&p3=y");
  // The port is written even when it is the scheme's own.
  EXPECT_EQ(WaitPageTarget({"http", "h", "80", "/s"}, {"", "", "", "", ""}),
            "http://h:80/s?DoCommand?logon=&command=&p1=&p2=&p3=");
}

// A parameter inserted as it came could close the script string (or the
// script element) and run script in the user's browser.
TEST(WaitPageTargetTest, RegressionParameterCannotBreakOutOfTheScriptString) {
  const std::string hostile = "\";alert(1);//</script><script>alert(2)</script>";
  const std::string target = WaitPageTarget(kServer, {hostile, hostile, "", hostile, hostile});
  EXPECT_EQ(target.find('"'), std::string::npos);
  EXPECT_EQ(target.find('<'), std::string::npos);
  EXPECT_EQ(target.find('>'), std::string::npos);
  EXPECT_NE(target.find("&p2=%22%3Balert%281%29%3B%2F%2F%3C%2Fscript%3E"), std::string::npos);
}

TEST(HtmlWaitPageTest, IsByteExact) {
  const std::string target = "http://h:8080/s?DoCommand?logon=a&command=c&p1=1&p2=&p3=";
  EXPECT_EQ(HtmlWaitPage(target, false),
            "<html>\r\n<head>\r\n"
            "<title>Portail Quorvel</title>\r\n"
            "<script type=\"text/javascript\">\r\n"
            "var target=\"http://h:8080/s?DoCommand?logon=a&command=c&p1=1&p2=&p3=\";\r\n"
            "  function timedRedirect(){\r\n"
            "    var t=setTimeout(\"window.location.href=target\", 1000);\r\n"
            "  }\r\n"
            "</script>\r\n"
            "</head>\r\n"
            "<body onload=\"timedRedirect()\">\r\n"
            "Veuillez patienter SVP...\r\n"
            "</body>\r\n"
            "</html>\r\n");
  EXPECT_EQ(HtmlWaitPage(target, true),
            "<html>\r\n<head>\r\n"
            "<title>Portail Quorvel - Panier t&eacute;l&eacute;charg&eacute;</title>\r\n"
            "<script type=\"text/javascript\">\r\n"
            "var target=\"http://h:8080/s?DoCommand?logon=a&command=c&p1=1&p2=&p3=\";\r\n"
            "  function timedRedirect(){\r\n"
            "    var t=setTimeout(\"window.location.href=target\", 1000);\r\n"
            "  }\r\n"
            "</script>\r\n"
            "</head>\r\n"
            "<body onload=\"timedRedirect()\">\r\n"
            "T&eacute;l&eacute;chargement en cours...\r\n"
            "</body>\r\n"
            "</html>\r\n");
}

TEST(PhoneWaitPageTest, IsByteExact) {
  EXPECT_EQ(PhoneWaitPage("http://h:80/s?DoCommand?logon=a&command=ciscolist&p1=3&p2=&p3=", false),
            "Refresh: 1;url=http://h:80/s?DoCommand?logon=a&command=ciscolist&p1=3&p2=&p3=\r\n"
            "<CiscoIPPhoneText>\r\n"
            "<Title>Quorvel</Title>\r\n"
            "<Text>Veuillez patienter SVP...</Text>\r\n"
            "</CiscoIPPhoneText>\r\n");
  EXPECT_EQ(PhoneWaitPage("u", true),
            "Refresh: 1;url=u\r\n"
            "<CiscoIPPhoneText>\r\n"
            "<Title>Quorvel</Title>\r\n"
            "<Text> </Text>\r\n"
            "</CiscoIPPhoneText>\r\n");
}

// A line end in a value would have ended the Refresh header and forged
// further header lines for the phone.
TEST(PhoneWaitPageTest, RegressionValueCannotAddHeaderLines) {
  const std::string target =
      WaitPageTarget(kServer, {"anna", "ciscolist", "", "x\r\nSet-Cookie: s=1", ""});
  const std::string page = PhoneWaitPage(target, false);
  EXPECT_EQ(page.find("\r\n"), page.find("\r\n<CiscoIPPhoneText>"));
  EXPECT_EQ(page.find("Set-Cookie: "), std::string::npos);
}

// The request a wait page reloads is read back from either form, values
// decoded; a page this module did not write gives nothing.
TEST(ReadWaitPageRequestTest, ReadsBackWhatEitherPageFormCarries) {
  const std::string odd = std::string("a&b=c \"%+\xE9") + '\x01';
  const WaitPageRequest expected{"anna", "getqv list", "12", odd, "p3?DoCommand?x"};
  const std::string target = WaitPageTarget(
      kServer, {expected.logon, expected.command, expected.p1, expected.p2, expected.p3});
  EXPECT_EQ(ReadWaitPageRequest(HtmlWaitPage(target, true)), expected);
  EXPECT_EQ(ReadWaitPageRequest(HtmlWaitPage(target, false)), expected);
  EXPECT_EQ(ReadWaitPageRequest(PhoneWaitPage(target, false)), expected);

  const std::string refused[] = {
      "",
      "some answer\r\n",
      HtmlWaitPage("http://h:1/s?DoCommand?logon=a&command=b&p1=1&p2=", false),
      HtmlWaitPage("http://h:1/s?DoCommand?logon=a&command=b&p1=1&p2=&p3=&p4=", false),
      HtmlWaitPage("http://h:1/s?DoCommand?command=b&logon=a&p1=1&p2=&p3=", false),
      HtmlWaitPage("http://h:1/s?DoCommand?logon=a%2&command=b&p1=1&p2=&p3=", false),
      HtmlWaitPage("http://h:1/s?DoCommand?logon=a b&command=b&p1=1&p2=&p3=", false),
      HtmlWaitPage("http://h:1/s?logon=a&command=b&p1=1&p2=&p3=", false),
  };
  for (const std::string& page : refused) {
    EXPECT_EQ(ReadWaitPageRequest(page), std::nullopt) << page;
  }
}

}  // namespace
}  // namespace spool
