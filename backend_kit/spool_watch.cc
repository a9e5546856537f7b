// The watch over one install root: listings and inotify events become
// queued, claimed work.

#include "backend_kit/spool_watch.h"

#include <algorithm>
#include <cstdint>
#include <thread>
#include <vector>

#include "backend_kit/spool_text.h"
#include "backend_kit/ticket_sweep.h"
#include "platform/directory.h"
#include "platform/file.h"

namespace backend_kit {

namespace {

// A request another instance has claimed is looked at again this often: it
// is done once that instance has written its ready flag, or the module has
// picked the answer up.
constexpr std::chrono::milliseconds kClaimRecheck{1000};
constexpr std::chrono::milliseconds kIncompleteRecheck{5};
constexpr std::chrono::seconds kClaimSweepInterval{10};
// Abandoned tickets are looked for at least this often.
constexpr std::chrono::seconds kLongestTicketSweepInterval{60};
// A server file holds a scheme, a name and a port; a ready file a number.
constexpr std::size_t kMaxServerFileBytes = 4096;
constexpr std::size_t kMaxReadyFileBytes = 32;

bool EndsWith(std::string_view text, std::string_view suffix) {
  return text.size() > suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

// The stem of "<stem><suffix>" for names the module writes: not hidden, no
// temporary names.
std::optional<std::string> SpoolStem(std::string_view name, std::string_view suffix) {
  if (!EndsWith(name, suffix) || name.front() == '.') return std::nullopt;
  return std::string(name.substr(0, name.size() - suffix.size()));
}

bool AllDigits(std::string_view text) {
  return !text.empty() && text.size() <= 19 &&
         text.find_first_not_of("0123456789") == std::string_view::npos;
}

std::optional<unsigned long> InodeOf(const std::string& path) {
  const std::optional<std::uint64_t> id = platform::FileIdOf(path);
  if (!id) return std::nullopt;
  return static_cast<unsigned long>(*id);
}

// Names and inodes of the entries of `path`; what could be read of it.
std::vector<platform::DirectoryEntry> ListEntries(const std::string& path) {
  std::vector<platform::DirectoryEntry> entries;
  (void)platform::ListDirectory(path, entries);
  return entries;
}

}  // namespace

SpoolWatch::SpoolWatch(WatchOptions options)
    : options_(std::move(options)),
      claims_(options_.root + "/claims", options_.claim_timeout, options_.instance) {}

SpoolWatch::~SpoolWatch() = default;

SpoolWatch::StartResult SpoolWatch::Start(std::string& error) {
  for (const char* name : {"in", "out", "post", "rights", "events"}) {
    if (!platform::IsDirectory(Dir(name))) {
      error = "no directory " + Dir(name);
      return StartResult::kNoSpool;
    }
  }
  if (!claims_.Prepare(error)) return StartResult::kNoClaims;
  if (!options_.force_polling && watch_.Open()) {
    using Changes = platform::DirectoryWatch::Changes;
    in_watch_ = watch_.Add(Dir("in"), Changes::kWritten);
    post_watch_ = watch_.Add(Dir("post"), Changes::kWritten);
    // Event files grow by appends.
    events_watch_ = watch_.Add(Dir("events"), Changes::kWrittenOrAppended);
    if (in_watch_ < 0 || post_watch_ < 0 || events_watch_ < 0) {
      // Watches exhausted or not allowed here: fall back to polling.
      watch_.Close();
    }
  }
  return StartResult::kOk;
}

std::optional<Work> SpoolWatch::Take() {
  if (queue_.empty()) return std::nullopt;
  Work work = std::move(queue_.front());
  queue_.pop_front();
  return work;
}

void SpoolWatch::Step(Clock::time_point now) {
  if (now >= next_rescan_) {
    ScanOnce(now);
    return;
  }
  if (watch_.is_open()) DrainWatch(now);
  QueueDue(now);
}

void SpoolWatch::Wait(Clock::time_point now, Clock::time_point until) const {
  if (!queue_.empty() || until <= now) return;
  auto wait = std::chrono::ceil<std::chrono::milliseconds>(until - now);
  auto bound = [&](Clock::time_point when) {
    wait = std::min(wait, when <= now ? std::chrono::milliseconds(0)
                                      : std::chrono::ceil<std::chrono::milliseconds>(when - now));
  };
  if (!watch_.is_open()) bound(next_rescan_);
  for (const auto& [ticket, pending] : pending_) bound(pending.due);
  wait = std::clamp(wait, std::chrono::milliseconds(1), options_.rescan_interval);
  if (watch_.is_open()) {
    watch_.Wait(wait);
  } else {
    std::this_thread::sleep_for(wait);
  }
}

void SpoolWatch::ScanOnce(Clock::time_point now) {
  // Before the requests are listed, so that an abandoned one is not handed
  // out in the same pass as it is removed.
  if (options_.ticket_lifetime.count() > 0 && now >= next_ticket_sweep_) SweepTickets(now);
  ScanFolder("in", ".req", handed_out_,
             [&](const std::string& ticket) { NoteRequest(ticket, now); });
  ScanFolder("post", ".rdy", consumed_posts_,
             [&](const std::string& number) { QueuePosted(number); });
  ScanEvents();
  QueueDue(now);
  if (now >= next_claim_sweep_) SweepClaims(now);
  next_rescan_ = now + (watch_.is_open() ? options_.rescan_interval : options_.poll_interval);
}

template <typename Found>
void SpoolWatch::ScanFolder(const char* folder, std::string_view suffix,
                            std::map<std::string, unsigned long>& seen, Found found) {
  std::map<std::string, unsigned long> still_present;
  for (const platform::DirectoryEntry& entry : ListEntries(Dir(folder))) {
    const auto inode = static_cast<unsigned long>(entry.file_id);
    auto stem = SpoolStem(entry.name, suffix);
    if (!stem) continue;
    auto known = seen.find(*stem);
    if (known == seen.end() || known->second != inode) {
      found(*stem);
      known = seen.find(*stem);
    }
    if (known != seen.end() && known->second == inode) still_present.insert(*known);
  }
  // Forget what has been cleared away, so memory stays bounded.
  seen = std::move(still_present);
}

void SpoolWatch::SweepTickets(Clock::time_point now) {
  next_ticket_sweep_ =
      now + std::clamp<std::chrono::seconds>(options_.ticket_lifetime / 4, std::chrono::seconds(1),
                                             kLongestTicketSweepInterval);
  // File times are the wall clock's.
  expired_tickets_ += static_cast<std::uint64_t>(SweepExpiredTickets(
      options_.root, options_.ticket_lifetime, std::chrono::system_clock::now()));
}

void SpoolWatch::SweepClaims(Clock::time_point now) {
  next_claim_sweep_ = now + kClaimSweepInterval;
  // "req-<ticket>-<inode>" and "post-<number>-<inode>": wanted while that
  // file is still there under that inode.
  claims_.Sweep([this](const std::string& name) {
    const std::size_t first = name.find('-');
    const std::size_t last = name.rfind('-');
    if (first == std::string::npos || first == last) return false;
    const std::string kind = name.substr(0, first);
    const std::string stem = name.substr(first + 1, last - first - 1);
    const std::string path =
        kind == "req" ? Dir("in") + "/" + stem + ".req" : Dir("post") + "/" + stem + ".rdy";
    const std::optional<unsigned long> inode = InodeOf(path);
    return inode && std::to_string(*inode) == name.substr(last + 1);
  });
}

void SpoolWatch::DrainWatch(Clock::time_point now) {
  const bool complete = watch_.Drain([&](int watched, const std::string& name) {
    if (watched == in_watch_) {
      if (auto ticket = SpoolStem(name, ".req")) {
        // A request file just written: a new request, even under a number
        // answered before (the module removed that answer's ready flag).
        handed_out_.erase(*ticket);
        NoteRequest(*ticket, now);
      }
    } else if (watched == post_watch_) {
      if (auto number = SpoolStem(name, ".rdy")) QueuePosted(*number);
    } else if (watched == events_watch_) {
      if (SpoolStem(name, ".evt")) QueueEvents(name);
    }
  });
  if (!complete) next_rescan_ = now;
}

void SpoolWatch::NoteRequest(const std::string& ticket, Clock::time_point now) {
  pending_.try_emplace(ticket, Pending{now, now});
}

void SpoolWatch::QueueDue(Clock::time_point now) {
  for (auto it = pending_.begin(); it != pending_.end();) {
    if (it->second.due > now) {
      ++it;
      continue;
    }
    const Outcome outcome = QueueRequest(it->first, it->second.first_seen, now);
    if (outcome == Outcome::kDone) {
      it = pending_.erase(it);
      continue;
    }
    it->second.due = now + (outcome == Outcome::kRetry ? kIncompleteRecheck : kClaimRecheck);
    ++it;
  }
}

SpoolWatch::Outcome SpoolWatch::QueueRequest(const std::string& ticket,
                                             Clock::time_point first_seen, Clock::time_point now) {
  const std::string request_path = Dir("in") + "/" + ticket + ".req";
  const std::optional<unsigned long> inode = InodeOf(request_path);
  if (!inode) return Outcome::kDone;  // picked up or withdrawn meanwhile
  // One byte past the limit is enough to refuse a file as too large.
  const std::optional<std::string> stored = ReadFileBytes(request_path, kMaxRequestFileBytes + 1);
  if (!stored) return Outcome::kDone;
  const bool too_large = stored->size() > kMaxRequestFileBytes;
  const std::string text = FromSpoolText(*stored);
  // A file past the size limit is refused at once, whatever its lines.
  const bool complete = too_large || RequestFileComplete(text);
  if (platform::FileExists((Dir("out") + "/" + ticket + ".rdy").c_str())) {
    // A complete request beside a flag was answered already (by an earlier
    // run, or it is a basket answer kept ready). An incomplete one is a new
    // request under a reused number: the module removes the old flag before
    // it writes the lines, so look again shortly.
    if (!complete) return Outcome::kRetry;
    handed_out_[ticket] = *inode;
    return Outcome::kDone;
  }
  if (!complete && now - first_seen < options_.incomplete_grace) {
    return Outcome::kRetry;  // the module may still be writing it
  }
  Work work;
  work.kind = Work::Kind::kRequest;
  work.name = ticket;
  work.inode = *inode;
  work.claim = "req-" + ticket + "-" + std::to_string(*inode);
  if (claims_.Claim(work.claim) == Claims::Result::kHeldElsewhere) {
    return Outcome::kHeldElsewhere;
  }
  auto parsed = too_large ? Malformed{"the request file is larger than " +
                                      std::to_string(kMaxRequestFileBytes) + " bytes"}
                          : ParseRequestFile(text);
  if (auto* request = std::get_if<Request>(&parsed)) {
    work.request = std::move(*request);
  } else {
    work.problem = std::get<Malformed>(parsed).reason;
  }
  if (auto server = ReadSpoolText(Dir("in") + "/" + ticket + ".srv", kMaxServerFileBytes)) {
    work.server = ParseServerFile(*server);
  }
  handed_out_[ticket] = *inode;
  queue_.push_back(std::move(work));
  return Outcome::kDone;
}

void SpoolWatch::QueuePosted(const std::string& number) {
  const std::string ready_path = Dir("post") + "/" + number + ".rdy";
  const std::optional<unsigned long> inode = InodeOf(ready_path);
  if (!inode) return;
  auto consumed = consumed_posts_.find(number);
  if (consumed != consumed_posts_.end() && consumed->second == *inode) return;
  const std::optional<std::string> ready = ReadFileBytes(ready_path, kMaxReadyFileBytes);
  // The module puts a ready file in place whole, holding the length; one
  // without a length is not (yet) the module's word that the data is
  // complete, and is looked at again at the next change or listing.
  if (!ready || !AllDigits(*ready)) return;
  Work work;
  work.kind = Work::Kind::kPosted;
  work.name = number;
  work.inode = *inode;
  work.claim = "post-" + number + "-" + std::to_string(*inode);
  // Another instance may be taking it at this moment.
  if (claims_.Claim(work.claim) == Claims::Result::kHeldElsewhere) return;
  consumed_posts_[number] = *inode;
  work.received = std::stoull(*ready);
  work.data_path = Dir("post") + "/" + number + ".txt";
  queue_.push_back(std::move(work));
}

void SpoolWatch::ScanEvents() {
  std::set<std::string> present;
  for (const platform::DirectoryEntry& entry : ListEntries(Dir("events"))) {
    if (!SpoolStem(entry.name, ".evt")) continue;
    present.insert(entry.name);
    QueueEvents(entry.name);
  }
  std::erase_if(event_files_, [&](const auto& entry) { return !present.count(entry.first); });
}

void SpoolWatch::QueueEvents(const std::string& file_name) {
  const std::string path = Dir("events") + "/" + file_name;
  platform::FileStamp stamp;
  if (!platform::StampOfFile(path.c_str(), stamp)) return;
  EventFileState& state = event_files_[file_name];
  const auto inode = static_cast<unsigned long>(stamp.inode);
  const auto size = static_cast<unsigned long long>(stamp.size);
  if (state.inode != inode || size < state.offset) state = EventFileState{inode, 0};
  if (size == state.offset) return;
  std::optional<std::string> added =
      ReadFileBytesAt(path, state.offset, static_cast<std::size_t>(size - state.offset));
  if (!added) return;
  // Only whole lines count: an append may be seen half written.
  const std::size_t end = added->rfind('\n');
  if (end == std::string::npos) return;
  added->resize(end + 1);
  state.offset += added->size();
  for (std::string& line : SplitLines(FromSpoolText(*added))) {
    Work work;
    work.kind = Work::Kind::kEvent;
    work.name = file_name.substr(0, file_name.size() - 4);
    work.line = std::move(line);
    queue_.push_back(std::move(work));
  }
}

void SpoolWatch::Forget(const Work& work) {
  if (work.kind == Work::Kind::kRequest) handed_out_.erase(work.name);
  if (work.kind == Work::Kind::kPosted) consumed_posts_.erase(work.name);
}

bool SpoolWatch::StillCurrent(const Work& work) const {
  const std::optional<unsigned long> inode = InodeOf(Dir("in") + "/" + work.name + ".req");
  return inode && *inode == work.inode;
}

}  // namespace backend_kit
