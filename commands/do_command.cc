// DoCommand: the query command of browsers and Cisco IP phones. It records
// events and delivers granted files itself; other commands go to the back-end
// through the ticket exchange, and every poll of a request comes back here.
#include <optional>
#include <string>

#include "commands/answer_delivery.h"
#include "commands/events.h"
#include "commands/file_delivery.h"
#include "commands/portal_commands.h"
#include "commands/query_request.h"
#include "spool/install_root.h"
#include "spool/ticket_exchange.h"
#include "spool/trace.h"

namespace commands {

void DoCommand(gateway::WebExtension& extension, gateway::RequestContext& context,
               const char* logon, const char* command, const char* p1, const char* p2,
               const char* p3, const char* token) {
  // The install root is resolved once, here, and serves the whole request:
  // its sub-commands, the exchange and the counter.
  const spool::InstallRoot root = spool::ResolveRequestRoot();
  if (!root.failure.empty()) {
    DeliverAnswer(extension, context, root.failure, /*phone_answer=*/false);
    return;
  }
  const std::string_view command_text = command;

  if (command_text == "newevent") {
    RecordEvent(extension, context, root.spool, logon, p1, p2, p3);
    return;
  }
  if (const std::optional<FileSubCommand> sub_command = FileSubCommandNamed(command_text)) {
    DeliverFile(extension, context, *sub_command, root.spool, logon, p1, p2, p3);
    return;
  }

  const QueryServerTexts texts = ReadQueryServerTexts(context, command_text, p1, p3);
  const std::string_view token_text = token;
  // The ticket text the exchange sets, traced for a request with a token:
  // it starts as a marker that shows in the trace when the exchange never
  // set it.
  std::string ticket;
  if (!token_text.empty()) ticket = "jamais initialis\xE9";
  std::string* ticket_out = nullptr;
  std::string_view sent_p3 = p3;
  if (SendsClientAddress(command_text, p3)) {
    sent_p3 = texts.client_address;
  } else {
    ticket_out = &ticket;
    if (!token_text.empty()) {
      spool::TraceSink(token_text);
      sent_p3 = token_text;
    }
  }
  std::string own_wait_page;
  const std::string spool_result = spool::ExchangeTicket(
      root, texts.server, logon, command_text, p1, p2, sent_p3, ticket_out, &own_wait_page);
  if (ticket_out != nullptr && !token_text.empty()) spool::TraceSink(ticket);

  DeliverAnswer(extension, context, spool_result, spool::IsPhoneCommand(command_text),
                own_wait_page);
}

}  // namespace commands
