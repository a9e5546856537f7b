// The C interface of the back-end kit (include/dudarovuvadu/backend_kit.h)
// over its C++ code. Every entry point checks its arguments, catches every
// exception (an allocation failure becomes DBK_ERROR_MEMORY) and keeps the
// reason of a failure in its spool's last error.

#include "dudarovuvadu/backend_kit.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "backend_kit/answer_file.h"
#include "backend_kit/escapes.h"
#include "backend_kit/rights_list.h"
#include "backend_kit/spool_watch.h"
#include "platform/file.h"

struct dbk_spool {
  std::unique_ptr<backend_kit::SpoolWatch> watch;
  bool started = false;
  std::string last_error;
};

struct dbk_work {
  dbk_spool* spool = nullptr;
  backend_kit::Work work;
  mutable std::string url;  // made on the first dbk_request_url
};

namespace {

using backend_kit::Work;
using Clock = backend_kit::SpoolWatch::Clock;

// Runs `body`, turning any exception into a result: no exception leaves
// the library.
template <typename Body>
dbk_result Guarded(dbk_spool* spool, Body body) noexcept {
  try {
    if (spool != nullptr) spool->last_error.clear();
    return body();
  } catch (const std::bad_alloc&) {
    if (spool != nullptr) spool->last_error = "out of memory";
    return DBK_ERROR_MEMORY;
  } catch (...) {
    if (spool != nullptr) spool->last_error = "unexpected failure";
    return DBK_ERROR_IO;
  }
}

dbk_result Fail(dbk_spool* spool, dbk_result result, std::string reason) {
  if (spool != nullptr) spool->last_error = std::move(reason);
  return result;
}

bool IsRequest(const dbk_work* work) {
  return work != nullptr && work->work.kind == Work::Kind::kRequest;
}

dbk_work* HandOut(dbk_spool* spool, Work work) {
  auto handed = std::make_unique<dbk_work>();
  handed->spool = spool;
  handed->work = std::move(work);
  return handed.release();
}

// Copies `text` into a buffer of malloc for the caller, NUL-terminated.
dbk_result HandOver(const std::string& text, char** out, size_t* out_length) {
  char* buffer = static_cast<char*>(std::malloc(text.size() + 1));
  if (buffer == nullptr) return DBK_ERROR_MEMORY;
  std::memcpy(buffer, text.data(), text.size());
  buffer[text.size()] = '\0';
  *out = buffer;
  if (out_length != nullptr) *out_length = text.size();
  return DBK_OK;
}

backend_kit::WatchOptions WatchOptionsFrom(const char* root, const dbk_options& options) {
  backend_kit::WatchOptions watch;
  watch.root = root;
  while (watch.root.size() > 1 && watch.root.back() == '/') watch.root.pop_back();
  if (options.instance != nullptr) watch.instance = options.instance;
  watch.force_polling = options.force_polling != 0;
  watch.poll_interval = std::chrono::milliseconds(options.poll_ms);
  watch.rescan_interval = std::chrono::milliseconds(options.rescan_ms);
  watch.incomplete_grace = std::chrono::milliseconds(options.incomplete_grace_ms);
  watch.claim_timeout = std::chrono::seconds(options.claim_timeout_s);
  watch.ticket_lifetime = std::chrono::seconds(options.ticket_lifetime_s);
  return watch;
}

dbk_result RightsOutcome(dbk_spool* spool, backend_kit::RightsResult result,
                         const std::string& logon) {
  switch (result) {
    case backend_kit::RightsResult::kOk:
      return DBK_OK;
    case backend_kit::RightsResult::kNotAllowed:
      return Fail(spool, DBK_ERROR_NOT_ALLOWED,
                  "the logon cannot name a rights list, or an entry is too long or holds a "
                  "line end");
    case backend_kit::RightsResult::kIoError:
      break;
  }
  return Fail(spool, DBK_ERROR_IO, "cannot write the rights list of " + logon);
}

// Applies `change` to the entries of `logon`'s list and writes it back.
template <typename Change>
dbk_result ChangeRights(dbk_spool* spool, const char* logon, Change change) {
  if (spool == nullptr || logon == nullptr) return DBK_ERROR_ARGUMENT;
  if (!spool->started) return Fail(spool, DBK_ERROR_STATE, "the spool is not open");
  return Guarded(spool, [&] {
    const std::string folder = spool->watch->Dir("rights");
    std::vector<std::string> entries = backend_kit::ReadRights(folder, logon);
    if (!change(entries)) return DBK_OK;
    return RightsOutcome(spool, backend_kit::WriteRights(folder, logon, entries), logon);
  });
}

}  // namespace

