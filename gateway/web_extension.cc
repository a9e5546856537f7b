// The request cycle: read the request text, trim it, dispatch it through the
// command map, turn a failed dispatch into an HTTP status, and send the status
// line, the header block and the body through the host's callbacks.
#include "gateway/web_extension.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "gateway/async_send.h"
#include "gateway/file_pieces.h"
#include "gateway/status_line.h"
#include "platform/last_error.h"
#include "platform/string_resources.h"
#include "text/ascii.h"

namespace gateway {

using text::EqualsIgnoringAsciiCase;

namespace {

std::atomic<WebExtension*> g_current_extension{nullptr};

// Texts of the error page, by status, looked up among the module's string
// resources. This module carries none of them, so a failed dispatch is
// answered by the status line alone.
constexpr unsigned kErrorTitleText = 62161;
constexpr unsigned kErrorOtherText = 62162;

struct ErrorText {
  unsigned status;
  unsigned text;
};
constexpr ErrorText kErrorTexts[] = {
    {400, 62163}, {401, 62164}, {403, 62165}, {404, 62166}, {500, 62167}, {501, 62168},
};

std::uint32_t StatusForResult(int result_code) {
  switch (result_code) {
    case ResultBadArgCount:
    case ResultBadArgument:
      return 400;
    case ResultUnknownCommand:
      return 501;
    case ResultNoStream:
      return 204;
    default:
      return 500;
  }
}

// A resource text with its one conversion filled by `value`. Resource texts
// are not format strings this code controls, so only the first "%s" or "%d"
// is replaced and every other byte is copied; at most `limit` characters.
std::string FillResourceText(const char* text, const std::string& value, std::size_t limit) {
  std::string filled;
  bool replaced = false;
  for (const char* c = text; *c != '\0'; ++c) {
    if (!replaced && c[0] == '%' && (c[1] == 's' || c[1] == 'd')) {
      filled += value;
      replaced = true;
      ++c;
    } else {
      filled += *c;
    }
  }
  if (filled.size() > limit) filled.resize(limit);
  return filled;
}

bool IsTrimmed(char c) { return c == ' ' || c == '\n' || c == '\r'; }

// The length of `text` once the trailing spaces, CR and LF of its `received`
// bytes are left out. The first byte always remains.
std::uint32_t TrimmedLength(const char* text, std::uint32_t received) {
  std::uint32_t length = received;
  while (length > 1 && IsTrimmed(text[length - 1])) --length;
  return length;
}

// What a request is dispatched with: the request text (the query string's
// copy for GET, the body for POST), zero-ended, and for POST the query
// string that names the command.
struct RequestText {
  std::vector<char> text;
  std::vector<char> command_copy;
  std::uint32_t received = 0;

