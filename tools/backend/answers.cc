// Answers of the stand-in back-end, one builder per kind of command.

#include "tools/backend/answers.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "dudarovuvadu/backend_kit.h"
#include "tools/backend/escapes.h"

namespace tools {

namespace {

std::string PageStart(std::string_view title) {
  std::string page = "<html>\n<head>\n<meta charset=\"ISO-8859-1\">\n<title>";
  page += HtmlEscape(title);
  page += "</title>\n</head>\n<body>\n<h1>";
  page += HtmlEscape(title);
  page += "</h1>\n";
  return page;
}

constexpr std::string_view kPageEnd = "</body>\n</html>\n";

Answer ErrorPage(std::string_view ticket, std::string_view title, std::string_view message) {
  Answer answer;
  answer.error = true;
  answer.text = PageStart(title);
  answer.text += "<p id=\"error\">";
  answer.text += HtmlEscape(message);
  answer.text += "</p>\n<p>Ticket ";
  answer.text += HtmlEscape(ticket);
  answer.text += "</p>\n";
  answer.text += kPageEnd;
  return answer;
}

// A DoCommand URL with every value URL-encoded, ready for an href (the
// ampersands written as entities).
std::string DoCommandHref(const ServerInfo& server, const Request& request,
                          std::string_view command, std::string_view p1, std::string_view p2,
                          std::string_view p3) {
  std::string url = ModuleUrl(server, request.script_name);
  url += "?DoCommand?Logon=" + UrlEncode(request.logon);
  url += "&Command=" + UrlEncode(command);
  url += "&P1=" + UrlEncode(p1);
  url += "&P2=" + UrlEncode(p2);
  url += "&P3=" + UrlEncode(p3);
  return HtmlEscape(url);
}

std::string FieldRows(const AnswerInput& input) {
  const Request& r = input.request;
  const std::pair<std::string_view, std::string_view> fields[] = {{"ticket", input.ticket},
                                                                  {"script", r.script_name},
                                                                  {"logon", r.logon},
                                                                  {"command", r.command},
                                                                  {"p2", r.p2},
                                                                  {"p3", r.p3}};
  std::string rows = "<table>\n";
  for (const auto& [name, value] : fields) {
    rows += "<tr><th>";
    rows += name;
    rows += "</th><td id=\"";
    rows += name;
    rows += "\">";
    rows += HtmlEscape(value);
    rows += "</td></tr>\n";
  }
  if (input.server) {
    rows += "<tr><th>server</th><td id=\"server\">";
    rows += HtmlEscape(ModuleUrl(*input.server, r.script_name));
    rows += "</td></tr>\n";
  }
  rows += "</table>\n";
  return rows;
}

Answer ListPage(const AnswerInput& input, std::string_view title) {
  if (!input.server) {
    return ErrorPage(input.ticket, title, "The server file of this request is missing or unusable");
  }
  if (!LogonUsableInFileName(input.request.logon)) {
    return ErrorPage(input.ticket, title, "This logon cannot name a rights list");
  }
  Answer answer;
  answer.text = PageStart(title);
  std::string rights;
  answer.text += "<table id=\"documents\">\n";
  for (const Document& document : input.documents) {
    const std::string p1 = BracketEscape(document.path);
    // An entry too long for the module's line read would never be granted.
    if (p1.size() > kMaxRightsEntryChars) continue;
    const std::string size = std::to_string(document.size);
    rights += p1;
    rights += '\n';
    answer.text += "<tr><td><a class=\"data\" href=\"";
    answer.text += DoCommandHref(*input.server, input.request, "getfiledata", p1, "0", size);
    answer.text += "\">";
    answer.text += HtmlEscape(document.name);
    answer.text += "</a></td><td><a class=\"length\" href=\"";
    answer.text += DoCommandHref(*input.server, input.request, "getfilelength", p1, "", "");
    answer.text += "\">";
    answer.text += size;
    answer.text += " bytes</a></td><td><a class=\"doc\" href=\"";
    answer.text += DoCommandHref(*input.server, input.request, "getdoc", "", document.name, "");
    answer.text += "\">download</a></td></tr>\n";
  }
  answer.text += "</table>\n";
  if (input.documents.empty()) answer.text += "<p>No documents.</p>\n";
  answer.text += kPageEnd;
  answer.rights_list = std::move(rights);
  return answer;
}

Answer DocumentAnswer(const AnswerInput& input) {
  const std::string& name = input.request.p2;
  if (input.documents_folder.empty()) {
    return ErrorPage(input.ticket, "Document", "No documents folder is served");
  }
  const auto found = std::find_if(input.documents.begin(), input.documents.end(),
                                  [&](const Document& document) { return document.name == name; });
  if (name.empty() || found == input.documents.end()) {
    return ErrorPage(input.ticket, "Document", "No document is named '" + name + "'");
  }
  const std::optional<std::string> line = DownloadLine(found->path);
  if (!line) {
    return ErrorPage(input.ticket, "Document",
                     "The path of '" + name + "' cannot be handed over for a download");
  }
  Answer answer;
  answer.text = *line + "\n";
  return answer;
}

Answer PhoneAnswer(const AnswerInput& input) {
  Answer answer;
  answer.text = "<CiscoIPPhoneText>\n<Title>Quorvel</Title>\n<Prompt>Ticket ";
  answer.text += HtmlEscape(input.ticket);
  answer.text += "</Prompt>\n<Text>";
  answer.text += HtmlEscape(input.request.command);
  answer.text += " for ";
  answer.text += HtmlEscape(input.request.logon);
  answer.text += ": ";
  answer.text += std::to_string(input.documents.size());
  answer.text += " documents</Text>\n</CiscoIPPhoneText>\n";
  return answer;
}

Answer FormAnswer(const AnswerInput& input) {
  if (!input.server) {
    return ErrorPage(input.ticket, "Form",
                     "The server file of this request is missing or unusable");
  }
  Answer answer;
  answer.text = PageStart("Form");
  answer.text += "<form id=\"post\" method=\"post\" action=\"";
  answer.text += HtmlEscape(ModuleUrl(*input.server, input.request.script_name) + "?PostCommand");
  answer.text += "\">\n<input type=\"hidden\" name=\"logon\" value=\"";
  answer.text += HtmlEscape(input.request.logon);
  answer.text +=
      "\">\n<input type=\"hidden\" name=\"p1\" value=\"\">\n"
      "<p>Command <input name=\"command\" value=\"posted\"></p>\n"
      "<p>P2 <input name=\"p2\" value=\"\"></p>\n"
      "<p>P3 <textarea name=\"p3\"></textarea></p>\n"
      "<p>P4 <input name=\"p4\" value=\"\"></p>\n"
      "<p><input type=\"submit\" value=\"Send\"></p>\n</form>\n";
  answer.text += kPageEnd;
  return answer;
}

Answer EchoAnswer(const AnswerInput& input) {
  Answer answer;
  answer.text = PageStart("Answer");
  answer.text += FieldRows(input);
  answer.text += kPageEnd;
  return answer;
}

}  // namespace

AnswerKind ClassifyCommand(std::string_view command) {
  if (command == "getlist") return AnswerKind::kList;
  if (command == "getdoc") return AnswerKind::kDocument;
  if (command.find("cisco") != std::string_view::npos) return AnswerKind::kPhone;
  if (command.find("getqv") != std::string_view::npos) return AnswerKind::kBasket;
  if (command == "form") return AnswerKind::kForm;
  return AnswerKind::kEcho;
}

std::vector<Document> ListDocuments(const std::string& folder) {
  std::vector<Document> documents;
  if (folder.empty()) return documents;
  std::error_code error;
  std::filesystem::directory_iterator it(folder, error);
  if (error) return documents;
  for (const auto& entry : it) {
    std::error_code entry_error;
    if (!entry.is_regular_file(entry_error) || entry_error) continue;
    std::string name = entry.path().filename().string();
    if (name.empty() || name.front() == '.') continue;
    const std::uintmax_t size = entry.file_size(entry_error);
    if (entry_error) continue;
    documents.push_back(Document{std::move(name), entry.path().string(), size});
  }
  std::sort(documents.begin(), documents.end(),
            [](const Document& a, const Document& b) { return a.name < b.name; });
  return documents;
}

std::optional<std::string> DownloadLine(std::string_view absolute_path) {
  char* line = nullptr;
  const std::string path(absolute_path);
  if (path.find('\0') != std::string::npos || dbk_download_line(path.c_str(), &line) != DBK_OK) {
    return std::nullopt;
  }
  std::string result(line);
  dbk_free(line);
  return result;
}

bool LogonUsableInFileName(std::string_view logon) {
  // "~" + logon + ".lst" must be one file name of at most 255 bytes.
  return logon.size() <= 250 && logon.find('/') == std::string_view::npos &&
         !HasControlBytes(logon);
}

Answer BuildAnswer(const AnswerInput& input) {
  switch (ClassifyCommand(input.request.command)) {
    case AnswerKind::kList:
      return ListPage(input, "Documents");
    case AnswerKind::kDocument:
      return DocumentAnswer(input);
    case AnswerKind::kPhone:
      return PhoneAnswer(input);
    case AnswerKind::kBasket:
      return ListPage(input, "Basket");
    case AnswerKind::kForm:
      return FormAnswer(input);
    case AnswerKind::kEcho:
      break;
  }
  return EchoAnswer(input);
}

Answer MalformedAnswer(std::string_view ticket, std::string_view reason) {
  return ErrorPage(ticket, "Malformed request", reason);
}

}  // namespace tools
