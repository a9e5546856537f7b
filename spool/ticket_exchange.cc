// The ticket exchange between a request and the back-end. A new request
// claims its ticket by creating the request file exclusively, so a number
// drawn twice (by processes sharing the root) never joins two requests; a
// poll accepts only a ticket the counter can issue, so p1 cannot name files
// outside the spool.
#include "spool/ticket_exchange.h"

#include <optional>
#include <string>
#include <utility>

#include "platform/file.h"
#include "platform/module_path.h"
#include "spool/counters.h"
#include "spool/install_root.h"
#include "spool/spool_paths.h"
#include "spool/text_file.h"
#include "spool/text_file_cache.h"
#include "spool/trace.h"
#include "spool/wait_page.h"

namespace spool {

namespace {

constexpr std::size_t kResultChars = kSpoolPathCapacity - 1;
// "1000000" is the longest ticket.
constexpr std::size_t kMaxTicketChars = 7;

constexpr const char* kReadyTrace =
    "r\xE9"
    "ception ticket p1=%s p3=%s : .rdy existe (r\xE9"
    "ponse => '%s')";
constexpr const char* kNotReadyTrace =
    "r\xE9"
    "ception ticket p1=%s p3=%s : le .rdy n'existe pas encore (r\xE9"
    "ponse => message d'attente '%s')";
constexpr const char* kCreatedTrace =
    "r\xE9"
    "ception ticket p1='' p3=%s : cr\xE9"
    "ation de '%s' (message d'attente '%s')";
constexpr const char* kAnomalyTrace =
    "r\xE9"
    "ponse \xE0"
    " ticket p1='' p3=%s: msg d'attente improbable '%s' car %s.req existe d\xE9"
    "j\xE0"
    " (anomalie)";

// The eight paths of a ticket. The trace paths are only named to the trace
// sink; nothing is written under traces/.
struct TicketPaths {
  std::string request;
  std::string trace_request;
  std::string server;
  std::string ready;
  std::string answer;
  std::string trace_answer;
  std::string wait;
  std::string trace_wait;
};

std::string Join(std::string_view root, std::string_view directory, std::string_view file_name) {
  // Unbounded here; FirstUnfitPath tells whether the files the exchange
  // opens fit their 255 characters.
  return *SpoolPath(root, directory, file_name, std::string::npos);
}

TicketPaths FormPaths(std::string_view root, std::string_view ticket) {
  const std::string name(ticket);
  return {Join(root, "in", name + ".req"),  Join(root, "traces", name + ".req"),
          Join(root, "in", name + ".srv"),  Join(root, "out", name + ".rdy"),
          Join(root, "out", name + ".htm"), Join(root, "traces", name + ".htm"),
          Join(root, "out", name + ".tmp"), Join(root, "traces", name + ".tmp")};
}

// The first path the exchange opens that does not fit its buffer, if any: a
// root that long is unusable, and no file is touched under it.
const std::string* FirstUnfitPath(const TicketPaths& paths, const std::string& wait_tmp) {
  for (const std::string* path :
       {&paths.request, &paths.server, &paths.ready, &paths.answer, &paths.wait, &wait_tmp}) {
    if (path->size() > kSpoolPathCapacity - 1) return path;
  }
  return nullptr;
}

// "!Can't create <path>", cut to the 255 characters of the result buffer.
std::string CantCreate(const std::string& path) {
  std::string result = "!Can't create " + path;
  if (result.size() > kResultChars) result.resize(kResultChars);
  return result;
}

void SetTicketOut(std::string* ticket_out, std::string_view ticket) {
  if (ticket_out != nullptr) ticket_out->assign(ticket);
}

bool HasLineEnd(std::string_view text) { return text.find_first_of("\r\n") != text.npos; }

// Texts that become lines of the request and server files.
bool AnyLineEnd(const ServerTexts& server, const RequestFields& fields) {
  for (const std::string_view text :
       {std::string_view(server.scheme), std::string_view(server.server_name),
        std::string_view(server.server_port), std::string_view(server.script_name), fields.logon,
        fields.command, fields.p2, fields.p3}) {
    if (HasLineEnd(text)) return true;
  }
  return false;
}

// The request a ticket was spooled for, as its wait file records it; nothing
// when the wait file is gone (the answer was picked up) or holds no target.
// Read whole, up to a bound well above the longest page this module writes,
// into `page` (as its reader gets it: the file's CR LF back to LF).
enum class WaitFileState { kMissing, kUnreadable, kRead };
WaitFileState ReadTicketOwner(const std::string& wait_path, CachedText& page,
                              WaitPageRequest& owner) {
  constexpr std::size_t kMaxWaitFileBytes = 256 * 1024;
  // Kept between polls while its stamp stays: a wait page rewritten for a
  // new request of the same number is read again.
  if (!ReadTextFileCached(wait_path, page, kMaxWaitFileBytes)) return WaitFileState::kMissing;
  std::optional<WaitPageRequest> read = ReadWaitPageRequest(page.text());
  if (!read) return WaitFileState::kUnreadable;
  owner = std::move(*read);
  return WaitFileState::kRead;
}

bool IsOwnPoll(const WaitPageRequest& owner, const RequestFields& fields) {
  return owner.logon == fields.logon && owner.command == fields.command && owner.p1 == fields.p1 &&
         owner.p2 == fields.p2 && owner.p3 == fields.p3;
}

// The files of one ticket named one at a time in one buffer, as a poll
// needs them: "<root>/<directory>/<ticket>.<extension>".
class TicketFileNames {
 public:
  TicketFileNames(std::string_view root, std::string_view ticket) : root_(root), ticket_(ticket) {
    path_.reserve(root.size() + ticket.size() + 12);
  }
  const std::string& Name(std::string_view directory, std::string_view extension) {
    path_.assign(root_).push_back(platform::kPathSeparator);
    path_.append(directory).push_back(platform::kPathSeparator);
    path_.append(ticket_).push_back('.');
    path_.append(extension);
    return path_;
  }
  // The buffer, naming the last file asked for.
  std::string Take() { return std::move(path_); }

