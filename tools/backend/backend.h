// The stand-in back-end's loop, on the back-end kit: it takes each request,
// posted body and event line the kit finds under an install root, answers
// each request with the stand-in's pages (answers.h), and reports on its
// output stream, one line each, what it answered, what posted data and
// events it consumed and how many abandoned tickets the kit removed.
//
// The kit does the spool's side: watching in/, post/ and events/ (inotify
// and a rescan, or polling), claiming work when several instances share one
// spool, writing each answer whole before its ready flag, and removing
// abandoned tickets.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "dudarovuvadu/backend_kit.h"

namespace tools {

struct BackendOptions {
  std::string root;                    // install root (holds in/, out/, post/, ...)
  std::string documents_folder;        // served by getlist and getdoc; may be empty
  std::chrono::milliseconds delay{0};  // how long each answer is held back
  bool force_polling = false;          // skip inotify even where it works
  std::chrono::milliseconds poll_interval{50};
  // With inotify: how often the directories are listed again anyway, for
  // what other clients of a shared file system wrote (and missed events).
  std::chrono::milliseconds rescan_interval{250};
  // A request file still incomplete after this long is answered as malformed
  // (the module creates it, then writes its lines, in well under a
  // millisecond).
  std::chrono::milliseconds incomplete_grace{2000};
  // A claim held this long by an instance that answered nothing is taken
  // over (its holder died); also the age at which claims of finished work
  // are removed.
  std::chrono::seconds claim_timeout{30};
  // A ticket whose files have not changed for this long is abandoned (its
  // browser went away): its files are removed, so that its number can be
  // drawn again and the disk does not fill.
  std::chrono::seconds ticket_lifetime{3600};
};

class Backend {
 public:
  using Clock = std::chrono::steady_clock;

  Backend(BackendOptions options, std::ostream& report);
  Backend(const Backend&) = delete;
  Backend& operator=(const Backend&) = delete;

  // Opens the spool. False, with the reason in `error`, when the root
  // cannot be served.
  bool Start(std::string& error);
  bool using_inotify() const { return dbk_spool_uses_inotify(spool_.get()) != 0; }

  // Serves until `stop` is set; no wait lasts longer than the poll interval.
  void Run(const std::atomic<bool>& stop);

  // One pass without waiting: rescans every watched directory and answers
  // what is due at `now`. Run is these passes plus the waiting.
  void ScanOnce(Clock::time_point now);

 private:
  struct SpoolClose {
    void operator()(dbk_spool* spool) const { dbk_spool_close(spool); }
  };
  struct WorkFree {
    void operator()(dbk_work* work) const { dbk_work_free(work); }
  };
  using WorkHandle = std::unique_ptr<dbk_work, WorkFree>;
  // A request held back by the delay option until `due`.
  struct Held {
    WorkHandle work;
    Clock::time_point due;
  };
  // What a request gets: its answer, the rights list to write (if any) for
  // `logon`, and the line reported.
  struct Reply {
    std::string answer_text;
    std::optional<std::string> rights_list;
    std::string logon;
    std::string summary;
  };

  void Handle(WorkHandle work, Clock::time_point now);
  void AnswerDue(Clock::time_point now);
  void AnswerRequest(WorkHandle work);
  Reply ReplyTo(const dbk_work* work) const;
  void WriteRights(const std::string& ticket, const Reply& reply);
  void ConsumePosted(WorkHandle work);
  void ReportEvent(const dbk_work* work);
  void ReportExpired();
  void Report(const std::string& line);

  BackendOptions options_;
  std::ostream& report_;
  std::unique_ptr<dbk_spool, SpoolClose> spool_;
  std::vector<Held> held_;
  std::uint64_t expired_reported_ = 0;
};

}  // namespace tools