extern "C" {

const char* dbk_result_text(dbk_result result) {
  switch (result) {
    case DBK_OK:
      return "ok";
    case DBK_TIMEOUT:
      return "nothing arrived";
    case DBK_ERROR_ARGUMENT:
      return "bad argument";
    case DBK_ERROR_NO_SPOOL:
      return "spool folder missing";
    case DBK_ERROR_IO:
      return "file error";
    case DBK_ERROR_GONE:
      return "request gone";
    case DBK_ERROR_NOT_ALLOWED:
      return "not allowed";
    case DBK_ERROR_MALFORMED:
      return "malformed request";
    case DBK_ERROR_STATE:
      return "not possible now";
    case DBK_ERROR_MEMORY:
      return "out of memory";
  }
  return "unknown result";
}

void dbk_free(void* buffer) { std::free(buffer); }

void dbk_options_init(dbk_options* options) {
  if (options == nullptr) return;
  *options = dbk_options{};
  options->struct_size = sizeof(dbk_options);
  options->claim_timeout_s = 30;
  options->rescan_ms = 250;
  options->poll_ms = 50;
  options->ticket_lifetime_s = 3600;
  options->incomplete_grace_ms = 2000;
}

dbk_result dbk_spool_open(const char* root, const dbk_options* options, dbk_spool** spool) {
  if (spool == nullptr) return DBK_ERROR_ARGUMENT;
  *spool = nullptr;
  dbk_options chosen;
  dbk_options_init(&chosen);
  if (options != nullptr) {
    if (options->struct_size < sizeof(dbk_options)) return DBK_ERROR_ARGUMENT;
    chosen = *options;
  }
  if (root == nullptr || root[0] == '\0' || chosen.claim_timeout_s == 0 || chosen.rescan_ms == 0 ||
      chosen.poll_ms == 0) {
    return DBK_ERROR_ARGUMENT;
  }
  auto handle = std::unique_ptr<dbk_spool>(new (std::nothrow) dbk_spool);
  if (!handle) return DBK_ERROR_MEMORY;
  const dbk_result result = Guarded(handle.get(), [&] {
    handle->watch = std::make_unique<backend_kit::SpoolWatch>(WatchOptionsFrom(root, chosen));
    switch (handle->watch->Start(handle->last_error)) {
      case backend_kit::SpoolWatch::StartResult::kOk:
        handle->started = true;
        return DBK_OK;
      case backend_kit::SpoolWatch::StartResult::kNoSpool:
        return DBK_ERROR_NO_SPOOL;
      case backend_kit::SpoolWatch::StartResult::kNoClaims:
        break;
    }
    return DBK_ERROR_IO;
  });
  if (result == DBK_OK || result == DBK_ERROR_NO_SPOOL || result == DBK_ERROR_IO) {
    *spool = handle.release();
  }
  return result;
}

void dbk_spool_close(dbk_spool* spool) { delete spool; }

const char* dbk_spool_last_error(const dbk_spool* spool) {
  return spool == nullptr ? "no spool" : spool->last_error.c_str();
}

int dbk_spool_uses_inotify(const dbk_spool* spool) {
  return spool != nullptr && spool->started && spool->watch->using_inotify() ? 1 : 0;
}

uint64_t dbk_spool_expired_tickets(const dbk_spool* spool) {
  return spool != nullptr && spool->started ? spool->watch->expired_tickets() : 0;
}

uint64_t dbk_now_ms(void) {
  return static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch())
          .count());
}

dbk_result dbk_step(dbk_spool* spool, uint64_t now_ms) {
  if (spool == nullptr) return DBK_ERROR_ARGUMENT;
  if (!spool->started) return Fail(spool, DBK_ERROR_STATE, "the spool is not open");
  return Guarded(spool, [&] {
    spool->watch->ScanOnce(
        Clock::time_point(std::chrono::milliseconds(static_cast<std::int64_t>(now_ms))));
    return DBK_OK;
  });
}

dbk_result dbk_take(dbk_spool* spool, dbk_work** work) {
  if (spool == nullptr || work == nullptr) return DBK_ERROR_ARGUMENT;
  *work = nullptr;
  if (!spool->started) return Fail(spool, DBK_ERROR_STATE, "the spool is not open");
  return Guarded(spool, [&] {
    std::optional<Work> next = spool->watch->Take();
    if (!next) return DBK_TIMEOUT;
    *work = HandOut(spool, std::move(*next));
    return DBK_OK;
  });
}

