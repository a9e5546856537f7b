// The request cycle: read the request text, trim it, dispatch it through the
// command map, turn a failed dispatch into an HTTP status, and send the status
// line, the header block and the body through the host's callbacks.
#include "gateway/web_extension.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

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

}  // namespace

WebExtension::WebExtension(char separator) : separator_(separator) {}

void WebExtension::MakeCurrent() { g_current_extension.store(this); }

WebExtension::~WebExtension() {
  WebExtension* self = this;
  g_current_extension.compare_exchange_strong(self, nullptr);
}

WebExtension* WebExtension::Current() { return g_current_extension.load(); }

std::uint32_t WebExtension::HandleRequest(EXTENSION_CONTROL_BLOCK* request) {
  RequestContext context(request);
  std::uint32_t result = HSE_STATUS_SUCCESS;
  request->dwHttpStatusCode = 0;

  std::vector<char> text;          // the request text: query string or body
  std::vector<char> command_copy;  // POST: the query string naming the command
  char* command_text = nullptr;
  bool dispatch = true;
  std::uint32_t received = 0;

  const char* method = request->lpszMethod != nullptr ? request->lpszMethod : "";
  const char* query = request->lpszQueryString != nullptr ? request->lpszQueryString : "";
  if (EqualsIgnoringAsciiCase(method, "GET")) {
    // Worked on in a copy of its own, so the host's string stays as it was.
    const std::size_t length = std::strlen(query);
    text.assign(query, query + length + 1);
    received = static_cast<std::uint32_t>(length);
  } else if (EqualsIgnoringAsciiCase(method, "POST")) {
    if (request->cbTotalBytes == HSE_BODY_LENGTH_UNKNOWN) {
      request->dwHttpStatusCode = 413;
      result = HSE_STATUS_ERROR;
      dispatch = false;
    } else if (request->cbTotalBytes < request->cbAvailable) {
      request->dwHttpStatusCode = 400;
      result = HSE_STATUS_ERROR;
      dispatch = false;
    } else {
      try {
        text.resize(std::size_t{request->cbTotalBytes} + 1);
      } catch (const std::bad_alloc&) {
        dispatch = false;
      }
      if (dispatch && !ReadBody(request, text)) dispatch = false;
      if (!dispatch) {
        result = HSE_STATUS_ERROR;
      } else {
        received = request->cbTotalBytes;
        command_copy.assign(query, query + std::strlen(query) + 1);
        command_text = command_copy.data();
      }
    }
  } else {
    result = HSE_STATUS_ERROR;
    dispatch = false;
  }

  // The detached response, given back to its stream however the send ends.
  const auto release = [&context](unsigned char* buffer) {
    if (context.stream() != nullptr) context.stream()->Release(buffer);
  };
  std::unique_ptr<unsigned char, decltype(release)> owned_response(nullptr, release);
  unsigned char* response = nullptr;
  std::uint32_t response_length = 0;
  if (dispatch) {
    // Trailing spaces, CR and LF are cut from the argument text; the first
    // byte stays. A raw-data command gets them back (RestoreTrimmedTail).
    char* request_text = text.data();
    std::uint32_t trimmed_at = received;
    while (trimmed_at > 1 && IsTrimmed(request_text[trimmed_at - 1])) --trimmed_at;
    std::string trimmed_tail(request_text + trimmed_at, received - trimmed_at);
    std::memset(request_text + trimmed_at, 0, received - trimmed_at);
    context.set_received_count(received);
    context.set_request_text(request_text, trimmed_at, std::move(trimmed_tail));

    if (!PrepareRequest(context)) {
      result = HSE_STATUS_ERROR;
    } else {
      request->dwHttpStatusCode = 200;
      int code = ResultCallFailed;
      try {
        code = CallCommand(context, request_text, command_text);
      } catch (...) {
        code = ResultCallFailed;
      }
      bool take_response = code == ResultOk;
      if (code != ResultOk) {
        if (request->dwHttpStatusCode == 200) {
          result = HSE_STATUS_ERROR;
          request->dwHttpStatusCode = StatusForResult(code);
        }
        // A file part belongs to the answer that failed, not to an error page.
        context.DropFileBody();
        try {
          take_response = OnCallError(context, code);
        } catch (...) {
          take_response = false;
        }
      }
      if (take_response && context.stream() != nullptr) {
        try {
          response_length = context.stream()->size();
          owned_response.reset(context.stream()->Detach());
          response = owned_response.get();
        } catch (...) {
          // No room for the terminator: the response is lost, the request failed.
          response = nullptr;
          response_length = 0;
          request->dwHttpStatusCode = 500;
          result = HSE_STATUS_ERROR;
        }
      }
    }
  }

  // Send: status line, header block, "\r\n", body. The callback takes
  // writable, zero-ended texts: the strings' own buffers serve as they are.
  std::string status_line = FormatStatusLine(request->dwHttpStatusCode);
  std::string header_block;
  if (response != nullptr) {
    const std::uint32_t mark =
        context.end_of_headers() < response_length ? context.end_of_headers() : response_length;
    header_block.assign(reinterpret_cast<const char*>(response), mark);
    context.set_end_of_headers(mark);
  }
  bool sent = false;
  if (request->ServerSupportFunction != nullptr) {
    sent = request->ServerSupportFunction(
               request->ConnID, HSE_REQ_SEND_RESPONSE_HEADER, status_line.data(), nullptr,
               response != nullptr ? reinterpret_cast<DWORD*>(header_block.data()) : nullptr) != 0;
  }
  // A client that reset the connection is no failure of this request.
  if (!sent && (request->ServerSupportFunction == nullptr ||
                !platform::IsConnectionReset(platform::LastErrorCode()))) {
    request->dwHttpStatusCode = 500;
    result = HSE_STATUS_ERROR;
  } else if (response != nullptr) {
    char end_of_headers[] = "\r\n";
    DWORD two = 2;
    const std::uint32_t mark = context.end_of_headers();
    const bool written = request->WriteClient != nullptr &&
                         request->WriteClient(request->ConnID, end_of_headers, &two, 0) != 0 &&
                         SendBody(context, response + mark, response_length - mark);
    if (!written) {
      request->dwHttpStatusCode = 500;
      result = HSE_STATUS_ERROR;
    }
  }

  if (result == HSE_STATUS_SUCCESS) request->dwHttpStatusCode = 200;
  return result;
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
  RequestContext::FileBody& part = context.file_body();
  bool complete = true;
  if (part.length > 0) {
    const auto piece_size =
        static_cast<std::uint32_t>(std::min<std::uint64_t>(part.length, kFileBodyPiece));
    const std::unique_ptr<unsigned char[]> piece(new (std::nothrow) unsigned char[piece_size]);
    std::uint64_t sent = 0;
    complete = piece != nullptr;
    while (complete && sent < part.length) {
      const auto want =
          static_cast<std::uint32_t>(std::min<std::uint64_t>(part.length - sent, piece_size));
      const std::size_t got =
          part.file.ReadAt(piece.get(), want, static_cast<std::int64_t>(part.offset + sent));
      // A file that shrank or failed to read cannot give what the length
      // header announced; a client that is gone takes nothing more.
      complete = got == want && WriteBody(context, piece.get(), want, 0);
      sent += want;
    }
  }
  context.DropFileBody();
  return complete;
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
  std::span<CommandEntry> map = GetCommandMap();
  char* text = request_text;

  // Named-command form: MfcISAPICommand=<name>[&<arguments>].
  if (char* equals = std::strchr(text, '='); equals != nullptr) {
    *equals = '\0';
    const bool named_form = EqualsIgnoringAsciiCase(text, "MfcISAPICommand");
    *equals = '=';
    if (named_form) {
      char* name = equals + 1;
      char* arguments = nullptr;
      char* separator = *name != '\0' ? std::strchr(name, separator_) : nullptr;
      if (separator != nullptr) {
        *separator = '\0';
        arguments = separator + 1;
      }
      const CommandLookUp found = LookUpCommand(map, name, nullptr);
      if (found.command != nullptr) {
        context.stream()->Prepare();
        return CallHandler(context, *found.command, found.parameters, arguments);
      }
      if (separator != nullptr) *separator = separator_;
    }
  }

  char* name = nullptr;
  char* arguments = nullptr;
  if (command_text != nullptr) {
    name = command_text;
    arguments = text;
  } else {
    char* split = std::strchr(text, separator_);
    char* question = std::strchr(text, '?');
    if (split == nullptr || (question != nullptr && question < split)) {
      split = question;
      if (split != nullptr && split[1] == '\0') {
        *split = '\0';
        split = nullptr;
      }
    }
    const char* first_equals = std::strchr(text, '=');
    if (*text != '\0' && (first_equals == nullptr || split == nullptr || first_equals > split)) {
      char saved = '\0';
      if (split != nullptr) {
        saved = *split;
        *split = '\0';
      }
      const CommandLookUp found = LookUpCommand(map, text, nullptr);
      if (found.command != nullptr) {
        context.stream()->Prepare();
        return CallHandler(context, *found.command, found.parameters,
                           split != nullptr ? split + 1 : nullptr);
      }
      if (split != nullptr) *split = saved;
    }
    // No command named: the whole text goes to the default command.
    arguments = text;
  }
  if (name != nullptr && *name == '\0') name = nullptr;
  // A posted body is empty by its length: binary data may start with a zero
  // byte. A query string is a text and ends at its first one.
  if (arguments != nullptr &&
      (command_text != nullptr ? context.received_count() == 0 : *arguments == '\0')) {
    arguments = nullptr;
  }

  const CommandLookUp found = LookUpCommand(map, name, nullptr);
  if (found.command == nullptr) return ResultUnknownCommand;
  context.stream()->Prepare();
  return CallHandler(context, *found.command, found.parameters, arguments);
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
    if (info != nullptr) {
      result = BindNamedArguments(types, argument_text, separator_, *info, &arguments);
    } else {
      std::uint32_t raw_count = 0;
      if (types[0] == ArgRaw && argument_text != nullptr) {
        // A raw command receives the text exactly as it arrived, and the
        // received count less what came before it.
        context.RestoreTrimmedTail();
        const char* start = context.request_text();
        const std::uint32_t received = context.received_count();
        if (start != nullptr && argument_text >= start && argument_text <= start + received) {
          raw_count = received - static_cast<std::uint32_t>(argument_text - start);
        }
      }
      result = BindArguments(types, argument_text, separator_, raw_count, &arguments);
    }
  } catch (const std::bad_alloc&) {
    return ResultCallFailed;
  }
  if (result != ResultOk) return result;
  entry.handler(*this, context, arguments);
  return ResultOk;
}

}  // namespace gateway
