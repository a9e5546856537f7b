// The wait page texts. Every value inserted into the reload URL is encoded,
// so a parameter can neither run script in the browser nor add header lines
// for the phone, and the reload still delivers the same values.
#include "spool/wait_page.h"

#include <algorithm>
#include <array>
#include <string>
#include <utility>

#include "text/ascii.h"
#include "text/percent_encoding.h"

namespace spool {

namespace {

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

// Undoes PercentEncodeValue; nothing for bytes it never writes.
std::optional<std::string> DecodeValue(std::string_view encoded) {
  std::string value;
  value.reserve(encoded.size());
  for (std::size_t at = 0; at < encoded.size(); ++at) {
    const char c = encoded[at];
    if (c != '%') {
      if (!IsUnreserved(static_cast<unsigned char>(c))) return std::nullopt;
      value.push_back(c);
      continue;
    }
    if (encoded.size() - at < 3) return std::nullopt;
    const int high = text::HexDigitValue(encoded[at + 1]);
    const int low = text::HexDigitValue(encoded[at + 2]);
    if (high < 0 || low < 0) return std::nullopt;
    value.push_back(static_cast<char>(high * 16 + low));
    at += 2;
  }
  return value;
}

// The target of either page form, as written (the encoded target holds no
// quote, CR or LF).
std::optional<std::string_view> TargetOf(std::string_view page) {
  constexpr std::string_view kRefresh = "Refresh: 1;url=";
  constexpr std::string_view kScript = "\nvar target=\"";
  if (page.starts_with(kRefresh)) {
    page.remove_prefix(kRefresh.size());
    const std::size_t end = page.find_first_of("\r\n");
    if (end == std::string_view::npos) return std::nullopt;
    return page.substr(0, end);
  }
  const std::size_t start = page.find(kScript);
  if (start == std::string_view::npos) return std::nullopt;
  page.remove_prefix(start + kScript.size());
  const std::size_t end = page.find("\";");
  if (end == std::string_view::npos) return std::nullopt;
  return page.substr(0, end);
}

}  // namespace

std::string PercentEncodeValue(std::string_view value) {
  return text::PercentEncode(value, IsUnreserved);
}

std::string EncodeServerText(std::string_view server_text) {
  return text::PercentEncode(server_text, IsSafeServerByte);
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

std::optional<WaitPageRequest> ReadWaitPageRequest(std::string_view page) {
  const std::optional<std::string_view> target = TargetOf(page);
  if (!target) return std::nullopt;
  constexpr std::string_view kCommandPart = "?DoCommand?";
  // Values are encoded, so the last "?DoCommand?" starts them whatever the
  // script name holds.
  const std::size_t query_at = target->rfind(kCommandPart);
  if (query_at == std::string_view::npos) return std::nullopt;
  std::string_view query = target->substr(query_at + kCommandPart.size());

  WaitPageRequest request;
  const std::array<std::pair<std::string_view, std::string*>, 5> fields = {{
      {"logon=", &request.logon},
      {"command=", &request.command},
      {"p1=", &request.p1},
      {"p2=", &request.p2},
      {"p3=", &request.p3},
  }};
  for (std::size_t i = 0; i < fields.size(); ++i) {
    const auto& [name, value] = fields[i];
    if (i > 0) {
      if (!query.starts_with('&')) return std::nullopt;
      query.remove_prefix(1);
    }
    if (!query.starts_with(name)) return std::nullopt;
    query.remove_prefix(name.size());
    const std::size_t end = std::min(query.find('&'), query.size());
    std::optional<std::string> decoded = DecodeValue(query.substr(0, end));
    if (!decoded) return std::nullopt;
    *value = std::move(*decoded);
    query.remove_prefix(end);
  }
  if (!query.empty()) return std::nullopt;
  return request;
}

}  // namespace spool
