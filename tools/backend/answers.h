// The stand-in back-end's answers: what each command gets back, as text with
// LF line ends (written to out/N.htm in spool form), plus the rights list a
// document listing grants. Pure functions of the request, the server file
// and the documents folder, so tests can check every answer without files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tools/backend/request.h"

namespace tools {

enum class AnswerKind {
  kList,      // "getlist": links to the documents; grants them in the rights list
  kDocument,  // "getdoc": first line names the document, the module downloads it
  kPhone,     // command containing "cisco": a CiscoIPPhoneText document
  kBasket,    // command containing "getqv": the basket page; its ready flag stays
  kForm,      // "form": a form that posts through PostCommand
  kEcho       // anything else: the request's fields, escaped
};

// Exact names first, then the substring classes, as the module tests them.
AnswerKind ClassifyCommand(std::string_view command);

struct Document {
  std::string name;  // file name within the documents folder
  std::string path;  // absolute path
  std::uintmax_t size = 0;
};

// The regular files directly in `folder` (hidden ones skipped), by name.
// Empty when the folder cannot be read.
std::vector<Document> ListDocuments(const std::string& folder);

// The longest rights-list entry the module reads whole: its line, with the
// line end read as one LF, holds at most 1023 characters. A document whose
// entry would be longer is left out of the list (and not granted).
inline constexpr std::size_t kMaxRightsEntryChars = 1022;

struct Answer {
  std::string text;  // LF line ends
  // Rights list text (LF line ends) for rights/~<logon>.lst, when the
  // answer grants documents.
  std::optional<std::string> rights_list;
  bool error = false;  // an error page rather than the command's answer
};

struct AnswerInput {
  std::string ticket;  // from the request file's name
  Request request;
  std::optional<ServerInfo> server;  // nullopt when the server file is unusable
  std::string documents_folder;      // absolute; empty when none was given
  std::vector<Document> documents;   // ListDocuments(documents_folder)
};

Answer BuildAnswer(const AnswerInput& input);

// The page answered for a request file that could not be used.
Answer MalformedAnswer(std::string_view ticket, std::string_view reason);

// The first line that makes the module send `absolute_path` as a download:
// "\\" followed by the path's components joined by backslashes, which the
// module turns back into //path. nullopt when the path cannot be written so
// (not absolute, holds a backslash or a control byte, or is longer than the
// module's 255-character file name).
std::optional<std::string> DownloadLine(std::string_view absolute_path);

// True when `logon` can name a rights list file: no "/", no control bytes,
// not longer than a file name allows.
bool LogonUsableInFileName(std::string_view logon);

}  // namespace tools
