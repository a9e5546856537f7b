// The stand-in back-end's loop: it watches in/, post/ and events/ under an
// install root (inotify, or a rescan every poll interval when inotify is not
// available), answers each request file once, and reports on its output
// stream, one line each, what it answered and what posted data and events it
// consumed.
//
// Several instances may share one spool, each on its own machine and mount
// of a shared file system: a request is answered, and posted data taken, by
// the one instance that claims it (claims.h). inotify sees only the changes
// made through its own machine, so with inotify the directories are also
// listed again every rescan interval: that bounds how long a request written
// through another front end waits to be seen.
//
// Answer protocol, which the module relies on: out/N.htm is written whole
// under a temporary name and renamed into place, and only then is out/N.rdy
// created. A request counts as answered while its ready flag exists; the
// module deletes the flag before it reuses the number, so a reused number is
// answered again.
#pragma once

#include <atomic>
#include <chrono>
#include <map>
#include <optional>
#include <ostream>
#include <set>
#include <string>

#include "tools/backend/claims.h"

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
  // drawn again and the disk does not fill (ticket_sweep.h).
  std::chrono::seconds ticket_lifetime{3600};
};

class Backend {
 public:
  using Clock = std::chrono::steady_clock;

  Backend(BackendOptions options, std::ostream& report);
  ~Backend();
  Backend(const Backend&) = delete;
  Backend& operator=(const Backend&) = delete;

  // Checks the spool directories and sets up the watches. False, with the
  // reason in `error`, when the root cannot be served.
  bool Start(std::string& error);
  bool using_inotify() const { return inotify_fd_ >= 0; }

  // Serves until `stop` is set; no wait lasts longer than the poll interval.
  void Run(const std::atomic<bool>& stop);

  // One pass without waiting: rescans every watched directory and answers
  // what is due at `now`. Run is these passes plus the waiting.
  void ScanOnce(Clock::time_point now);

 private:
  struct Pending {
    Clock::time_point first_seen;
    Clock::time_point due;
  };
  // kHeldElsewhere: another instance claimed it; looked at again later, in
  // case that instance died.
  enum class Outcome { kDone, kRetry, kHeldElsewhere };
  // What a request gets: its answer, the rights list to write (if any) for
  // `logon`, and the line reported.
  struct Reply {
    std::string answer_text;
    std::optional<std::string> rights_list;
    std::string logon;
    std::string summary;
  };

  void ScanRequests(Clock::time_point now);
  void ScanPosted();
  void ScanEvents();
  // Removes old claims of requests and posted data that are gone.
  void SweepClaims(Clock::time_point now);
  // Removes abandoned tickets, at most every quarter of their lifetime.
  void SweepTickets(Clock::time_point now);
  void NoteRequest(const std::string& ticket, Clock::time_point now);
  void AnswerDue(Clock::time_point now);
  Outcome AnswerRequest(const std::string& ticket, Clock::time_point first_seen,
                        Clock::time_point now);
  // The reply to a complete request file's text, or to one too large to read.
  Reply ReplyTo(const std::string& ticket, const std::string& text, bool too_large) const;
  bool WriteAnswer(const std::string& ticket, const std::string& text);
  void ConsumePosted(const std::string& number);
  // Removes the ready file, then the data file, of consumed posted data.
  void RemovePosted(const std::string& number);
  void ConsumeEvents(const std::string& file_name);
  void DrainInotify(Clock::time_point now);
  std::chrono::milliseconds NextWait(Clock::time_point now) const;
  std::string Dir(const char* name) const;
  void Report(const std::string& line);

  BackendOptions options_;
  std::ostream& report_;
  int inotify_fd_ = -1;
  int in_watch_ = -1;
  int post_watch_ = -1;
  int events_watch_ = -1;

  std::map<std::string, Pending> pending_;               // tickets waiting for their answer
  std::map<std::string, unsigned long> answered_;        // ticket -> inode of its request file
  std::map<std::string, unsigned long> consumed_posts_;  // post number -> inode of its ready file
  Claims claims_;
  Clock::time_point next_sweep_{};
  Clock::time_point next_ticket_sweep_{};
  struct EventFileState {
    unsigned long inode = 0;
    unsigned long long offset = 0;
  };
  std::map<std::string, EventFileState> event_files_;
  Clock::time_point next_rescan_{};
};

}  // namespace tools
