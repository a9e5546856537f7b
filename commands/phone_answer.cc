// Phone answers: headers first (content type, expiry, the optional reload
// header from the file's first line), then the rest of the file as the body.
#include "commands/phone_answer.h"

#include "commands/answer_delivery.h"

namespace commands {

void DeliverPhoneAnswer(gateway::WebExtension& extension, gateway::RequestContext& context,
                        spool::TextFileReader& file, std::string first_line) {
  extension.AddHeaderLine(context, "Content-Type: text/xml; charset=ISO-8859-1\r\n");
  extension.AddHeaderLine(context, "Expires: -1\r\n");
  if (!first_line.empty() && first_line.front() == 'R') {
    // Sent exactly as read. A line cut off before its end (1023 characters,
    // or the last line of the file) is ended here, so that it cannot join the
    // header block's end and turn the body into headers.
    if (first_line.back() != '\n') first_line += "\r\n";
    extension.AddHeaderLine(context, first_line);
  } else {
    extension.WriteText(context, first_line);
  }
  CopyRemainingLines(extension, context, file);
}

}  // namespace commands
