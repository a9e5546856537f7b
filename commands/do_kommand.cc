// DoKommand: the five-parameter query command. It serves the file
// sub-commands and the exchange as DoCommand does, but has no token, records
// no events and gives no phone answer; its wait pages reload DoCommand.
#include <optional>
#include <string>

#include "commands/answer_delivery.h"
#include "commands/file_delivery.h"
#include "commands/portal_commands.h"
#include "commands/query_request.h"
#include "spool/install_root.h"
#include "spool/ticket_exchange.h"

namespace commands {

void DoKommand(gateway::WebExtension& extension, gateway::RequestContext& context,
               const char* logon, const char* command, const char* p1, const char* p2,
               const char* p3) {
  // The install root is resolved once, here, and serves the whole request.
  const spool::InstallRoot root = spool::ResolveRequestRoot();
  if (!root.failure.empty()) {
    DeliverAnswer(extension, context, root.failure, /*phone_answer=*/false);
    return;
  }
  const std::string_view command_text = command;
  const QueryServerTexts texts = ReadQueryServerTexts(context, command_text, p1, p3);

  if (const std::optional<FileSubCommand> sub_command = FileSubCommandNamed(command_text)) {
    DeliverFile(extension, context, *sub_command, root.spool, logon, p1, p2, p3);
    return;
  }

  const std::string_view sent_p3 =
      SendsClientAddress(command_text, p3) ? std::string_view(texts.client_address) : p3;
  std::string own_wait_page;
  const std::string spool_result = spool::ExchangeTicket(root, texts.server, logon, command_text,
                                                         p1, p2, sent_p3, nullptr, &own_wait_page);
  // DoKommand gives no phone answer: its phone commands get the ordinary one.
  DeliverAnswer(extension, context, spool_result, /*phone_answer=*/false, own_wait_page);
}

}  // namespace commands
