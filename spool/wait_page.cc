// The wait page texts. Every value inserted into the reload URL is encoded,
// so a parameter can neither run script in the browser nor add header lines
// for the phone, and the reload still delivers the same values.
#include "spool/wait_page.h"

#include <string>

namespace spool {

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

void AppendEscape(std::string& out, unsigned char byte) {
  out.push_back('%');
  out.push_back(kHexDigits[byte >> 4]);
  out.push_back(kHexDigits[byte & 0x0F]);
}

bool IsUnreserved(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '_' || c == '~';
}

bool IsSafeServerByte(unsigned char c) {
  if (c <= 0x20 || c >= 0x7F) return false;
  switch (c) {
    case '"':
    case '\'':
    case '<':
    case '>':
    case '\\':
    case '%':
    case '`':
      return false;
    default:
      return true;
  }
}

}  // namespace

std::string PercentEncodeValue(std::string_view value) {
  std::string out;
  out.reserve(value.size());
  for (const char c : value) {
    const auto byte = static_cast<unsigned char>(c);
    if (IsUnreserved(byte)) {
      out.push_back(c);
    } else {
      AppendEscape(out, byte);
    }
  }
  return out;
}

std::string EncodeServerText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (IsSafeServerByte(byte)) {
      out.push_back(c);
    } else {
      AppendEscape(out, byte);
    }
  }
  return out;
}

std::string WaitPageTarget(const ServerTexts& server, const RequestFields& fields) {
  std::string target;
  target.append(EncodeServerText(server.scheme)).append("://");
  target.append(EncodeServerText(server.server_name)).append(":");
  target.append(EncodeServerText(server.server_port));
  target.append(EncodeServerText(server.script_name)).append("?DoCommand?");
  target.append("logon=").append(PercentEncodeValue(fields.logon));
  target.append("&command=").append(PercentEncodeValue(fields.command));
  target.append("&p1=").append(PercentEncodeValue(fields.p1));
  target.append("&p2=").append(PercentEncodeValue(fields.p2));
  target.append("&p3=").append(PercentEncodeValue(fields.p3));
  return target;
}

std::string HtmlWaitPage(std::string_view target, bool basket) {
  std::string page;
  page.reserve(target.size() + 512);
  page.append("<html>\r\n<head>\r\n");
  page.append(basket ? "<title>Portail Quorvel - Panier t&eacute;l&eacute;charg&eacute;</title>\r\n"
                     : "<title>Portail Quorvel</title>\r\n");
  page.append("<script type=\"text/javascript\">\r\n");
  page.append("var target=\"").append(target).append("\";\r\n");
  page.append("  function timedRedirect(){\r\n");
  page.append("    var t=setTimeout(\"window.location.href=target\", 1000);\r\n");
  page.append("  }\r\n");
  page.append("</script>\r\n");
  page.append("</head>\r\n");
  page.append("<body onload=\"timedRedirect()\">\r\n");
  page.append(basket ? "T&eacute;l&eacute;chargement en cours...\r\n"
                     : "Veuillez patienter SVP...\r\n");
  page.append("</body>\r\n");
  page.append("</html>\r\n");
  return page;
}

std::string PhoneWaitPage(std::string_view target, bool numerote) {
  std::string page;
  page.reserve(target.size() + 160);
  page.append("Refresh: 1;url=").append(target).append("\r\n");
  page.append("<CiscoIPPhoneText>\r\n");
  page.append("<Title>Quorvel</Title>\r\n");
  page.append(numerote ? "<Text> </Text>\r\n" : "<Text>Veuillez patienter SVP...</Text>\r\n");
  page.append("</CiscoIPPhoneText>\r\n");
  return page;
}

}  // namespace spool