 private:
  std::string_view root_;
  std::string_view ticket_;
  std::string path_;
};

// Removes the request and server files of an answered ticket. A basket
// answer is polled again and again under the same ready flag: once both are
// gone, later polls under that flag skip the removals. A new request of the
// number removes that flag, and the back-end's answer to it is a new flag
// with another stamp, so that request's files are removed at its pick-up.
void RemoveRequestFiles(TicketFileNames& names, const ReadyFlagCheck& ready, bool basket) {
  if (ready.request_files_gone) return;
  const bool request_gone =
      platform::RemoveFileTelling(names.Name("in", "req").c_str()) != platform::Removal::kFailed;
  const bool server_gone =
      platform::RemoveFileTelling(names.Name("in", "srv").c_str()) != platform::Removal::kFailed;
  if (basket && request_gone && server_gone) NoteRequestFilesGone(names.Name("out", "rdy"), ready);
}

// Traces the pick-up of an answer, when the trace goes anywhere: the message,
// then the answer's path and the path of its trace copy.
void TraceAnswerPickedUp(std::string_view root, const RequestFields& fields,
                         const std::string& answer_path) {
  if (!TraceWanted()) return;
  const std::string p1(fields.p1);
  const std::string p3(fields.p3);
  TraceFormat(kReadyTrace, p1.c_str(), p3.c_str(), answer_path.c_str());
  TraceSink(answer_path);
  TicketFileNames names(root, fields.p1);
  TraceSink(names.Name("traces", "htm"));
}

void TraceStillWaiting(const RequestFields& fields, const std::string& wait_path) {
  if (!TraceWanted()) return;
  const std::string p1(fields.p1);
  const std::string p3(fields.p3);
  TraceFormat(kNotReadyTrace, p1.c_str(), p3.c_str(), wait_path.c_str());
}

// A poll: the answer once the back-end has flagged it ready, else the wait
// page. `own_wait_page`, when given, receives the wait page the poll has
// read, so that the caller does not read the file again.
std::string Poll(const InstallRoot& root, const RequestFields& fields, std::string* ticket_out,
                 std::string* own_wait_page) {
  // "<root>/out/<ticket>.rdy" is the longest path a poll opens (a valid
  // ticket; every extension has three letters).
  TicketFileNames names(root.spool, fields.p1);
  if (names.Name("out", "rdy").size() > kSpoolPathCapacity - 1) {
    SetTicketOut(ticket_out, fields.p1);
    const std::string unfit = names.Name("in", "req");
    return CantCreate(unfit.size() > kSpoolPathCapacity - 1 ? unfit : names.Name("out", "rdy"));
  }

  // Tickets are small sequential numbers anyone can guess: a poll is
  // answered only for the request the ticket was issued to, that is with the
  // values its wait page reloads with. Any other poll touches nothing.
  WaitPageRequest owner;
  CachedText page;
  switch (ReadTicketOwner(names.Name("out", "tmp"), page, owner)) {
    case WaitFileState::kMissing:
      // Picked up already (or never spooled): the wait file path, which the
      // caller cannot open; never the answer.
      SetTicketOut(ticket_out, fields.p1);
      TraceStillWaiting(fields, names.Name("out", "tmp"));
      return names.Take();
    case WaitFileState::kUnreadable:
      SetTicketOut(ticket_out, "");
      return std::string(kInvalidTicketResult);
    case WaitFileState::kRead:
      if (!IsOwnPoll(owner, fields)) {
        SetTicketOut(ticket_out, "");
        return std::string(kInvalidTicketResult);
      }
      break;
  }
  SetTicketOut(ticket_out, fields.p1);

  const ReadyFlagCheck ready = CheckReadyFlag(names.Name("out", "rdy"));
  if (ready.exists) {
    // The back-end creates the ready flag only once the answer is complete.
    const bool basket = IsBasketCommand(fields.command);
    RemoveRequestFiles(names, ready, basket);
    // A basket answer is fetched again by later polls: its flag and wait
    // page stay.
    if (!basket) {
      (void)platform::RemoveFile(names.Name("out", "rdy").c_str());
      (void)platform::RemoveFile(names.Name("out", "tmp").c_str());
      ForgetCachedFile(names.Name("out", "tmp"));
    }
    (void)names.Name("out", "htm");
    std::string answer = names.Take();
    TraceAnswerPickedUp(root.spool, fields, answer);
    return answer;
  }
  TraceStillWaiting(fields, names.Name("out", "tmp"));
  if (own_wait_page != nullptr) own_wait_page->assign(page.text());
  return names.Take();
}

// Writes the request's three server lines and six request lines. The request
// file is already created (exclusively: the ticket is ours).
bool WriteRequestFiles(const TicketPaths& paths, TextFileWriter& request, const ServerTexts& server,
                       const RequestFields& fields, std::string_view ticket) {
  // A ready flag left under this number by an earlier request of the same
  // number would deliver that request's answer.
  (void)platform::RemoveFile(paths.ready.c_str());
  {
    TextFileWriter server_file(paths.server, platform::OpenMode::kWriteTruncate);
    // A server file that cannot be written is left out, as before.
    (void)server_file.Write(server.scheme + "\n" + server.server_name + "\n" + server.server_port +
                            "\n");
    (void)server_file.Close();
  }
  std::string lines;
  for (const std::string_view line : {std::string_view(server.script_name), fields.logon,
                                      fields.command, ticket, fields.p2, fields.p3}) {
    lines.append(line).push_back('\n');
  }
  const bool written = request.Write(lines);
  return request.Close() && written;
}

// How a new request's claim on its ticket ended.
enum class Claim { kClaimed, kInUse, kFailed };

// Claims the ticket by creating its request file exclusively and writes the
// request into it. When the file exists already (a number still in use, or
// drawn by another process at the same moment) the ticket is in use; a
// request file that cannot be created or written is a failure, and a
// half-written request is removed before the back-end sees it.
Claim ClaimTicket(const TicketPaths& paths, const ServerTexts& server, const RequestFields& fields,
                  std::string_view ticket) {
  if (platform::FileExists(paths.request.c_str())) return Claim::kInUse;
  TextFileWriter request(paths.request, platform::OpenMode::kCreateExclusive);
  if (!request.is_open()) {
    return platform::FileExists(paths.request.c_str()) ? Claim::kInUse : Claim::kFailed;
  }
  if (!WriteRequestFiles(paths, request, server, fields, ticket)) {
    (void)platform::RemoveFile(paths.request.c_str());
    (void)platform::RemoveFile(paths.server.c_str());
    return Claim::kFailed;
  }
  return Claim::kClaimed;
}

// The wait page of a new request whose ticket (empty: none) is `ticket`.
std::string NewWaitPage(const ServerTexts& server, const RequestFields& fields,
                        const ExchangeVariant& variant, std::string_view ticket) {
  RequestFields page_fields = fields;
  page_fields.p1 = ticket;
  const std::string target = WaitPageTarget(server, page_fields);
  if (variant.phone_wait_page && IsPhoneCommand(fields.command)) {
    return PhoneWaitPage(target, fields.command.find("numerote") != std::string_view::npos);
  }
  return HtmlWaitPage(target, IsBasketCommand(fields.command));
}

// Writes the wait page of a claimed ticket to its wait file.
std::string WriteWaitFile(const std::string& wait_path, const std::string& page,
                          const ExchangeVariant& variant) {
  TextFileWriter wait_file(wait_path, platform::OpenMode::kWriteTruncate);
  const bool page_written = wait_file.is_open() && wait_file.Write(page);
  const bool closed = wait_file.Close();
  if (!(page_written && closed) && variant.wait_file_failure_is_error) return CantCreate(wait_path);
  return wait_path;
}

std::string NewRequest(const InstallRoot& root, const ServerTexts& server,
                       const RequestFields& fields, const ExchangeVariant& variant,
                       std::string* ticket_out, std::string* own_wait_page) {
  if (AnyLineEnd(server, fields)) {
    SetTicketOut(ticket_out, "");
    return std::string(kLineEndResult);
  }
  const long number =
      TakeInTicket(root, fields.logon, fields.command, fields.p1, fields.p2, fields.p3);
  const std::string ticket = std::to_string(number);
  const TicketPaths paths = FormPaths(root.spool, ticket);
  const std::string shared_wait = Join(root.spool, "out", "wait.tmp");
  const std::string p3(fields.p3);
  if (const std::string* unfit = FirstUnfitPath(paths, shared_wait)) {
    SetTicketOut(ticket_out, ticket);
    return CantCreate(*unfit);
  }

  const Claim claim = ClaimTicket(paths, server, fields, ticket);
  if (claim == Claim::kFailed) {
    SetTicketOut(ticket_out, ticket);
    return CantCreate(paths.request);
  }
  if (claim == Claim::kClaimed) {
    TraceFormat(kCreatedTrace, p3.c_str(), paths.request.c_str(), paths.wait.c_str());
    SetTicketOut(ticket_out, ticket);
    return WriteWaitFile(paths.wait, NewWaitPage(server, fields, variant, ticket), variant);
  }
  // Another request's ticket: this request gets a wait page without ticket
  // and asks again. The page is this request's alone and is handed over in
  // memory: a shared file would be rewritten by concurrent requests between
  // the write and the caller's read.
  TraceFormat(kAnomalyTrace, p3.c_str(), shared_wait.c_str(), ticket.c_str());
  SetTicketOut(ticket_out, "");
  if (own_wait_page == nullptr) return CantCreate(shared_wait);
  *own_wait_page = NewWaitPage(server, fields, variant, "");
  return shared_wait;
}

}  // namespace

bool IsValidTicket(std::string_view p1) {
  if (p1.empty() || p1.size() > kMaxTicketChars || p1.front() == '0') return false;
  long value = 0;
  for (const char c : p1) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  return value <= kMaxCounterNumber;
}

bool IsBasketCommand(std::string_view command) {
  return command.find("getqv") != command.npos || command.find("fctunit") != command.npos;
}

bool IsPhoneCommand(std::string_view command) { return command.find("cisco") != command.npos; }

std::string RunTicketExchange(const InstallRoot& root, const ServerTexts& server,
                              const RequestFields& fields, const ExchangeVariant& variant,
                              std::string* ticket_out, std::string* own_wait_page) {
  if (own_wait_page != nullptr) own_wait_page->clear();
  // No usable root (an unreadable pointer file): nothing is touched.
  if (!root.failure.empty()) {
    SetTicketOut(ticket_out, fields.p1);
    return root.failure;
  }
  if (fields.p1.empty()) {
    return NewRequest(root, server, fields, variant, ticket_out, own_wait_page);
  }
  // p1 names six files and three deletions: only a ticket the counter can
  // issue may do so.
  if (!IsValidTicket(fields.p1)) {
    SetTicketOut(ticket_out, "");
    return std::string(kInvalidTicketResult);
  }
  return Poll(root, fields, ticket_out, own_wait_page);
}

std::string ExchangeTicket(const InstallRoot& root, const ServerTexts& server,
                           std::string_view logon, std::string_view command, std::string_view p1,
                           std::string_view p2, std::string_view p3, std::string* ticket_out,
                           std::string* own_wait_page) {
  return RunTicketExchange(root, server, RequestFields{logon, command, p1, p2, p3}, kQueryExchange,
                           ticket_out, own_wait_page);
}

}  // namespace spool
