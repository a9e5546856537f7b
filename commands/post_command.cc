// PostCommand: an HTML form posted URL-encoded starts or polls a request for
// the back-end; the response body is the file the exchange names (the wait
// page or the answer), copied as text with no header.
#include <optional>
#include <string>

#include "commands/answer_delivery.h"
#include "commands/portal_commands.h"
#include "commands/posted_body.h"
#include "commands/scheme.h"
#include "spool/install_root.h"
#include "spool/posted_form.h"
#include "spool/text_file.h"

namespace commands {

void PostCommand(gateway::WebExtension& extension, gateway::RequestContext& context,
                 const char* body, std::uint32_t count) {
  // The install root is resolved once, here, for the exchange and its counter.
  const spool::InstallRoot root = spool::ResolveRequestRoot();
  // No usable root: a spool error, answered like the others, with nothing.
  if (!root.failure.empty()) return;
  const spool::ServerTexts server = ReadServerTexts(context);

  std::string result;
  std::string own_wait_page;
  {
    const std::optional<std::string> form = PostedBodyCopy(body, count);
    // A body that cannot be copied is refused: nothing is spooled and the
    // response body stays empty.
    if (!form) return;
    result = spool::ExchangePostedForm(root, server, *form, &own_wait_page);
  }
  // An error result names no file; it is never tried as a file name, so an
  // error text can never open some file of that name. Every spool error
  // therefore answers with an empty body.
  if (result.empty() || result.front() == '!') return;
  spool::TextFileReader file = own_wait_page.empty()
                                   ? spool::TextFileReader(result)
                                   : spool::TextFileReader::FromText(own_wait_page);
  if (!file.is_open()) return;
  CopyRemainingLines(extension, context, file);
}

}  // namespace commands
