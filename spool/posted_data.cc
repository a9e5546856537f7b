// The posted-data store: data file first, created exclusively and closed,
// then the ready file that tells the back-end the data is complete, which
// appears under its name only with its whole content.
#include "spool/posted_data.h"

#include <cstdint>
#include <optional>
#include <string>

#include "platform/file.h"
#include "spool/counters.h"
#include "spool/install_root.h"
#include "spool/spool_paths.h"
#include "spool/text_file.h"

namespace spool {

namespace {

// Suffix of the name a ready file is written under before it takes its own.
constexpr const char* kReadyTemporarySuffix = ".tmp";

struct PostPaths {
  std::string data;
  std::string ready;
};

std::optional<PostPaths> FormPostPaths(const std::string& spool_root, long number) {
  const std::string stem = std::to_string(number);
  std::optional<std::string> data = SpoolPath(spool_root, "post", stem + ".txt");
  std::optional<std::string> ready = SpoolPath(spool_root, "post", stem + ".rdy");
  if (!data || !ready) return std::nullopt;
  return PostPaths{std::move(*data), std::move(*ready)};
}

// Draws post numbers until one whose data file this call creates, and
// returns its paths with the data file open. Another process may draw the
// same number (the post lock is not read back), so the file is created
// exclusively and a number whose file exists is skipped. Nothing when the
// bound is spent or the data file cannot be created for another reason.
std::optional<PostPaths> CreateFreshDataFile(const InstallRoot& root, long max_numbers,
                                             std::optional<TextFileWriter>& writer) {
  for (long drawn = 0; drawn < max_numbers; ++drawn) {
    std::optional<PostPaths> paths = FormPostPaths(root.spool, TakePostNumber(root));
    if (!paths) return std::nullopt;
    if (platform::FileExists(paths->data.c_str())) continue;
    writer.emplace(paths->data, platform::OpenMode::kCreateExclusive);
    if (writer->is_open()) return paths;
    writer.reset();
    // Lost the number to another process between the test and the create;
    // any other failure (no post directory, no permission) is final.
    if (!platform::FileExists(paths->data.c_str())) return std::nullopt;
  }
  return std::nullopt;
}

// Writes the received length under a name no back-end looks for and then
// renames it to the ready file, so that the ready file appears only with its
// whole length: a back-end that reacts to the name (a directory scan, a
// create notification) never reads it empty or in part. A ready file left
// under this number by an earlier round of the counter is replaced in the
// same step. It is written whole or the store fails: a ready file without
// its length would announce data whose length the back-end cannot know, and
// data without a ready file would never be taken. On failure the temporary
// file is gone and no ready file of this store is left.
bool PublishReadyFile(const PostPaths& paths, long received_length) {
  // The data file of this number was created by this call, so no other
  // writer uses its ready file's temporary name.
  const std::string temporary = paths.ready + kReadyTemporarySuffix;
  TextFileWriter ready(temporary, platform::OpenMode::kWriteTruncate);
  const bool written = ready.is_open() && ready.Write(std::to_string(received_length));
  if (ready.Close() && written && platform::ReplaceFile(temporary, paths.ready)) return true;
  (void)platform::RemoveFile(temporary.c_str());
  (void)platform::RemoveFile(paths.ready.c_str());
  return false;
}

long StoreWithinBound(const InstallRoot& root, std::string_view data, long received_length,
                      long max_numbers) {
  // The data is a text: it ends at its first zero byte (the handler has
  // already turned every posted zero byte into "|").
  const std::string_view text = data.substr(0, data.find('\0'));

  // Without a usable root nothing is stored.
  if (!root.failure.empty()) return 0;
  std::optional<TextFileWriter> writer;
  const std::optional<PostPaths> paths = CreateFreshDataFile(root, max_numbers, writer);
  if (!paths) return 0;
  const bool written = writer->Write(text);
  // The data file is complete and closed before anything else happens, so a
  // ready file never announces half-written data. Data that could not be
  // written whole (a full disk) is removed: nobody could use half of it.
  const bool closed = writer->Close();
  if (!closed || !written) {
    (void)platform::RemoveFile(paths->data.c_str());
    return 0;
  }

  std::int64_t stored_size = -1;
  {
    platform::File stored = platform::File::Open(paths->data.c_str(), platform::OpenMode::kRead);
    if (!stored.is_open()) return 0;
    stored_size = stored.Size();
  }
  if (stored_size <= 0) return 0;

  if (!PublishReadyFile(*paths, received_length)) {
    (void)platform::RemoveFile(paths->data.c_str());
    return 0;
  }
  return static_cast<long>(stored_size);
}

}  // namespace

long StorePostedData(const InstallRoot& root, std::string_view data, long received_length) {
  return StoreWithinBound(root, data, received_length, kMaxPostNumbersPerStore);
}

namespace testing {

long StorePostedDataWithinBound(const InstallRoot& root, std::string_view data,
                                long received_length, long max_numbers) {
  return StoreWithinBound(root, data, received_length, max_numbers);
}

}  // namespace testing

}  // namespace spool
