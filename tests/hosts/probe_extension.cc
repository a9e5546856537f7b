// A small extension module for testing hosts: the query string picks what it
// does, so a test can see through HTTP exactly what the host hands an
// extension (control block, server variables, body) and how the host turns
// what an extension sends into a response.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "dudarovuvadu/httpext.h"

#define PROBE_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

bool Send(EXTENSION_CONTROL_BLOCK* ecb, const char* status, const char* headers) {
  return ecb->ServerSupportFunction(ecb->ConnID, HSE_REQ_SEND_RESPONSE_HEADER,
                                    const_cast<char*>(status), nullptr,
                                    reinterpret_cast<LPDWORD>(const_cast<char*>(headers))) != 0;
}

bool Write(EXTENSION_CONTROL_BLOCK* ecb, const std::string& bytes) {
  DWORD size = static_cast<DWORD>(bytes.size());
  return ecb->WriteClient(ecb->ConnID, const_cast<char*>(bytes.data()), &size, 0) != 0;
}

std::string Variable(EXTENSION_CONTROL_BLOCK* ecb, const char* name) {
  char buffer[1024];
  DWORD size = sizeof buffer;
  if (!ecb->GetServerVariable(ecb->ConnID, const_cast<char*>(name), buffer, &size)) {
    return "<unknown>";
  }
  return std::string(buffer, size - 1);
}

// The whole body: the available part, then ReadClient until it reports 0.
std::string ReadBody(EXTENSION_CONTROL_BLOCK* ecb, unsigned* calls) {
  std::string body(reinterpret_cast<const char*>(ecb->lpbData), ecb->cbAvailable);
  char chunk[7000];
  for (;;) {
    DWORD size = sizeof chunk;
    ++*calls;
    if (!ecb->ReadClient(ecb->ConnID, chunk, &size) || size == 0) break;
    body.append(chunk, size);
  }
  return body;
}

std::string After(const std::string& query, const std::string& prefix) {
  return query.compare(0, prefix.size(), prefix) == 0 ? query.substr(prefix.size()) : "";
}

// The probe's side of a test's gate at `path`: "<path>.in" says the request
// is inside the extension; "<path>.go", made by the test, lets it go on.
// The test sets the pace; the wait is bounded only so that a test that
// failed before opening the gate cannot hold a worker for ever.
void SayEntered(const std::string& path) {
  std::ofstream(path + ".in.part") << "in";
  std::error_code ignored;
  std::filesystem::rename(path + ".in.part", path + ".in", ignored);  // appears when complete
}

bool WaitForGo(const std::string& path) {
  for (int tries = 0; tries < 120000; ++tries) {  // about two minutes
    if (std::filesystem::exists(path + ".go")) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return false;
}

// async=N: N bytes (byte i is i % 251) after their Content-Length, written
// 64 KiB at a time with asynchronous writes when the host offers them; the
// send owns its piece until the host says it has left.
struct AsyncSend {
  std::size_t total = 0;
  std::size_t sent = 0;
  std::string piece;

  bool WriteNext(EXTENSION_CONTROL_BLOCK* ecb) {
    piece.resize(std::min<std::size_t>(65536, total - sent));
    for (std::size_t i = 0; i < piece.size(); ++i) piece[i] = static_cast<char>((sent + i) % 251);
    DWORD size = static_cast<DWORD>(piece.size());
    return ecb->WriteClient(ecb->ConnID, piece.data(), &size, HSE_IO_ASYNC) != 0;
  }
  static void WINAPI Completed(EXTENSION_CONTROL_BLOCK* ecb, void* context, DWORD bytes,
                               DWORD error) {
    auto* send = static_cast<AsyncSend*>(context);
    send->sent += bytes;
    if (error == 0 && send->sent < send->total && send->WriteNext(ecb)) return;
    DWORD status = error == 0 && send->sent == send->total ? HSE_STATUS_SUCCESS : HSE_STATUS_ERROR;
    delete send;
    ecb->ServerSupportFunction(ecb->ConnID, HSE_REQ_DONE_WITH_SESSION, &status, nullptr, nullptr);
  }
};

DWORD SendAsync(EXTENSION_CONTROL_BLOCK* ecb, std::size_t total) {
  const std::string headers = "Content-Length: " + std::to_string(total) + "\r\n";
  if (!Send(ecb, "200 OK", headers.c_str()) || !Write(ecb, "\r\n")) return HSE_STATUS_ERROR;
  auto* send = new AsyncSend{total, 0, {}};
  if (total == 0 ||
      !ecb->ServerSupportFunction(ecb->ConnID, HSE_REQ_IO_COMPLETION,
                                  reinterpret_cast<LPVOID>(&AsyncSend::Completed), nullptr,
                                  reinterpret_cast<LPDWORD>(send)) ||
      !send->WriteNext(ecb)) {
    delete send;
    return total == 0 ? HSE_STATUS_SUCCESS : HSE_STATUS_ERROR;
  }
  return HSE_STATUS_PENDING;
}

}  // namespace

