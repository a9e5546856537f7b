// Removal of abandoned tickets, safe against the module working on the same
// number at the same time.
//
// What the module does with ticket N, which this sweep must never upset:
//   new request: create in/N.req exclusively (it fails while the file is
//     there: the number is in use), remove out/N.rdy, write in/N.srv, write
//     the lines of in/N.req, write out/N.tmp;
//   poll with an answer: remove in/N.req and in/N.srv, remove out/N.rdy and
//     out/N.tmp (not for a basket), send out/N.htm.
// So while in/N.req stays as it is, no new request can take N, and while it
// stays absent, none has taken it. The sweep therefore notes in/N.req
// (its identity and time, or its absence) and, before each removal, checks
// that it is unchanged and that the file about to go is still old. The
// request file goes last: until then the number stays in use.
//
// The race that remains: between that check and the removal (a few system
// calls) a poll would have to remove an old in/N.req, a new request draw N
// (the counter coming round to it in that instant) and write its file under
// the very name being removed. The worst outcome is one new request losing
// its wait page or server file: its poll then reports the ticket unknown and
// the user asks again. No answer ever reaches another request, because the
// answer file is only removed, never written, here.

#include "backend_kit/ticket_sweep.h"

#include <cstdint>
#include <optional>
#include <set>
#include <string_view>
#include <vector>

#include "platform/directory.h"
#include "platform/file.h"

namespace backend_kit {

namespace {

constexpr unsigned long kHighestTicket = 1000000;

// A ticket's files in the order they are removed: the ready flag first, so
// that no poll finds an answer whose wait page is already gone; the request
// file last, so that the number stays in use until the end.
struct TicketFile {
  const char* folder;
  const char* suffix;
};
constexpr TicketFile kTicketFiles[] = {
    {"out", ".rdy"}, {"out", ".tmp"}, {"out", ".htm"}, {"in", ".srv"}, {"in", ".req"}};

// The ticket that `name` belongs to as `<N><suffix>`, N written as the
// module writes it (no sign, no leading zero, 1 to 1000000).
std::optional<std::string> TicketOf(std::string_view name, std::string_view suffix) {
  if (name.size() <= suffix.size() || name.substr(name.size() - suffix.size()) != suffix) {
    return std::nullopt;
  }
  const std::string_view stem = name.substr(0, name.size() - suffix.size());
  if (stem.size() > 7 || stem.front() == '0') return std::nullopt;
  unsigned long value = 0;
  for (char c : stem) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<unsigned long>(c - '0');
  }
  if (value == 0 || value > kHighestTicket) return std::nullopt;
  return std::string(stem);
}

void CollectTickets(const std::string& folder, std::set<std::string>& tickets) {
  std::vector<platform::DirectoryEntry> entries;
  (void)platform::ListDirectory(folder, entries);
  for (const platform::DirectoryEntry& entry : entries) {
    for (const TicketFile& file : kTicketFiles) {
      if (auto ticket = TicketOf(entry.name, file.suffix)) tickets.insert(*ticket);
    }
  }
}

// What stat says of a file: absent, present (with its identity and time),
// or unknown (any other error: the ticket is left alone).
struct FileState {
  enum class Kind { kAbsent, kPresent, kUnknown } kind = Kind::kUnknown;
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::int64_t modified_ns = 0;
  std::int64_t changed_ns =
      0;  // set by the system on every creation: tells a new file with an old time
};

FileState StateOf(const std::string& path) {
  platform::FileStamp stamp;
  platform::SystemError error;
  FileState state;
  if (!platform::StampOfFile(path.c_str(), stamp, &error)) {
    state.kind = error.cause == platform::FailureCause::kNotFound ? FileState::Kind::kAbsent
                                                                  : FileState::Kind::kUnknown;
    return state;
  }
  state.kind = FileState::Kind::kPresent;
  state.device = stamp.device;
  state.inode = stamp.inode;
  state.modified_ns = stamp.modified_ns;
  state.changed_ns = stamp.changed_ns;
  return state;
}

bool Same(const FileState& a, const FileState& b) {
  if (a.kind != b.kind) return false;
  if (a.kind != FileState::Kind::kPresent) return true;
  return a.device == b.device && a.inode == b.inode && a.modified_ns == b.modified_ns &&
         a.changed_ns == b.changed_ns;
}

// Absent, or present and last changed before `cutoff` (whole seconds).
bool AbsentOrOld(const FileState& state, std::time_t cutoff) {
  if (state.kind == FileState::Kind::kAbsent) return true;
  // Its whole seconds are before `cutoff` exactly when its nanoseconds are.
  return state.kind == FileState::Kind::kPresent &&
         state.modified_ns < static_cast<std::int64_t>(cutoff) * 1000000000;
}

std::string PathOf(const std::string& root, const std::string& ticket, const TicketFile& file) {
  return root + "/" + file.folder + "/" + ticket + file.suffix;
}

// Removes the files of one ticket if all of them are old. True when the
// ticket's files are all gone.
bool SweepTicket(const std::string& root, const std::string& ticket, std::time_t cutoff,
                 const BeforeRemoval& before_removal) {
  const TicketFile& request_file = kTicketFiles[std::size(kTicketFiles) - 1];
  const std::string request_path = PathOf(root, ticket, request_file);
  const FileState request = StateOf(request_path);
  for (const TicketFile& file : kTicketFiles) {
    if (!AbsentOrOld(StateOf(PathOf(root, ticket, file)), cutoff)) return false;
  }
  for (const TicketFile& file : kTicketFiles) {
    const std::string path = PathOf(root, ticket, file);
    // The number is still the abandoned request's (or still nobody's), and
    // this file has not been written since the first look.
    if (!Same(StateOf(request_path), request)) return false;
    const FileState state = StateOf(path);
    if (state.kind == FileState::Kind::kAbsent) continue;
    if (!AbsentOrOld(state, cutoff)) return false;
    if (before_removal) before_removal(path);
    if (platform::RemoveFileTelling(path.c_str()) == platform::Removal::kFailed) return false;
  }
  return true;
}

}  // namespace

int SweepExpiredTickets(const std::string& root, std::chrono::seconds lifetime,
                        std::chrono::system_clock::time_point now,
                        const BeforeRemoval& before_removal) {
  std::set<std::string> tickets;
  CollectTickets(root + "/in", tickets);
  CollectTickets(root + "/out", tickets);
  const std::time_t cutoff = std::chrono::system_clock::to_time_t(now - lifetime);
  int removed = 0;
  for (const std::string& ticket : tickets) {
    removed += SweepTicket(root, ticket, cutoff, before_removal) ? 1 : 0;
  }
  return removed;
}

}  // namespace backend_kit
