// Claim files made by exclusive creation (O_CREAT | O_EXCL), the one step
// every shared file system grants to a single client.
#include "backend_kit/claims.h"

#include <ctime>
#include <vector>

#include "platform/directory.h"
#include "platform/file.h"
#include "platform/process_identity.h"

namespace backend_kit {

namespace {

// Who holds a claim, for a person looking at the folder.
std::string HolderText() {
  return platform::HostName() + " " + std::to_string(platform::CurrentProcessId()) + "\n";
}

}  // namespace

Claims::Claims(std::string folder, std::chrono::seconds timeout, std::string holder)
    : folder_(std::move(folder)),
      timeout_(timeout),
      holder_(holder.empty() ? HolderText() : std::move(holder) + "\n") {}

bool Claims::Prepare(std::string& error) const {
  platform::SystemError failure;
  if (platform::MakeDirectory(folder_, &failure)) return true;
  error = "cannot make " + folder_ + ": " + platform::FailureReason(failure);
  return false;
}

long long Claims::AgeSeconds(const std::string& path) const {
  platform::FileStamp stamp;
  if (!platform::StampOfFile(path.c_str(), stamp)) return -1;
  // Whole seconds, rounded down as the system's own seconds are.
  const std::int64_t modified_s =
      stamp.modified_ns / 1000000000 - (stamp.modified_ns % 1000000000 < 0 ? 1 : 0);
  return static_cast<long long>(std::time(nullptr)) - static_cast<long long>(modified_s);
}

Claims::Result Claims::Claim(const std::string& name) {
  if (own_.count(name) != 0) return Result::kOurs;
  const std::string path = folder_ + "/" + name;
  for (int attempt = 0; attempt < 2; ++attempt) {
    platform::File file = platform::File::Open(path.c_str(), platform::OpenMode::kCreateExclusive);
    if (file.is_open()) {
      (void)file.Write(holder_.data(), holder_.size());
      (void)file.Close();
      own_.insert(name);
      return Result::kOurs;
    }
    if (file.error().cause != platform::FailureCause::kExists) return Result::kOurs;
    // Held: by a live instance, unless it is older than the timeout (its
    // holder died before finishing). Taken over once.
    if (attempt > 0 || AgeSeconds(path) <= timeout_.count()) break;
    (void)platform::RemoveFile(path.c_str());
  }
  return Result::kHeldElsewhere;
}

void Claims::Release(const std::string& name) {
  if (own_.erase(name) == 0) return;
  (void)platform::RemoveFile((folder_ + "/" + name).c_str());
}

void Claims::Sweep(const std::function<bool(const std::string&)>& wanted) {
  std::vector<platform::DirectoryEntry> entries;
  (void)platform::ListDirectory(folder_, entries);
  for (const platform::DirectoryEntry& entry : entries) {
    const std::string& name = entry.name;
    const std::string path = folder_ + "/" + name;
    if (AgeSeconds(path) > timeout_.count() && !wanted(name)) {
      (void)platform::RemoveFile(path.c_str());
      own_.erase(name);
    }
  }
}

}  // namespace backend_kit