PROBE_EXPORT BOOL GetExtensionVersion(HSE_VERSION_INFO* info) {
  info->dwExtensionVersion = (1u << 16) | 2u;
  std::snprintf(info->lpszExtensionDesc, sizeof info->lpszExtensionDesc, "%s", "Probe Extension");
  return TRUE;
}

PROBE_EXPORT BOOL TerminateExtension(DWORD) { return TRUE; }

PROBE_EXPORT DWORD HttpExtensionProc(EXTENSION_CONTROL_BLOCK* ecb) {
  const std::string query = ecb->lpszQueryString;
  if (query == "echo") {
    // What the control block and the server variables say, one per line.
    std::string text = "method=" + std::string(ecb->lpszMethod) + "\n";
    text += "path=" + std::string(ecb->lpszPathInfo) + "\n";
    text += "content_type=" + std::string(ecb->lpszContentType) + "\n";
    text += "total=" + std::to_string(ecb->cbTotalBytes) + "\n";
    text += "available=" + std::to_string(ecb->cbAvailable) + "\n";
    for (const char* name :
         {"REMOTE_ADDR", "REMOTE_PORT", "SERVER_NAME", "SERVER_PORT", "SCRIPT_NAME", "PATH_INFO",
          "QUERY_STRING", "REQUEST_METHOD", "CONTENT_LENGTH", "CONTENT_TYPE", "SERVER_PROTOCOL",
          "HTTP_X_PROBE", "HTTP_HOST", "HTTPS", "SERVER_PORT_SECURE", "NO_SUCH_VARIABLE"}) {
      text += std::string(name) + "=" + Variable(ecb, name) + "\n";
    }
    Send(ecb, "200 OK", "Content-Type: text/plain\r\n");
    Write(ecb, "\r\n" + text);
    return HSE_STATUS_SUCCESS;
  }
  if (query.rfind("query", 0) == 0) {
    // The raw query string as received, and proof that it may be written in
    // place (the portal trims it there).
    std::string text = ecb->lpszQueryString;
    ecb->lpszQueryString[0] = 'Q';
    Send(ecb, "200 OK", "");
    Write(ecb, "\r\n" + text);
    return HSE_STATUS_SUCCESS;
  }
  if (query == "body") {
    unsigned calls = 0;
    const std::string body = ReadBody(ecb, &calls);
    const std::string headers = "X-Available: " + std::to_string(ecb->cbAvailable) +
                                "\r\nX-Total: " + std::to_string(ecb->cbTotalBytes) +
                                "\r\nX-Read-Calls: " + std::to_string(calls) + "\r\n";
    Send(ecb, "200 OK", headers.c_str());
    Write(ecb, "\r\n" + body);
    return HSE_STATUS_SUCCESS;
  }
  if (const std::string ms = After(query, "sleep="); !ms.empty()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(std::stoi(ms)));
    Send(ecb, "200 OK", "");
    Write(ecb, "\r\nslept " + ms);
    return HSE_STATUS_SUCCESS;
  }
  if (const std::string path = After(query, "hold="); !path.empty()) {
    // hold=PATH: says it is inside, then waits for the test to let it go.
    SayEntered(path);
    const bool released = WaitForGo(path);
    Send(ecb, released ? "200 OK" : "500 Never released", "");
    Write(ecb, released ? "\r\nreleased" : "\r\nnever released");
    return HSE_STATUS_SUCCESS;
  }
  if (const std::string ms = After(query, "pause="); !ms.empty()) {
    // pause=MS: waits, writes 300 KiB (past what is held back), waits
    // again, then writes "end".
    const auto pause = std::chrono::milliseconds(std::stoi(ms));
    std::this_thread::sleep_for(pause);
    Send(ecb, "200 OK", "");
    Write(ecb, "\r\n" + std::string(300 * 1024, 'p'));
    std::this_thread::sleep_for(pause);
    Write(ecb, "end");
    return HSE_STATUS_SUCCESS;
  }
  if (const std::string name = After(query, "var="); !name.empty()) {
    // var=NAME,CAPACITY: one GetServerVariable with that buffer capacity.
    const std::size_t comma = name.find(',');
    const std::string variable = name.substr(0, comma);
    DWORD size = static_cast<DWORD>(std::stoul(name.substr(comma + 1)));
    std::string buffer(size + 1, '#');
    errno = 0;
    const BOOL ok = ecb->GetServerVariable(ecb->ConnID, const_cast<char*>(variable.c_str()),
                                           size == 0 ? nullptr : buffer.data(), &size);
    std::string text =
        ok ? "ok size=" + std::to_string(size) + " value=" + buffer.c_str()
           : "fail size=" + std::to_string(size) + " enobufs=" + std::to_string(errno == ENOBUFS);
    Send(ecb, "200 OK", "");
    Write(ecb, "\r\n" + text);
    return HSE_STATUS_SUCCESS;
  }
  if (const std::string spec = After(query, "stream="); !spec.empty()) {
    // stream=N[,nolength][,whole]: N bytes (byte i is i % 251) after a header
    // with or without their Content-Length, written 64 KiB at a time or in
    // one write.
    const std::size_t total = std::stoul(spec);
    const bool length = spec.find(",nolength") == std::string::npos;
    const bool whole = spec.find(",whole") != std::string::npos;
    const std::string headers = length ? "Content-Length: " + std::to_string(total) + "\r\n" : "";
    if (!Send(ecb, "200 OK", headers.c_str()) || !Write(ecb, "\r\n")) return HSE_STATUS_ERROR;
    const std::size_t piece_size = whole ? total : 65536;
    std::string piece;
    for (std::size_t offset = 0; offset < total; offset += piece_size) {
      piece.resize(std::min(piece_size, total - offset));
      for (std::size_t i = 0; i < piece.size(); ++i) {
        piece[i] = static_cast<char>((offset + i) % 251);
      }
      if (!Write(ecb, piece)) return HSE_STATUS_ERROR;
    }
    return HSE_STATUS_SUCCESS;
  }
  if (const std::string spec = After(query, "async="); !spec.empty()) {
    // async=N[,PATH]: with PATH, says when the writes are under way and the
    // worker is about to be handed back.
    const std::size_t comma = spec.find(',');
    const DWORD status = SendAsync(ecb, std::stoul(spec.substr(0, comma)));
    if (comma != std::string::npos && status == HSE_STATUS_PENDING) {
      SayEntered(spec.substr(comma + 1));
    }
    return status;
  }
  if (query == "length-right") {
    Send(ecb, "200 OK", "Content-Length: 5\r\nX-Probe: right\r\n");
    Write(ecb, "\r\nhello");
    return HSE_STATUS_SUCCESS;
  }
  if (query == "length-wrong") {
    Send(ecb, "200 OK", "Content-length: 99\r\nX-Probe: wrong\r\n");
    Write(ecb, "\r\nhello");
    return HSE_STATUS_SUCCESS;
  }
  if (query == "status-only") {
    Send(ecb, "413 Request entity was too large", nullptr);
    return HSE_STATUS_ERROR;
  }
  if (query == "silent-failure") return HSE_STATUS_ERROR;
  if (query == "header-injection") {
    // A value carrying a bare CR must not become a second header on the wire.
    Send(ecb, "200 OK", "X-Good: 1\r\nX-Bad: a\rSet-Cookie: x=1\r\n");
    Write(ecb, "\r\nbody");
    return HSE_STATUS_SUCCESS;
  }
  Send(ecb, "404 Not Found", "");
  Write(ecb, "\r\nunknown probe");
  return HSE_STATUS_SUCCESS;
}
