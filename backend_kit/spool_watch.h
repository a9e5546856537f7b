// The watch over one install root: finds new request files in in/, posted
// data whose ready file is whole in post/ and new lines of events/*.evt
// (inotify, or a listing every poll interval where inotify is missing),
// claims each request and posted body for this instance (claims.h), and
// queues it as Work for the back-end. It also removes abandoned tickets and
// old claims.
//
// inotify sees only the changes made through its own machine, so with
// inotify the folders are also listed every rescan interval: that bounds how
// long a request written through another front end waits to be seen.
//
// A request counts as answered while its ready flag exists; the module
// removes the flag before it reuses the number, so a request file under a
// reused number is new work.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "backend_kit/claims.h"
#include "backend_kit/request_file.h"
#include "platform/directory_watch.h"

namespace backend_kit {

struct WatchOptions {
  std::string root;      // install root (holds in/, out/, post/, ...)
  std::string instance;  // written into claims; empty: host name and process id
  bool force_polling = false;
  std::chrono::milliseconds poll_interval{50};
  std::chrono::milliseconds rescan_interval{250};
  // A request file still incomplete after this long is handed over as
  // malformed (the module creates it, then writes its lines, in well under
  // a millisecond).
  std::chrono::milliseconds incomplete_grace{2000};
  std::chrono::seconds claim_timeout{30};
  std::chrono::seconds ticket_lifetime{3600};  // 0: tickets are never removed
};

// One piece of work handed to the back-end.
struct Work {
  enum class Kind { kRequest, kPosted, kEvent };
  Kind kind = Kind::kRequest;
  std::string name;         // ticket, post number, or the logon of an event line
  unsigned long inode = 0;  // of the request file or ready file handed out
  std::string claim;        // the claim's name; empty when none was made
  // kRequest:
  std::optional<Request> request;    // nullopt when malformed
  std::string problem;               // why it is malformed
  std::optional<ServerInfo> server;  // nullopt when the server file is unusable
  bool answered = false;
  // kPosted:
  std::uint64_t received = 0;
  std::string data_path;
  // kEvent:
  std::string line;
};

class SpoolWatch {
 public:
  using Clock = std::chrono::steady_clock;
  enum class StartResult { kOk, kNoSpool, kNoClaims };

  explicit SpoolWatch(WatchOptions options);
  ~SpoolWatch();
  SpoolWatch(const SpoolWatch&) = delete;
  SpoolWatch& operator=(const SpoolWatch&) = delete;

  // Checks the spool folders and sets up the watches; the reason in `error`.
  [[nodiscard]] StartResult Start(std::string& error);
  bool using_inotify() const { return watch_.is_open(); }
  const WatchOptions& options() const { return options_; }
  std::string Dir(const char* name) const { return options_.root + "/" + name; }

  // One full pass at `now`: every folder listed, what is due queued.
  void ScanOnce(Clock::time_point now);
  // What changed since the last call (inotify) or a full pass when one is
  // due; never waits.
  void Step(Clock::time_point now);
  // Waits for a change, at most until `until` or the next thing due.
  void Wait(Clock::time_point now, Clock::time_point until) const;
  // The next queued work, if any.
  std::optional<Work> Take();

  // A request handed out is taken up again at the next listing (its claim
  // was given up).
  void Forget(const Work& work);
  // Claims: given up, so another instance can take the work.
  void ReleaseClaim(const std::string& claim) { claims_.Release(claim); }
  // True while the request file of `work` is the one handed out.
  bool StillCurrent(const Work& work) const;
  // Tickets removed as abandoned since the start.
  std::uint64_t expired_tickets() const { return expired_tickets_; }

 private:
  struct Pending {
    Clock::time_point first_seen;
    Clock::time_point due;
  };
  enum class Outcome { kDone, kRetry, kHeldElsewhere };

  // Lists `folder` for "<stem><suffix>" names: each one not recorded in
  // `seen` under its inode is passed to `found`; records of names gone are
  // dropped from `seen`.
  template <typename Found>
  void ScanFolder(const char* folder, std::string_view suffix,
                  std::map<std::string, unsigned long>& seen, Found found);
  void ScanEvents();
  void SweepClaims(Clock::time_point now);
  void SweepTickets(Clock::time_point now);
  void NoteRequest(const std::string& ticket, Clock::time_point now);
  void QueueDue(Clock::time_point now);
  Outcome QueueRequest(const std::string& ticket, Clock::time_point first_seen,
                       Clock::time_point now);
  void QueuePosted(const std::string& number);
  void QueueEvents(const std::string& file_name);
  void DrainWatch(Clock::time_point now);

  WatchOptions options_;
  platform::DirectoryWatch watch_;
  int in_watch_ = -1;
  int post_watch_ = -1;
  int events_watch_ = -1;

  std::deque<Work> queue_;
  std::map<std::string, Pending> pending_;               // tickets not yet handed out
  std::map<std::string, unsigned long> handed_out_;      // ticket -> inode of its request file
  std::map<std::string, unsigned long> consumed_posts_;  // post number -> inode of its ready file
  Claims claims_;
  struct EventFileState {
    unsigned long inode = 0;
    unsigned long long offset = 0;
  };
  std::map<std::string, EventFileState> event_files_;
  Clock::time_point next_rescan_{};
  Clock::time_point next_claim_sweep_{};
  Clock::time_point next_ticket_sweep_{};
  std::uint64_t expired_tickets_ = 0;
};

}  // namespace backend_kit
