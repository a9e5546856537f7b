// Answer delivery shared by DoCommand and DoKommand: error results, the
// download answer, the phone answer and the ordinary answer.
#include "commands/answer_delivery.h"

#include <string>
#include <utility>

#include "commands/file_names.h"
#include "commands/phone_answer.h"
#include "commands/responses.h"
#include "platform/file.h"
#include "spool/text_file_cache.h"

namespace commands {

namespace {

// The first line names a file: send that file, untranslated, as a download.
void DeliverDownload(gateway::WebExtension& extension, gateway::RequestContext& context,
                     std::string first_line) {
  spool::CutLineEnd(first_line);
  const std::string& name = first_line;
  platform::File file;
  if (name.size() < kDownloadNameCapacity) {
    file = platform::File::Open(NativeFileName(name).c_str(), platform::OpenMode::kRead);
  }
  if (!file.is_open()) {
    WriteErrorPage(extension, context, "Can't open '", name, "' (May have been already purged)");
    return;
  }
  const std::int64_t size = file.Size();
  StreamFilePart(extension, context, file, 0, size < 0 ? 0U : static_cast<std::uint64_t>(size),
                 name);
}

}  // namespace

void CopyRemainingLines(gateway::WebExtension& extension, gateway::RequestContext& context,
                        spool::TextFileReader& file) {
  std::string line;
  while (file.ReadLine(line)) extension.WriteText(context, line);
  file.Close();
}

void DeliverAnswer(gateway::WebExtension& extension, gateway::RequestContext& context,
                   const std::string& spool_result, bool phone_answer,
                   std::string_view own_wait_page) {
  if (!spool_result.empty() && spool_result.front() == '!') {
    WriteErrorPage(extension, context, "", std::string_view(spool_result).substr(1));
    return;
  }
  // The file as its reader gets it (CR LF back to LF), read once, whole,
  // into one buffer of its size, or kept from an earlier request while its
  // stamp shows the same file.
  spool::CachedText contents;
  std::string_view text = own_wait_page;
  if (text.empty()) {
    if (!spool::ReadTextFileCached(spool_result, contents, kMaxAnswerBytes)) {
      WriteErrorPage(extension, context, "Can't open ", spool_result,
                     " (BACK or REFRESH button is forbidden)");
      return;
    }
    text = contents.text();
  }
  const std::string_view first_line = spool::FirstLine(text);
  if (NamesAFile(first_line)) {
    DeliverDownload(extension, context, std::string(first_line));
    return;
  }
  if (phone_answer) {
    spool::TextFileReader rest = spool::TextFileReader::FromText(text.substr(first_line.size()));
    DeliverPhoneAnswer(extension, context, rest, std::string(first_line));
    return;
  }
  extension.WriteText(context, text);
}

}  // namespace commands