  char* command_text() { return command_copy.empty() ? nullptr : command_copy.data(); }
};

// Reads a POST body whole into `body` (declared length + 1 bytes). False when
// the host fails a read or the client stops before the declared length: a
// body that never fully arrived is no request.
bool ReadBody(EXTENSION_CONTROL_BLOCK* request, std::vector<char>& body) {
  const std::uint32_t total = request->cbTotalBytes;
  const std::uint32_t available = request->cbAvailable;
  if (available > 0) {
    if (request->lpbData == nullptr) return false;
    std::memcpy(body.data(), request->lpbData, available);
  }
  std::uint32_t stored = available;
  while (stored < total) {
    if (request->ReadClient == nullptr) return false;
    DWORD size = total - stored;
    const DWORD asked = size;
    if (!request->ReadClient(request->ConnID, body.data() + stored, &size)) return false;
    if (size == 0 || size > asked) return false;
    stored += size;
  }
  body[total] = '\0';
  return true;
}

// A POST's body as its request text, its query string as the command. False,
// with the status the host reports set where there is one (413, 400), when
// the request is not dispatched.
bool ReadPostText(EXTENSION_CONTROL_BLOCK* request, const char* query, RequestText& out) {
  if (request->cbTotalBytes == HSE_BODY_LENGTH_UNKNOWN) {
    request->dwHttpStatusCode = 413;
    return false;
  }
  if (request->cbTotalBytes < request->cbAvailable) {
    request->dwHttpStatusCode = 400;
    return false;
  }
  try {
    out.text.resize(std::size_t{request->cbTotalBytes} + 1);
  } catch (const std::bad_alloc&) {
    return false;
  }
  if (!ReadBody(request, out.text)) return false;
  out.received = request->cbTotalBytes;
  out.command_copy.assign(query, query + std::strlen(query) + 1);
  return true;
}

// The request text by method; false when the request is not dispatched (any
// method but GET and POST, or a POST body that cannot be read).
bool ReadRequestText(EXTENSION_CONTROL_BLOCK* request, RequestText& out) {
  const char* method = request->lpszMethod != nullptr ? request->lpszMethod : "";
  const char* query = request->lpszQueryString != nullptr ? request->lpszQueryString : "";
  if (EqualsIgnoringAsciiCase(method, "GET")) {
    // Worked on in a copy of its own, so the host's string stays as it was.
    const std::size_t length = std::strlen(query);
    out.text.assign(query, query + length + 1);
    out.received = static_cast<std::uint32_t>(length);
    return true;
  }
  if (EqualsIgnoringAsciiCase(method, "POST")) return ReadPostText(request, query, out);
  return false;
}

// The response taken from the stream once the handler is done: the detached
// buffer, given back to its stream however the send ends, and its length.
class TakenResponse {
 public:
  explicit TakenResponse(RequestContext& context) : bytes_(nullptr, Releaser{&context}) {}

  // Detaches the stream's content. False when it cannot (no room for the
  // terminator): the response is lost.
  bool Take(HtmlStream& stream) {
    try {
      length_ = stream.size();
      bytes_.reset(stream.Detach());
      return true;
    } catch (...) {
      bytes_.reset();
      length_ = 0;
      return false;
    }
  }

  const unsigned char* bytes() const { return bytes_.get(); }
  std::uint32_t length() const { return length_; }
  // Hands the bytes over to a send that gives them back to the stream itself.
  unsigned char* Release() { return bytes_.release(); }

