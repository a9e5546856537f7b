// The file sub-commands. Access is granted by the back-end through the user's
// rights list; names are compared in the escaped form clients send, and only
// a granted name is decoded and opened.
#include "commands/file_delivery.h"

#include <utility>
#include <vector>

#include "commands/base64_text.h"
#include "commands/file_names.h"
#include "commands/file_part.h"
#include "commands/responses.h"
#include "gateway/file_pieces.h"
#include "platform/file.h"
#include "spool/spool_paths.h"
#include "spool/text_file.h"
#include "text/ascii.h"

namespace commands {

namespace {

constexpr std::string_view kAccessDenied = "Access denied (no rights)";
constexpr std::string_view kGetfilePrefix = "||command=getfile||\n";
constexpr std::string_view kCannotOpenRemote = "Can't open remote file\n";

// The rights list path of a logon that names one file of its own and keeps
// the path within 255 characters; nullopt for any other logon.
std::optional<std::string> RightsListPathOf(std::string_view install_root, std::string_view logon) {
  if (!LogonNamesOneFile(logon)) return std::nullopt;
  return spool::RightsListPath(install_root, logon);
}

// The granted file, decoded and opened for untranslated reads. `decoded`
// receives the decoded name, which error pages show; a name that does not fit
// its 999 characters is not opened.
platform::File OpenGrantedFile(std::string_view escaped_name, std::string& decoded) {
  decoded = DecodeBracketEscapes(escaped_name);
  if (decoded.size() >= kDecodedNameCapacity) return platform::File();
  return platform::File::Open(NativeFileName(decoded).c_str(), platform::OpenMode::kRead);
}

// The granted file, opened; when it does not open, the error page naming it
// is the answer and the file returned is closed.
platform::File OpenGrantedFileOrReport(gateway::WebExtension& extension,
                                       gateway::RequestContext& context,
                                       std::string_view escaped_name) {
  std::string decoded;
  platform::File file = OpenGrantedFile(escaped_name, decoded);
  if (!file.is_open()) {
    WriteErrorPage(extension, context, "Can't open '", decoded, "' (May have been already purged)");
  }
  return file;
}

// Whole lines of text per piece, as many as keep a piece's text within the
// largest write: the part is never encoded whole.
constexpr std::uint32_t kGetfilePieceBytes = static_cast<std::uint32_t>(
    gateway::FilePieces::kMaxPiece / kGetfileLineChars * kGetfileLineBytes);
static_assert(kGetfilePieceBytes / kGetfileLineBytes * kGetfileLineChars <=
              gateway::FilePieces::kMaxPiece);

constexpr gateway::RequestContext::PieceEncoding kGetfileEncoding{kGetfilePieceBytes,
                                                                  &AppendGetfileText};

void GetFile(gateway::WebExtension& extension, gateway::RequestContext& context,
             std::string_view name, const FilePart& part) {
  // The length is the client's: refuse what would make the buffers huge
  // before anything is allocated. The body stays empty, as for a failed
  // allocation.
  if (part.length_text_negative || part.length > kMaxGetfileLength) return;
  std::string decoded;
  platform::File file = OpenGrantedFile(name, decoded);
  if (!file.is_open()) {
    WritePlainReply(extension, context, kCannotOpenRemote);
    return;
  }
  if (context.stream() == nullptr) return;
  WritePlainReply(extension, context, kGetfilePrefix);
  // The text follows when the response goes out, read and encoded piece by
  // piece; a part that runs past the end of the file is completed with zero
  // bytes.
  if (part.length > 0)
    context.set_file_body(std::move(file), part.offset, part.length, &kGetfileEncoding);
}

void GetFileLength(gateway::WebExtension& extension, gateway::RequestContext& context,
                   std::string_view name) {
  platform::File file = OpenGrantedFileOrReport(extension, context, name);
  if (!file.is_open()) return;
  const std::int64_t size = file.Size();
  file.Close();
  WritePlainReply(extension, context, std::to_string(size));
}

void GetFileData(gateway::WebExtension& extension, gateway::RequestContext& context,
                 std::string_view name, const std::string& rights_entry, FilePart part) {
  platform::File file = OpenGrantedFileOrReport(extension, context, name);
  if (!file.is_open()) return;
  const std::int64_t size = file.Size();
  part = ClampToFile(part, size < 0 ? 0U : static_cast<std::uint64_t>(size));
  // The content type follows the rights list's spelling of the name.
  StreamFilePart(extension, context, file, part.offset, part.length, rights_entry);
}

}  // namespace

std::optional<FileSubCommand> FileSubCommandNamed(std::string_view command) {
  if (command == "getfile") return FileSubCommand::kGetFile;
  if (command == "getfilelength") return FileSubCommand::kGetFileLength;
  if (command == "getfiledata") return FileSubCommand::kGetFileData;
  return std::nullopt;
}

bool GrantsName(std::string_view entry, std::string_view escaped_name) {
  // Escapes decode alike whatever their digits' case ([2f] and [2F]); the
  // name's own letters match as the file system tells names apart.
  const std::string granted = DecodeBracketEscapes(entry);
  const std::string requested = DecodeBracketEscapes(escaped_name);
  return platform::kFileNamesIgnoreCase ? text::EqualsIgnoringAsciiCase(granted, requested)
                                        : granted == requested;
}

std::optional<std::string> FindRightsEntry(const std::string& rights_path,
                                           std::string_view escaped_name) {
  if (escaped_name.empty()) return std::nullopt;
  spool::TextFileReader list(rights_path);
  if (!list.is_open()) return std::nullopt;
  std::string line;
  // A line longer than one read comes in several pieces; none of them is an
  // entry, or the tail of a long line would be granted on its own.
  bool in_long_line = false;
  while (list.ReadLine(line, kRightsLineChars)) {
    const bool whole = line.back() == '\n' || list.AtEnd();
    const bool skipped = in_long_line || !whole;
    in_long_line = !whole;
    if (skipped) continue;
    spool::CutLineEnd(line);
    if (GrantsName(line, escaped_name)) return line;
  }
  return std::nullopt;
}

void DeliverFile(gateway::WebExtension& extension, gateway::RequestContext& context,
                 FileSubCommand sub_command, std::string_view install_root, std::string_view logon,
                 std::string_view name, std::string_view offset_text,
                 std::string_view length_text) {
  const FilePart part = PartFromTexts(offset_text, length_text);
  const std::optional<std::string> rights_path = RightsListPathOf(install_root, logon);
  const std::optional<std::string> entry =
      rights_path ? FindRightsEntry(*rights_path, name) : std::nullopt;
  if (!entry) {
    WritePlainReply(extension, context, kAccessDenied);
    return;
  }
  switch (sub_command) {
    case FileSubCommand::kGetFile:
      GetFile(extension, context, name, part);
      return;
    case FileSubCommand::kGetFileLength:
      GetFileLength(extension, context, name);
      return;
    case FileSubCommand::kGetFileData:
      GetFileData(extension, context, name, *entry, part);
      return;
  }
}

}  // namespace commands
