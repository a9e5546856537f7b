// Answer delivery shared by DoCommand and DoKommand: error results, the
// download answer, the phone answer and the ordinary answer.
#include "commands/answer_delivery.h"

#include <string>
#include <utility>

#include "commands/file_names.h"
#include "commands/phone_answer.h"
#include "commands/responses.h"
#include "platform/file.h"

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
                   std::string_view spool_result, bool phone_answer,
                   std::string_view own_wait_page) {
  if (!spool_result.empty() && spool_result.front() == '!') {
    WriteErrorPage(extension, context, "", spool_result.substr(1));
    return;
  }
  spool::TextFileReader answer = own_wait_page.empty()
                                     ? spool::TextFileReader(std::string(spool_result))
                                     : spool::TextFileReader::FromText(own_wait_page);
  if (!answer.is_open()) {
    WriteErrorPage(extension, context, "Can't open ", spool_result,
                   " (BACK or REFRESH button is forbidden)");
    return;
  }
  std::string first_line;
  (void)answer.ReadLine(first_line);
  if (NamesAFile(first_line)) {
    answer.Close();
    DeliverDownload(extension, context, std::move(first_line));
    return;
  }
  if (phone_answer) {
    DeliverPhoneAnswer(extension, context, answer, std::move(first_line));
    return;
  }
  extension.WriteText(context, first_line);
  CopyRemainingLines(extension, context, answer);
}

}  // namespace commands
