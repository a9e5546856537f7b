// The stand-in back-end's watch loop, request answering and consumption of
// posted data and events.

#include "tools/backend/backend.h"

#include <dirent.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <system_error>
#include <vector>

#include "tools/backend/answers.h"
#include "tools/backend/request.h"
#include "tools/backend/spool_text.h"
#include "tools/backend/ticket_sweep.h"

namespace tools {

namespace {

// A request another instance has claimed is looked at again this often: it
// is done once that instance has written its ready flag, or the module has
// picked the answer up.
constexpr std::chrono::milliseconds kClaimRecheck{1000};
constexpr std::chrono::seconds kClaimSweepInterval{10};
// Abandoned tickets are looked for at least this often.
constexpr std::chrono::seconds kLongestTicketSweepInterval{60};
constexpr std::size_t kPreviewBytes = 80;
// A server file holds a scheme, a name and a port; a ready file a number.
constexpr std::size_t kMaxServerFileBytes = 4096;
constexpr std::size_t kMaxReadyFileBytes = 32;

bool EndsWith(std::string_view text, std::string_view suffix) {
  return text.size() > suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

// The stem of "<stem><suffix>" for names the module writes: not hidden, no
// temporary names of ours.
std::optional<std::string> SpoolStem(std::string_view name, std::string_view suffix) {
  if (!EndsWith(name, suffix) || name.front() == '.') return std::nullopt;
  return std::string(name.substr(0, name.size() - suffix.size()));
}

bool AllDigits(std::string_view text) {
  return !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
}

std::optional<unsigned long> InodeOf(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return std::nullopt;
  return static_cast<unsigned long>(info.st_ino);
}

bool Exists(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0;
}

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

struct DirCloser {
  void operator()(DIR* dir) const { ::closedir(dir); }
};

// Names and inodes of the entries of `path`; empty when it cannot be read.
std::vector<std::pair<std::string, unsigned long>> ListDirectory(const std::string& path) {
  std::vector<std::pair<std::string, unsigned long>> entries;
  std::unique_ptr<DIR, DirCloser> dir(::opendir(path.c_str()));
  if (!dir) return entries;
  while (const dirent* entry = ::readdir(dir.get())) {
    entries.emplace_back(entry->d_name, static_cast<unsigned long>(entry->d_ino));
  }
  return entries;
}

}  // namespace

Backend::Backend(BackendOptions options, std::ostream& report)
    : options_(std::move(options)),
      report_(report),
      claims_(options_.root + "/claims", options_.claim_timeout) {}

Backend::~Backend() {
  if (inotify_fd_ >= 0) ::close(inotify_fd_);
}

std::string Backend::Dir(const char* name) const { return options_.root + "/" + name; }

void Backend::Report(const std::string& line) {
  report_ << line << '\n';
  report_.flush();
}

bool Backend::Start(std::string& error) {
  for (const char* name : {"in", "out", "post", "rights", "events"}) {
    struct stat info {};
    if (::stat(Dir(name).c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
      error = "no directory " + Dir(name);
      return false;
    }
  }
  if (!claims_.Prepare(error)) return false;
  if (!options_.force_polling) {
    inotify_fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (inotify_fd_ >= 0) {
      constexpr std::uint32_t kFileDone = IN_CLOSE_WRITE | IN_MOVED_TO;
      in_watch_ = ::inotify_add_watch(inotify_fd_, Dir("in").c_str(), kFileDone);
      post_watch_ = ::inotify_add_watch(inotify_fd_, Dir("post").c_str(), kFileDone);
      events_watch_ =
          ::inotify_add_watch(inotify_fd_, Dir("events").c_str(), kFileDone | IN_MODIFY);
      if (in_watch_ < 0 || post_watch_ < 0 || events_watch_ < 0) {
        // Watches exhausted or not allowed here: fall back to polling.
        ::close(inotify_fd_);
        inotify_fd_ = -1;
      }
    }
  }
  return true;
}

void Backend::Run(const std::atomic<bool>& stop) {
  while (!stop.load()) {
    const Clock::time_point now = Clock::now();
    if (now >= next_rescan_) {
      ScanOnce(now);
    } else {
      AnswerDue(now);
    }
    const auto wait = NextWait(Clock::now());
    if (inotify_fd_ >= 0) {
      pollfd watch{inotify_fd_, POLLIN, 0};
      const int ready = ::poll(&watch, 1, static_cast<int>(wait.count()));
      if (ready > 0) DrainInotify(Clock::now());
    } else {
      ::usleep(static_cast<useconds_t>(wait.count()) * 1000U);
    }
  }
}

std::chrono::milliseconds Backend::NextWait(Clock::time_point now) const {
  auto wait = options_.poll_interval;
  auto until = [&](Clock::time_point when) {
    if (when <= now) return std::chrono::milliseconds(0);
    return std::chrono::ceil<std::chrono::milliseconds>(when - now);
  };
  if (inotify_fd_ < 0) wait = std::min(wait, until(next_rescan_));
  for (const auto& [ticket, pending] : pending_) wait = std::min(wait, until(pending.due));
  return std::max(wait, std::chrono::milliseconds(1));
}

void Backend::ScanOnce(Clock::time_point now) {
  // Before the requests are listed, so that an abandoned one is not
  // answered in the same pass as it is removed.
  if (now >= next_ticket_sweep_) SweepTickets(now);
  ScanRequests(now);
  ScanPosted();
  ScanEvents();
  AnswerDue(now);
  if (now >= next_sweep_) SweepClaims(now);
  next_rescan_ = now + (inotify_fd_ >= 0 ? options_.rescan_interval : options_.poll_interval);
}

void Backend::SweepClaims(Clock::time_point now) {
  next_sweep_ = now + kClaimSweepInterval;
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

void Backend::SweepTickets(Clock::time_point now) {
  const auto interval = std::clamp<std::chrono::seconds>(
      options_.ticket_lifetime / 4, std::chrono::seconds(1), kLongestTicketSweepInterval);
  next_ticket_sweep_ = now + interval;
  // File times are the wall clock's.
  const int removed = SweepExpiredTickets(options_.root, options_.ticket_lifetime,
                                          std::chrono::system_clock::now());
  if (removed > 0) Report("expired " + std::to_string(removed) + " tickets");
}

void Backend::DrainInotify(Clock::time_point now) {
  alignas(inotify_event) char buffer[16 * 1024];
  bool overflow = false;
  for (;;) {
    const ssize_t length = ::read(inotify_fd_, buffer, sizeof buffer);
    if (length <= 0) break;  // EAGAIN: drained (EINTR: the next pass reads on)
    for (ssize_t at = 0; at < length;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      if (event->mask & IN_Q_OVERFLOW) overflow = true;
      if (event->len == 0) continue;
      const std::string name(event->name);
      if (event->wd == in_watch_) {
        if (auto ticket = SpoolStem(name, ".req")) {
          // A request file just written: a new request, even under a number
          // answered before (the module removed that answer's ready flag).
          answered_.erase(*ticket);
          NoteRequest(*ticket, now);
        }
      } else if (event->wd == post_watch_) {
        if (auto number = SpoolStem(name, ".rdy")) ConsumePosted(*number);
      } else if (event->wd == events_watch_) {
        if (SpoolStem(name, ".evt")) ConsumeEvents(name);
      }
    }
  }
  if (overflow) next_rescan_ = now;
  AnswerDue(now);
}

void Backend::ScanRequests(Clock::time_point now) {
  std::map<std::string, unsigned long> still_present;
  for (const auto& [name, inode] : ListDirectory(Dir("in"))) {
    auto ticket = SpoolStem(name, ".req");
    if (!ticket) continue;
    auto answered = answered_.find(*ticket);
    if (answered != answered_.end() && answered->second == inode) {
      still_present.emplace(*ticket, inode);
      continue;
    }
    NoteRequest(*ticket, now);
  }
  // Forget answers whose request file the module has removed.
  answered_ = std::move(still_present);
}

void Backend::NoteRequest(const std::string& ticket, Clock::time_point now) {
  pending_.try_emplace(ticket, Pending{now, now + options_.delay});
}

void Backend::AnswerDue(Clock::time_point now) {
  for (auto it = pending_.begin(); it != pending_.end();) {
    if (it->second.due > now) {
      ++it;
      continue;
    }
    const Outcome outcome = AnswerRequest(it->first, it->second.first_seen, now);
    if (outcome == Outcome::kDone) {
      it = pending_.erase(it);
      continue;
    }
    it->second.due =
        now + (outcome == Outcome::kRetry ? std::chrono::milliseconds(5) : kClaimRecheck);
    ++it;
  }
}

Backend::Outcome Backend::AnswerRequest(const std::string& ticket, Clock::time_point first_seen,
                                        Clock::time_point now) {
  const std::string request_path = Dir("in") + "/" + ticket + ".req";
  const std::string ready_path = Dir("out") + "/" + ticket + ".rdy";
  const std::optional<unsigned long> inode = InodeOf(request_path);
  if (!inode) return Outcome::kDone;  // picked up or withdrawn meanwhile
  // One byte past the limit is enough to refuse a file as too large.
  const std::optional<std::string> stored = ReadFileBytes(request_path, kMaxRequestFileBytes + 1);
  if (!stored) return Outcome::kDone;
  const bool too_large = stored->size() > kMaxRequestFileBytes;
  const std::string text = FromSpoolText(*stored);
  // A file past the size limit is refused at once, whatever its lines.
  const bool complete = too_large || RequestFileComplete(text);
  if (Exists(ready_path)) {
    // A complete request beside a flag was answered already (by an earlier
    // run, or it is a basket answer kept ready). An incomplete one is a new
    // request under a reused number: the module removes the old flag before
    // it writes the lines, so look again shortly.
    if (!complete) return Outcome::kRetry;
    answered_[ticket] = *inode;
    return Outcome::kDone;
  }

  if (!complete && now - first_seen < options_.incomplete_grace) {
    return Outcome::kRetry;  // the module may still be writing it
  }
  if (claims_.Claim("req-" + ticket + "-" + std::to_string(*inode)) ==
      Claims::Result::kHeldElsewhere) {
    return Outcome::kHeldElsewhere;
  }
  const Reply reply = ReplyTo(ticket, text, too_large);
  if (reply.rights_list) {
    const std::string path = Dir("rights") + "/~" + reply.logon + ".lst";
    if (!WriteFileAtomically(path, ToSpoolText(*reply.rights_list))) {
      Report("error " + ticket + ": cannot write " + path);
    }
  }
  if (!WriteAnswer(ticket, reply.answer_text)) {
    Report("error " + ticket + ": cannot write its answer");
    return Outcome::kDone;  // the next rescan tries again
  }
  answered_[ticket] = *inode;
  Report(reply.summary + " bytes=" + std::to_string(reply.answer_text.size()));
  return Outcome::kDone;
}

Backend::Reply Backend::ReplyTo(const std::string& ticket, const std::string& text,
                                bool too_large) const {
  auto parsed = too_large ? Malformed{"the request file is larger than " +
                                      std::to_string(kMaxRequestFileBytes) + " bytes"}
                          : ParseRequestFile(text);
  Reply reply;
  if (const auto* malformed = std::get_if<Malformed>(&parsed)) {
    reply.answer_text = MalformedAnswer(ticket, malformed->reason).text;
    reply.summary = "malformed " + ticket + ": " + malformed->reason;
    return reply;
  }
  AnswerInput input;
  input.ticket = ticket;
  input.request = std::get<Request>(std::move(parsed));
  if (auto server = ReadSpoolText(Dir("in") + "/" + ticket + ".srv", kMaxServerFileBytes)) {
    input.server = ParseServerFile(*server);
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

bool Backend::WriteAnswer(const std::string& ticket, const std::string& text) {
  // The module streams out/N.htm as soon as out/N.rdy exists: the answer
  // must be complete, under its final name, before the flag is created.
  const std::string answer_path = Dir("out") + "/" + ticket + ".htm";
  if (!WriteFileAtomically(answer_path, ToSpoolText(text))) return false;
  return WriteFile(Dir("out") + "/" + ticket + ".rdy", "");
}

void Backend::ScanPosted() {
  std::map<std::string, unsigned long> still_present;
  for (const auto& [name, inode] : ListDirectory(Dir("post"))) {
    auto number = SpoolStem(name, ".rdy");
    if (!number) continue;
    auto consumed = consumed_posts_.find(*number);
    if (consumed != consumed_posts_.end() && consumed->second == inode) {
      still_present.emplace(*number, inode);
      continue;
    }
    ConsumePosted(*number);
    if (auto now_consumed = consumed_posts_.find(*number); now_consumed != consumed_posts_.end()) {
      still_present.insert(*now_consumed);
    }
  }
  // Forget posted data that has been cleared away, so memory stays bounded.
  consumed_posts_ = std::move(still_present);
}

void Backend::ConsumePosted(const std::string& number) {
  const std::string ready_path = Dir("post") + "/" + number + ".rdy";
  const std::string data_path = Dir("post") + "/" + number + ".txt";
  const std::optional<unsigned long> inode = InodeOf(ready_path);
  if (!inode) return;
  auto consumed = consumed_posts_.find(number);
  if (consumed != consumed_posts_.end() && consumed->second == *inode) return;
  const std::optional<std::string> ready = ReadFileBytes(ready_path, kMaxReadyFileBytes);
  // The module puts a ready file in place whole, holding the length; one
  // without a length is not (yet) the module's word that the data is
  // complete, and is looked at again at the next change or rescan.
  if (!ready || !AllDigits(*ready)) return;
  // Another instance may be taking it at this moment.
  if (claims_.Claim("post-" + number + "-" + std::to_string(*inode)) ==
      Claims::Result::kHeldElsewhere) {
    return;
  }
  consumed_posts_[number] = *inode;
  // The data is read through in pieces: its size and a preview are all this
  // stand-in does with it.
  std::ifstream data(data_path, std::ios::binary);
  if (!data) {
    RemovePosted(number);
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
  const std::string preview = FromSpoolText(head);
  std::string digest_text(16, '0');
  for (std::size_t i = digest_text.size(); i-- > 0; digest >>= 4) {
    digest_text[i] = "0123456789abcdef"[digest & 0x0F];
  }
  // Removed before the report, so a reader of the report finds them gone.
  RemovePosted(number);
  Report("posted " + number + ": received=" + *ready + " stored=" + std::to_string(stored_size) +
         " data=" + Preview(preview) + " fnv1a=" + digest_text);
}

void Backend::RemovePosted(const std::string& number) {
  // Consumed data is removed, or the module's store would walk past every
  // number still taken. The ready file goes first: while the data file is
  // there the module does not reuse the number, so a new store's ready file
  // is never the one removed.
  std::error_code ignored;
  std::filesystem::remove(Dir("post") + "/" + number + ".rdy", ignored);
  std::filesystem::remove(Dir("post") + "/" + number + ".txt", ignored);
}

void Backend::ScanEvents() {
  std::set<std::string> present;
  for (const auto& [name, inode] : ListDirectory(Dir("events"))) {
    if (!SpoolStem(name, ".evt")) continue;
    present.insert(name);
    ConsumeEvents(name);
  }
  std::erase_if(event_files_, [&](const auto& entry) { return !present.count(entry.first); });
}

void Backend::ConsumeEvents(const std::string& file_name) {
  const std::string path = Dir("events") + "/" + file_name;
  const std::string logon = file_name.substr(0, file_name.size() - 4);
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return;
  EventFileState& state = event_files_[file_name];
  const auto inode = static_cast<unsigned long>(info.st_ino);
  const auto size = static_cast<unsigned long long>(info.st_size);
  if (state.inode != inode || size < state.offset) state = EventFileState{inode, 0};
  if (size == state.offset) return;

  std::ifstream in(path, std::ios::binary);
  if (!in) return;
  in.seekg(static_cast<std::streamoff>(state.offset));
  std::string added(static_cast<std::size_t>(size - state.offset), '\0');
  in.read(added.data(), static_cast<std::streamsize>(added.size()));
  added.resize(static_cast<std::size_t>(in.gcount()));
  // Only whole lines count: an append may be seen half written.
  const std::size_t end = added.rfind('\n');
  if (end == std::string::npos) return;
  added.resize(end + 1);
  state.offset += added.size();
  for (const std::string& line : SplitLines(FromSpoolText(added))) {
    Report("event " + Preview(logon) + ": " + Preview(line));
  }
}

}  // namespace tools