 private:
  struct Releaser {
    RequestContext* context;
    void operator()(unsigned char* buffer) const {
      if (context->stream() != nullptr) context->stream()->Release(buffer);
    }
  };
  std::unique_ptr<unsigned char, Releaser> bytes_;
  std::uint32_t length_ = 0;
};

// The command call CallCommand settled on: the entry found and where its
// argument text starts (null: none).
struct CommandCall {
  CommandLookUp found;
  char* arguments = nullptr;
};

// The named-command form, MfcISAPICommand=<name>[&<arguments>], when the
// text has it and names a command of the map.
std::optional<CommandCall> NamedFormCall(std::span<CommandEntry> map, char* text,
                                         std::string_view parsed, char separator) {
  const std::size_t equals = parsed.find('=');
  if (equals == std::string_view::npos ||
      !EqualsIgnoringAsciiCase(parsed.substr(0, equals), "MfcISAPICommand")) {
    return std::nullopt;
  }
  const std::string_view rest = parsed.substr(equals + 1);
  const std::size_t split = rest.find(separator);
  const CommandLookUp found = LookUpCommand(map, rest.substr(0, split));
  if (found.command == nullptr) return std::nullopt;
  char* arguments = split == std::string_view::npos ? nullptr : text + equals + 1 + split + 1;
  return CommandCall{found, arguments};
}

CommandCall PostedCommandCall(const RequestContext& context, std::span<CommandEntry> map,
                              char* request_text, const char* command_text) {
  // The query string names the command (none: the default command), the
  // whole body is the argument text. A posted body is empty by its length:
  // binary data may start with a zero byte.
  CommandCall call;
  call.found = *command_text != '\0' ? LookUpCommand(map, std::string_view(command_text))
                                     : LookUpCommand(map, nullptr, nullptr);
  call.arguments = context.received_count() != 0 ? request_text : nullptr;
  return call;
}

CommandCall QueryCommandCall(RequestContext& context, std::span<CommandEntry> map, char separator,
                             char* request_text, std::string_view parsed) {
  // <name>, then the first separator or "?" (whichever comes first), then
  // the arguments. A "?" that ends the text is removed.
  std::size_t split = parsed.find(separator);
  const std::size_t question = parsed.find('?');
  if (split == std::string_view::npos || question < split) {
    split = question;
    if (split != std::string_view::npos && split + 1 == parsed.size()) {
      request_text[split] = '\0';
      if (const std::optional<std::uint32_t> offset = context.OffsetInRequestText(request_text)) {
        context.EndRequestTextAt(*offset + static_cast<std::uint32_t>(split));
      }
      parsed = parsed.substr(0, split);
      split = std::string_view::npos;
    }
  }
  // A text whose first "=" comes before the split holds arguments only.
  const std::size_t first_equals = parsed.find('=');
  if (!parsed.empty() && (first_equals == std::string_view::npos ||
                          split == std::string_view::npos || first_equals > split)) {
    const CommandLookUp found = LookUpCommand(map, parsed.substr(0, split));
    if (found.command != nullptr) {
      return {found, split != std::string_view::npos ? request_text + split + 1 : nullptr};
    }
  }
  // No command named: the whole text goes to the default command. A query
  // string is a text and ends at its first zero byte.
  return {LookUpCommand(map, nullptr, nullptr), parsed.empty() ? nullptr : request_text};
}

int BindRawArgument(const RequestContext& context, const unsigned char* types, char separator,
                    char* argument_text, ArgumentList* arguments) {
  // A raw command receives the text exactly as it arrived: the received
  // count less what came before it, and besides the count without what the
  // trim leaves out.
  std::uint32_t raw_count = 0;
  std::uint32_t trimmed_count = 0;
  if (const std::optional<std::uint32_t> offset = context.OffsetInRequestText(argument_text)) {
    raw_count = context.received_count() - *offset;
    trimmed_count = context.trimmed_count() > *offset ? context.trimmed_count() - *offset : 0;
  }
  const int result = BindArguments(types, argument_text, separator, raw_count, arguments);
  if (result == ResultOk && !arguments->empty()) arguments->front().trimmed_count = trimmed_count;
  return result;
}

}  // namespace

WebExtension::WebExtension(char separator) : separator_(separator) {}

void WebExtension::MakeCurrent() { g_current_extension.store(this); }

WebExtension::~WebExtension() {
  WebExtension* self = this;
  g_current_extension.compare_exchange_strong(self, nullptr);
}

WebExtension* WebExtension::Current() { return g_current_extension.load(); }

namespace {

// Calls the command for the request text; an error raised anywhere inside
// (dispatch, argument conversion, handler) counts as a failed call.
int CallCommandCatching(WebExtension& extension, RequestContext& context, RequestText& text) {
  try {
    return extension.CallCommand(context, text.text.data(), text.command_text());
  } catch (...) {
    return ResultCallFailed;
  }
}

// Turns a failed call into its status (unless the handler set another) and
// the error page. True when the error page is the response.
bool AnswerFailedCall(WebExtension& extension, RequestContext& context, int code, bool& succeeded) {
  EXTENSION_CONTROL_BLOCK* request = context.platform_request();
  if (request->dwHttpStatusCode == 200) {
    succeeded = false;
    request->dwHttpStatusCode = StatusForResult(code);
  }
  // A file part belongs to the answer that failed, not to an error page.
  context.DropFileBody();
  try {
    return extension.OnCallError(context, code);
  } catch (...) {
    return false;
  }
}

// Dispatches the request text and takes the response from the stream.
// False when the request failed.
bool Dispatch(WebExtension& extension, RequestContext& context, RequestText& text,
              TakenResponse& response) {
  // Trailing spaces, CR and LF are not part of the argument text; the text
  // keeps them for a raw-data command.
  context.set_request_text(text.text.data(), text.received,
                           TrimmedLength(text.text.data(), text.received));
  if (!extension.PrepareRequest(context)) return false;
  EXTENSION_CONTROL_BLOCK* request = context.platform_request();
  request->dwHttpStatusCode = 200;
  bool succeeded = true;
  const int code = CallCommandCatching(extension, context, text);
  const bool take_response =
      code == ResultOk || AnswerFailedCall(extension, context, code, succeeded);
  if (take_response && context.stream() != nullptr && !response.Take(*context.stream())) {
    request->dwHttpStatusCode = 500;
    return false;
  }
  return succeeded;
}

// How a response went out.
enum class Sent {
  kFailed,   // a send failed (status 500)
  kWhole,    // everything was written
  kPending,  // writes that complete later carry on; they end the request
};

// Whether the rest of the response is worth writes that complete later: a
// file part, or a body larger than one piece. Small answers keep the writes
// that wait, without a call more.
bool WorthWritingLater(const RequestContext& context, std::uint32_t body_count) {
  return context.has_file_body() || body_count > FilePieces::kMaxPiece;
}

// Hands the rest of the response to writes that complete later when the
// host offers them. Nothing when it does not: the caller writes and waits.
std::optional<Sent> SendLater(RequestContext& context, TakenResponse& response) {
  EXTENSION_CONTROL_BLOCK* request = context.platform_request();
  std::unique_ptr<AsyncSend> send = AsyncSend::Offer(request);
  if (send == nullptr) return std::nullopt;
  // Recorded before the first write: afterwards the send owns the request.
  request->dwHttpStatusCode = 200;
  const std::uint32_t mark = context.end_of_headers();
  const std::uint32_t length = response.length();
  send->Take(context.TakeStream(), response.Release(), mark, length,
             std::move(context.file_body()));
  context.DropFileBody();
  if (AsyncSend::Start(std::move(send))) return Sent::kPending;
  request->dwHttpStatusCode = 500;
  return Sent::kFailed;
}

// Sends the status line, the header block, "\r\n" and the body (the last
// three only with a response). With `may_write_later`, a large rest goes to
// writes that complete later where the host has them. kFailed, with the
// status 500, when a send fails; a client that reset the connection is no
// failure of this request.
Sent SendResponse(WebExtension& extension, RequestContext& context, TakenResponse& response,
                  bool may_write_later) {
  EXTENSION_CONTROL_BLOCK* request = context.platform_request();
  const unsigned char* bytes = response.bytes();
  // The callback takes writable, zero-ended texts: the strings' own buffers
  // serve as they are.
  std::string status_line = FormatStatusLine(request->dwHttpStatusCode);
  std::string header_block;
  if (bytes != nullptr) {
    const std::uint32_t mark = std::min(context.end_of_headers(), response.length());
    header_block.assign(reinterpret_cast<const char*>(bytes), mark);
    context.set_end_of_headers(mark);
  }
  bool sent = false;
  if (request->ServerSupportFunction != nullptr) {
    sent = request->ServerSupportFunction(
               request->ConnID, HSE_REQ_SEND_RESPONSE_HEADER, status_line.data(), nullptr,
               bytes != nullptr ? reinterpret_cast<DWORD*>(header_block.data()) : nullptr) != 0;
  }
  if (!sent && (request->ServerSupportFunction == nullptr ||
                !platform::IsConnectionReset(platform::LastErrorCode()))) {
    request->dwHttpStatusCode = 500;
    return Sent::kFailed;
  }
  if (bytes == nullptr) return Sent::kWhole;
  const std::uint32_t mark = context.end_of_headers();
  if (may_write_later && WorthWritingLater(context, response.length() - mark)) {
    if (const std::optional<Sent> later = SendLater(context, response)) return *later;
  }
  char end_of_headers[] = "\r\n";
  DWORD two = 2;
  const bool written = request->WriteClient != nullptr &&
                       request->WriteClient(request->ConnID, end_of_headers, &two, 0) != 0 &&
                       extension.SendBody(context, bytes + mark, response.length() - mark);
  if (!written) request->dwHttpStatusCode = 500;
  return written ? Sent::kWhole : Sent::kFailed;
}

}  // namespace

// The cycle: read the request text, dispatch it, send what came of it.
std::uint32_t WebExtension::HandleRequest(EXTENSION_CONTROL_BLOCK* request) {
  RequestContext context(request);
  request->dwHttpStatusCode = 0;
  RequestText text;
  TakenResponse response(context);
  bool succeeded = ReadRequestText(request, text) && Dispatch(*this, context, text, response);
  // Only a request that succeeded is ended by writes that complete later:
  // they end it as a success when all was written.
  switch (SendResponse(*this, context, response, succeeded)) {
    case Sent::kPending:
      // The send owns the request now; the control block is not touched.
      return HSE_STATUS_PENDING;
    case Sent::kFailed:
      succeeded = false;
      break;
    case Sent::kWhole:
      break;
  }
  if (!succeeded) return HSE_STATUS_ERROR;
  request->dwHttpStatusCode = 200;
  return HSE_STATUS_SUCCESS;
}

bool WebExtension::PrepareRequest(RequestContext&) { return true; }

bool WebExtension::WriteBody(RequestContext& context, const void* bytes, std::uint32_t count,
                             std::uint32_t reserved) {
  EXTENSION_CONTROL_BLOCK* request = context.platform_request();
  if (request->WriteClient == nullptr) return false;
  DWORD size = count;
  // The callback takes a non-const buffer, as the published interface has it.
  return request->WriteClient(request->ConnID, const_cast<void*>(bytes), &size, reserved) != 0;
}

bool WebExtension::SendBody(RequestContext& context, const unsigned char* bytes,
                            std::uint32_t count) {
  // A download's body is all file part: no empty write before it.
  if (count > 0 || !context.has_file_body()) {
    if (!WriteBody(context, bytes, count, 0)) {
      context.DropFileBody();
      return false;
    }
  }
  return SendFileBody(context);
}

bool WebExtension::SendFileBody(RequestContext& context) {
  if (!context.has_file_body()) return true;
  FilePieces pieces(std::move(context.file_body()));
  context.DropFileBody();
  std::span<const unsigned char> piece;
  for (;;) {
    switch (pieces.Next(piece)) {
      case FilePieces::Step::kDone:
        return true;
      case FilePieces::Step::kFailed:
        return false;
      case FilePieces::Step::kPiece:
        break;
    }
    // A client that is gone takes nothing more.
    if (!WriteBody(context, piece.data(), static_cast<std::uint32_t>(piece.size()), 0)) {
      return false;
    }
  }
}

bool WebExtension::OnCallError(RequestContext& context, int /*result_code*/) {
  if (context.stream() == nullptr) return false;
  EXTENSION_CONTROL_BLOCK* request = context.platform_request();
  const std::uint32_t status = request->dwHttpStatusCode;
  unsigned text_id = kErrorOtherText;
  std::string value = std::to_string(status);
  for (const ErrorText& entry : kErrorTexts) {
    if (entry.status == status) text_id = entry.text;
  }
  if (status == 400) {
    const char* query = request->lpszQueryString;
    value = query != nullptr && *query != '\0'
                ? query
                : (request->lpszPathInfo != nullptr ? request->lpszPathInfo : "");
  } else if (status == 501) {
    value = request->lpszQueryString != nullptr ? request->lpszQueryString : "";
  } else if (text_id != kErrorOtherText) {
    value.clear();
  }
  const char* status_text = platform::LoadStringResource(text_id);
  if (status_text == nullptr) return false;

  HtmlStream& stream = *context.stream();
  stream.Reset();
  StartPage(context);
  if (const char* title = platform::LoadStringResource(kErrorTitleText)) {
    stream.WriteText(FillResourceText(title, std::to_string(status), 511));
  }
  stream.WriteText(value.empty() ? std::string(status_text)
                                 : FillResourceText(status_text, value, 511));
  EndPage(context);
  return true;
}

std::unique_ptr<HtmlStream> WebExtension::CreateStream() {
  return std::unique_ptr<HtmlStream>(new (std::nothrow) HtmlStream(kStreamGrowthStep));
}

void WebExtension::AddHeaderLine(RequestContext& context, std::string_view header_text) {
  HtmlStream* stream = context.stream();
  if (stream == nullptr) return;
  stream->WriteText(header_text);
  context.set_end_of_headers(stream->size());
}

void WebExtension::WriteText(RequestContext& context, std::string_view text) {
  if (HtmlStream* stream = context.stream()) stream->WriteText(text);
}

void WebExtension::StartPage(RequestContext& context) {
  AddHeaderLine(context, "Content-Type: text/html\r\n");
}

void WebExtension::WritePageTitle(RequestContext& context) {
  HtmlStream* stream = context.stream();
  if (stream == nullptr) return;
  stream->WriteText("<html><head><title>");
  if (const char* title = GetTitle()) stream->WriteText(title);
  stream->WriteText("</title></head><body>");
}

void WebExtension::EndPage(RequestContext& context) { WriteText(context, "</body></html>"); }

const char* WebExtension::GetTitle() const { return nullptr; }

bool WebExtension::Terminate(std::uint32_t) { return true; }

bool WebExtension::GetVersion(HSE_VERSION_INFO* version) {
  if (version == nullptr) return false;
  // The interface version the extension is written to, 4.0, whatever the
  // platform's header announces (Windows' own says 6.0).
  constexpr std::uint32_t kInterfaceMajor = 4;
  constexpr std::uint32_t kInterfaceMinor = 0;
  version->dwExtensionVersion = (kInterfaceMajor << 16) | kInterfaceMinor;
  version->lpszExtensionDesc[0] = '\0';
  return true;
}

std::span<CommandEntry> WebExtension::GetCommandMap() { return {}; }

int WebExtension::CallCommand(RequestContext& context, char* request_text, char* command_text) {
  context.set_stream(CreateStream());
  if (context.stream() == nullptr) return ResultNoStream;
  if (request_text == nullptr) return ResultUnknownCommand;
  const std::span<CommandEntry> map = GetCommandMap();
  // The text as the parse reads it: up to the trimmed end and its first zero
  // byte. Nothing is written into it but the removal of a last "?".
  const std::string_view parsed = context.TrimmedFrom(request_text);
  std::optional<CommandCall> call = NamedFormCall(map, request_text, parsed, separator_);
  if (!call) {
    call = command_text != nullptr
               ? PostedCommandCall(context, map, request_text, command_text)
               : QueryCommandCall(context, map, separator_, request_text, parsed);
  }
  if (call->found.command == nullptr) return ResultUnknownCommand;
  context.stream()->Prepare();
  return CallHandler(context, *call->found.command, call->found.parameters, call->arguments);
}

int WebExtension::CallHandler(RequestContext& context, CommandEntry& entry,
                              CommandEntry* parameters, char* argument_text) {
  const auto* types =
      reinterpret_cast<const unsigned char*>(entry.arg_types != nullptr ? entry.arg_types : "");
  const ParamInfo* info = nullptr;
  if (parameters != nullptr) {
    const int result = CachedParamInfo(*parameters, types, separator_, &info);
    if (result != ResultOk) return result;
  }

  ArgumentList arguments;
  int result = ResultOk;
  try {
    if (info == nullptr && types[0] == ArgRaw) {
      result = BindRawArgument(context, types, separator_, argument_text, &arguments);
    } else {
      // The parsed binders read zero-ended texts: the text ends where it
      // was trimmed.
      context.EndRequestTextAt(context.trimmed_count());
      result = info != nullptr
                   ? BindNamedArguments(types, argument_text, separator_, *info, &arguments)
                   : BindArguments(types, argument_text, separator_, 0, &arguments);
    }
  } catch (const std::bad_alloc&) {
    return ResultCallFailed;
  }
  if (result != ResultOk) return result;
  entry.handler(*this, context, arguments);
  return ResultOk;
}

}  // namespace gateway
