// The stand-in back-end's loop on the back-end kit: requests answered with
// the stand-in's pages, posted data and events reported and consumed.

#include "tools/backend/backend.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string_view>

#include "tools/backend/answers.h"

namespace tools {

namespace {

constexpr std::size_t kPreviewBytes = 80;

// Printable preview of consumed data for the report line.
std::string Preview(std::string_view data) {
  std::string out;
  for (std::size_t i = 0; i < data.size() && i < kPreviewBytes; ++i) {
    const auto byte = static_cast<unsigned char>(data[i]);
    if (byte >= 0x20 && byte < 0x7F && byte != '\\') {
      out.push_back(data[i]);
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
      out += escaped;
    }
  }
  if (data.size() > kPreviewBytes) out += "...";
  return out;
}

// CR LF read back as LF, as the module's text files are.
std::string FromSpoolText(std::string_view stored) {
  std::string text;
  for (std::size_t i = 0; i < stored.size(); ++i) {
    if (stored[i] == '\r' && i + 1 < stored.size() && stored[i + 1] == '\n') continue;
    text.push_back(stored[i]);
  }
  return text;
}

std::string Field(const dbk_work* work, dbk_field field) {
  const char* value = nullptr;
  std::size_t length = 0;
  if (dbk_request_field(work, field, &value, &length) != DBK_OK) return {};
  return std::string(value, length);
}

std::uint64_t Milliseconds(Backend::Clock::time_point when) {
  return static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(when.time_since_epoch()).count());
}

}  // namespace

Backend::Backend(BackendOptions options, std::ostream& report)
    : options_(std::move(options)), report_(report) {}

void Backend::Report(const std::string& line) {
  report_ << line << '\n';
  report_.flush();
}

bool Backend::Start(std::string& error) {
  dbk_options options;
  dbk_options_init(&options);
  options.force_polling = options_.force_polling ? 1 : 0;
  options.poll_ms = static_cast<std::uint32_t>(options_.poll_interval.count());
  options.rescan_ms = static_cast<std::uint32_t>(options_.rescan_interval.count());
  options.incomplete_grace_ms = static_cast<std::uint32_t>(options_.incomplete_grace.count());
  options.claim_timeout_s = static_cast<std::uint32_t>(options_.claim_timeout.count());
  options.ticket_lifetime_s = static_cast<std::uint32_t>(options_.ticket_lifetime.count());
  dbk_spool* spool = nullptr;
  const dbk_result result = dbk_spool_open(options_.root.c_str(), &options, &spool);
  spool_.reset(spool);
  if (result == DBK_OK) return true;
  const std::string reason = spool != nullptr ? dbk_spool_last_error(spool) : "";
  error = reason.empty() ? dbk_result_text(result) : reason;
  spool_.reset();
  return false;
}

void Backend::Run(const std::atomic<bool>& stop) {
  while (!stop.load()) {
    Clock::time_point now = Clock::now();
    auto wait = options_.poll_interval;
    for (const Held& held : held_) {
      wait = std::min(wait, std::chrono::ceil<std::chrono::milliseconds>(
                                std::max(held.due - now, Clock::duration::zero())));
    }
    dbk_work* work = nullptr;
    if (dbk_next(spool_.get(), static_cast<std::int32_t>(wait.count()), &work) == DBK_OK) {
      Handle(WorkHandle(work), Clock::now());
      // Take everything else that is queued before waiting again.
      while (dbk_take(spool_.get(), &work) == DBK_OK) Handle(WorkHandle(work), Clock::now());
    }
    AnswerDue(Clock::now());
    ReportExpired();
  }
}

void Backend::ScanOnce(Clock::time_point now) {
  if (dbk_step(spool_.get(), Milliseconds(now)) != DBK_OK) return;
  dbk_work* work = nullptr;
  while (dbk_take(spool_.get(), &work) == DBK_OK) Handle(WorkHandle(work), now);
  AnswerDue(now);
  ReportExpired();
}

void Backend::Handle(WorkHandle work, Clock::time_point now) {
  switch (dbk_work_kind(work.get())) {
    case DBK_REQUEST:
      if (options_.delay.count() > 0) {
        held_.push_back(Held{std::move(work), now + options_.delay});
      } else {
        AnswerRequest(std::move(work));
      }
      return;
    case DBK_POSTED:
      ConsumePosted(std::move(work));
      return;
    case DBK_EVENT:
      ReportEvent(work.get());
      return;
  }
}

void Backend::AnswerDue(Clock::time_point now) {
  std::vector<Held> due;
  for (auto it = held_.begin(); it != held_.end();) {
    if (it->due > now) {
      ++it;
      continue;
    }
    due.push_back(std::move(*it));
    it = held_.erase(it);
  }
  for (Held& held : due) AnswerRequest(std::move(held.work));
}

