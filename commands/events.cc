// Event recording. The event file is a spool text file the back-end reads;
// each event is one line, written in one piece so that concurrent appends of
// the same user keep their lines whole.
#include "commands/events.h"

#include <optional>
#include <string>

#include "commands/file_names.h"
#include "commands/responses.h"
#include "platform/file.h"
#include "spool/spool_paths.h"
#include "spool/text_file.h"

namespace commands {

namespace {

bool HoldsLineEnd(std::string_view field) {
  return field.find_first_of("\r\n") != std::string_view::npos;
}

}  // namespace

void RecordEvent(gateway::WebExtension& extension, gateway::RequestContext& context,
                 std::string_view install_root, std::string_view logon, std::string_view p1,
                 std::string_view p2, std::string_view p3) {
  const std::optional<std::string> path =
      LogonNamesOneFile(logon) ? spool::EventFilePath(install_root, logon) : std::nullopt;
  if (!path) {
    WriteErrorPage(extension, context, "Invalid logon");
    return;
  }
  if (HoldsLineEnd(p1) || HoldsLineEnd(p2) || HoldsLineEnd(p3)) {
    WriteErrorPage(extension, context, "Invalid parameter (line end)");
    return;
  }
  spool::TextFileWriter events(*path, platform::OpenMode::kAppend);
  if (!events.is_open()) {
    WriteErrorPage(extension, context, "Can't open '", *path,
                   "' (Directory 'events' may not exist)");
    return;
  }
  std::string line;
  line.reserve(p1.size() + p2.size() + p3.size() + 3);
  line.append(p1).append(";").append(p2).append(";").append(p3).append("\n");
  // "Done" tells the client its event is recorded: a line that could not be
  // written (full disk, I/O error) is reported instead of acknowledged.
  const bool written = events.Write(line);
  const bool closed = events.Close();
  if (!written || !closed) {
    WriteErrorPage(extension, context, "Can't write '", *path, "'");
    return;
  }
  WritePlainReply(extension, context, "Done");
}

}  // namespace commands