dbk_result dbk_next(dbk_spool* spool, int32_t timeout_ms, dbk_work** work) {
  if (spool == nullptr || work == nullptr) return DBK_ERROR_ARGUMENT;
  *work = nullptr;
  if (!spool->started) return Fail(spool, DBK_ERROR_STATE, "the spool is not open");
  return Guarded(spool, [&] {
    const Clock::time_point start = Clock::now();
    const Clock::time_point deadline =
        timeout_ms < 0 ? Clock::time_point::max() : start + std::chrono::milliseconds(timeout_ms);
    for (;;) {
      std::optional<Work> next = spool->watch->Take();
      const Clock::time_point now = Clock::now();
      if (!next) {
        spool->watch->Step(now);
        next = spool->watch->Take();
      }
      if (next) {
        *work = HandOut(spool, std::move(*next));
        return DBK_OK;
      }
      if (now >= deadline) return DBK_TIMEOUT;
      spool->watch->Wait(now, deadline);
    }
  });
}

dbk_kind dbk_work_kind(const dbk_work* work) {
  if (work == nullptr) return DBK_REQUEST;
  switch (work->work.kind) {
    case Work::Kind::kPosted:
      return DBK_POSTED;
    case Work::Kind::kEvent:
      return DBK_EVENT;
    case Work::Kind::kRequest:
      break;
  }
  return DBK_REQUEST;
}

const char* dbk_work_name(const dbk_work* work) {
  return work == nullptr ? "" : work->work.name.c_str();
}

void dbk_work_free(dbk_work* work) { delete work; }

dbk_result dbk_work_release(dbk_work* work) {
  if (work == nullptr) return DBK_ERROR_ARGUMENT;
  std::unique_ptr<dbk_work> owned(work);
  return Guarded(work->spool, [&] {
    if (!work->work.claim.empty()) work->spool->watch->ReleaseClaim(work->work.claim);
    work->spool->watch->Forget(work->work);
    return DBK_OK;
  });
}

const char* dbk_request_problem(const dbk_work* work) {
  if (!IsRequest(work) || work->work.request) return nullptr;
  return work->work.problem.c_str();
}

dbk_result dbk_request_field(const dbk_work* work, dbk_field field, const char** value,
                             size_t* length) {
  if (!IsRequest(work) || value == nullptr || length == nullptr) return DBK_ERROR_ARGUMENT;
  const std::string* text = nullptr;
  const auto& request = work->work.request;
  const auto& server = work->work.server;
  switch (field) {
    case DBK_SCRIPT_NAME:
      if (request) text = &request->script_name;
      break;
    case DBK_LOGON:
      if (request) text = &request->logon;
      break;
    case DBK_COMMAND:
      if (request) text = &request->command;
      break;
    case DBK_TICKET:
      if (request) text = &request->ticket;
      break;
    case DBK_P2:
      if (request) text = &request->p2;
      break;
    case DBK_P3:
      if (request) text = &request->p3;
      break;
    case DBK_SCHEME:
      if (server) text = &server->scheme;
      break;
    case DBK_SERVER_NAME:
      if (server) text = &server->name;
      break;
    case DBK_SERVER_PORT:
      if (server) text = &server->port;
      break;
    default:
      return DBK_ERROR_ARGUMENT;
  }
  if (text == nullptr) return DBK_ERROR_MALFORMED;
  *value = text->c_str();
  *length = text->size();
  return DBK_OK;
}

dbk_result dbk_request_url(const dbk_work* work, const char** url) {
  if (!IsRequest(work) || url == nullptr) return DBK_ERROR_ARGUMENT;
  if (!work->work.request || !work->work.server) return DBK_ERROR_MALFORMED;
  return Guarded(work->spool, [&] {
    if (work->url.empty()) {
      work->url = backend_kit::ModuleUrl(*work->work.server, work->work.request->script_name);
    }
    *url = work->url.c_str();
    return DBK_OK;
  });
}

dbk_result dbk_answer(dbk_work* work, const char* text, size_t length) {
  if (!IsRequest(work) || (text == nullptr && length > 0)) return DBK_ERROR_ARGUMENT;
  dbk_spool* spool = work->spool;
  if (work->work.answered) return Fail(spool, DBK_ERROR_STATE, "answered already");
  return Guarded(spool, [&] {
    const std::string& ticket = work->work.name;
    if (!spool->watch->StillCurrent(work->work)) {
      return Fail(spool, DBK_ERROR_GONE, "the request file of " + ticket + " is gone");
    }
    const std::string_view answer(text == nullptr ? "" : text, length);
    if (!backend_kit::WriteAnswer(spool->watch->Dir("out"), ticket, answer)) {
      return Fail(spool, DBK_ERROR_IO, "cannot write the answer of " + ticket);
    }
    work->work.answered = true;
    return DBK_OK;
  });
}