void Backend::AnswerRequest(WorkHandle work) {
  const std::string ticket = dbk_work_name(work.get());
  const Reply reply = ReplyTo(work.get());
  if (reply.rights_list) WriteRights(ticket, reply);
  const dbk_result result =
      dbk_answer(work.get(), reply.answer_text.data(), reply.answer_text.size());
  if (result == DBK_ERROR_GONE) return;  // picked up or withdrawn meanwhile
  if (result != DBK_OK) {
    Report("error " + ticket + ": cannot write its answer");
    // Given up, so that the next rescan tries again.
    (void)dbk_work_release(work.release());
    return;
  }
  Report(reply.summary + " bytes=" + std::to_string(reply.answer_text.size()));
}

Backend::Reply Backend::ReplyTo(const dbk_work* work) const {
  const std::string ticket = dbk_work_name(work);
  Reply reply;
  if (const char* problem = dbk_request_problem(work)) {
    reply.answer_text = MalformedAnswer(ticket, problem).text;
    reply.summary = "malformed " + ticket + ": " + problem;
    return reply;
  }
  AnswerInput input;
  input.ticket = ticket;
  input.request =
      Request{Field(work, DBK_SCRIPT_NAME), Field(work, DBK_LOGON), Field(work, DBK_COMMAND),
              Field(work, DBK_TICKET),      Field(work, DBK_P2),    Field(work, DBK_P3)};
  const char* scheme = nullptr;
  std::size_t length = 0;
  if (dbk_request_field(work, DBK_SCHEME, &scheme, &length) == DBK_OK) {
    input.server = ServerInfo{Field(work, DBK_SCHEME), Field(work, DBK_SERVER_NAME),
                              Field(work, DBK_SERVER_PORT)};
  }
  input.documents_folder = options_.documents_folder;
  input.documents = ListDocuments(options_.documents_folder);
  Answer answer = BuildAnswer(input);
  reply.answer_text = std::move(answer.text);
  reply.rights_list = std::move(answer.rights_list);
  reply.logon = input.request.logon;
  reply.summary = std::string(answer.error ? "refused " : "answered ") + ticket +
                  " command=" + Preview(input.request.command) + " logon=" + Preview(reply.logon);
  return reply;
}

void Backend::WriteRights(const std::string& ticket, const Reply& reply) {
  std::vector<std::string> entries;
  for (std::size_t start = 0; start < reply.rights_list->size();) {
    const std::size_t end = reply.rights_list->find('\n', start);
    entries.push_back(reply.rights_list->substr(start, end - start));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  std::vector<const char*> pointers;
  for (const std::string& entry : entries) pointers.push_back(entry.c_str());
  if (dbk_rights_set(spool_.get(), reply.logon.c_str(), pointers.data(), pointers.size()) !=
      DBK_OK) {
    Report("error " + ticket + ": cannot write " + options_.root + "/rights/~" + reply.logon +
           ".lst");
  }
}

void Backend::ConsumePosted(WorkHandle work) {
  const std::string number = dbk_work_name(work.get());
  std::uint64_t received = 0;
  (void)dbk_posted_length(work.get(), &received);
  // The data is read through in pieces: its size and a preview are all this
  // stand-in does with it.
  std::ifstream data(dbk_posted_path(work.get()), std::ios::binary);
  if (!data) {
    (void)dbk_posted_done(work.get());
    Report("posted " + number + ": ready file without data file");
    return;
  }
  // Twice the preview's length, so that it survives the CR LF translation.
  constexpr std::size_t kHeadBytes = 2 * kPreviewBytes;
  std::string head;
  std::uint64_t stored_size = 0;
  char buffer[64 * 1024];
  // FNV-1a over the stored bytes, so that a reader of the report can check
  // them after the files are gone.
  std::uint64_t digest = 0xcbf29ce484222325ULL;
  while (data.read(buffer, sizeof buffer) || data.gcount() > 0) {
    const auto count = static_cast<std::size_t>(data.gcount());
    if (head.size() < kHeadBytes) head.append(buffer, std::min(count, kHeadBytes - head.size()));
    for (std::size_t i = 0; i < count; ++i) {
      digest = (digest ^ static_cast<unsigned char>(buffer[i])) * 0x100000001b3ULL;
    }
    stored_size += count;
  }
  data.close();
  std::string digest_text(16, '0');
  for (std::size_t i = digest_text.size(); i-- > 0; digest >>= 4) {
    digest_text[i] = "0123456789abcdef"[digest & 0x0F];
  }
  // Removed before the report, so a reader of the report finds them gone.
  (void)dbk_posted_done(work.get());
  Report("posted " + number + ": received=" + std::to_string(received) +
         " stored=" + std::to_string(stored_size) + " data=" + Preview(FromSpoolText(head)) +
         " fnv1a=" + digest_text);
}

void Backend::ReportEvent(const dbk_work* work) {
  const char* line = nullptr;
  std::size_t length = 0;
  if (dbk_event_line(work, &line, &length) != DBK_OK) return;
  Report("event " + Preview(dbk_work_name(work)) + ": " + Preview(std::string_view(line, length)));
}

void Backend::ReportExpired() {
  const std::uint64_t expired = dbk_spool_expired_tickets(spool_.get());
  if (expired == expired_reported_) return;
  Report("expired " + std::to_string(expired - expired_reported_) + " tickets");
  expired_reported_ = expired;
}

}  // namespace tools