dbk_result dbk_answer_download(dbk_work* work, const char* absolute_path) {
  if (!IsRequest(work) || absolute_path == nullptr) return DBK_ERROR_ARGUMENT;
  std::optional<std::string> line;
  const dbk_result made = Guarded(work->spool, [&] {
    line = backend_kit::DownloadLine(absolute_path);
    if (!line) return Fail(work->spool, DBK_ERROR_NOT_ALLOWED, "no download of this path");
    line->push_back('\n');
    return DBK_OK;
  });
  if (made != DBK_OK) return made;
  return dbk_answer(work, line->data(), line->size());
}

dbk_result dbk_posted_length(const dbk_work* work, uint64_t* received) {
  if (work == nullptr || work->work.kind != Work::Kind::kPosted || received == nullptr) {
    return DBK_ERROR_ARGUMENT;
  }
  *received = work->work.received;
  return DBK_OK;
}

const char* dbk_posted_path(const dbk_work* work) {
  if (work == nullptr || work->work.kind != Work::Kind::kPosted) return nullptr;
  return work->work.data_path.c_str();
}

dbk_result dbk_posted_done(dbk_work* work) {
  if (work == nullptr || work->work.kind != Work::Kind::kPosted) return DBK_ERROR_ARGUMENT;
  return Guarded(work->spool, [&] {
    // The ready file goes first: while the data file is there the module
    // does not reuse the number, so a new store's ready file is never the
    // one removed.
    const std::string ready = work->spool->watch->Dir("post") + "/" + work->work.name + ".rdy";
    (void)platform::RemoveFile(ready.c_str());
    (void)platform::RemoveFile(work->work.data_path.c_str());
    return DBK_OK;
  });
}

dbk_result dbk_event_line(const dbk_work* work, const char** line, size_t* length) {
  if (work == nullptr || work->work.kind != Work::Kind::kEvent || line == nullptr ||
      length == nullptr) {
    return DBK_ERROR_ARGUMENT;
  }
  *line = work->work.line.c_str();
  *length = work->work.line.size();
  return DBK_OK;
}

dbk_result dbk_rights_grant(dbk_spool* spool, const char* logon, const char* entry) {
  if (entry == nullptr) return DBK_ERROR_ARGUMENT;
  return ChangeRights(spool, logon, [&](std::vector<std::string>& entries) {
    if (std::find(entries.begin(), entries.end(), entry) != entries.end()) return false;
    entries.emplace_back(entry);
    return true;
  });
}

dbk_result dbk_rights_revoke(dbk_spool* spool, const char* logon, const char* entry) {
  if (entry == nullptr) return DBK_ERROR_ARGUMENT;
  return ChangeRights(spool, logon, [&](std::vector<std::string>& entries) {
    return std::erase(entries, std::string(entry)) > 0;
  });
}

dbk_result dbk_rights_set(dbk_spool* spool, const char* logon, const char* const* entries,
                          size_t count) {
  if (entries == nullptr && count > 0) return DBK_ERROR_ARGUMENT;
  for (size_t i = 0; i < count; ++i) {
    if (entries[i] == nullptr) return DBK_ERROR_ARGUMENT;
  }
  return ChangeRights(spool, logon, [&](std::vector<std::string>& list) {
    list.assign(entries, entries + count);
    return true;
  });
}

dbk_result dbk_escape(dbk_escape_kind kind, const char* text, size_t length, char** out,
                      size_t* out_length) {
  if ((text == nullptr && length > 0) || out == nullptr) return DBK_ERROR_ARGUMENT;
  *out = nullptr;
  return Guarded(nullptr, [&] {
    const std::string_view input(text == nullptr ? "" : text, length);
    switch (kind) {
      case DBK_ESCAPE_HTML:
        return HandOver(backend_kit::HtmlEscape(input), out, out_length);
      case DBK_ESCAPE_URL:
        return HandOver(backend_kit::UrlEncode(input), out, out_length);
      case DBK_ESCAPE_FILE_NAME:
        return HandOver(backend_kit::BracketEscape(input), out, out_length);
      case DBK_UNESCAPE_FILE_NAME:
        return HandOver(backend_kit::BracketDecode(input), out, out_length);
    }
    return DBK_ERROR_ARGUMENT;
  });
}

dbk_result dbk_download_line(const char* absolute_path, char** out) {
  if (absolute_path == nullptr || out == nullptr) return DBK_ERROR_ARGUMENT;
  *out = nullptr;
  return Guarded(nullptr, [&] {
    const std::optional<std::string> line = backend_kit::DownloadLine(absolute_path);
    if (!line) return DBK_ERROR_NOT_ALLOWED;
    return HandOver(*line, out, nullptr);
  });
}

}  // extern "C"
