// What the module hands the back-end for one ticket: the request file (script
// name, logon, command, ticket, p2, p3) and the server file (scheme, server
// name, server port), parsed from their text without trusting it.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace backend_kit {

struct Request {
  std::string script_name;
  std::string logon;
  std::string command;
  std::string ticket;
  std::string p2;
  std::string p3;
};

struct ServerInfo {
  std::string scheme;
  std::string name;
  std::string port;
};

// Why a request file could not be used, in words for the error page.
struct Malformed {
  std::string reason;
};

// Largest request file accepted. The module writes at most five fields of
// 250 characters and a p3 of 8192, so anything near this size is not its work.
inline constexpr std::size_t kMaxRequestFileBytes = 64 * 1024;

// True once `text` (LF line ends) holds the six line ends of a request file:
// before that the module may still be writing it.
bool RequestFileComplete(std::string_view text);

// Parses a request file's text (LF line ends). A p3 that itself holds line
// ends (a posted field may) keeps them: every line after the fifth is p3.
std::variant<Request, Malformed> ParseRequestFile(std::string_view text);

// Parses a server file's text; nullopt unless it has three non-empty lines.
std::optional<ServerInfo> ParseServerFile(std::string_view text);

// "scheme://name:port" + script name: the URL of the module as the
// browser that sent the request reached it.
std::string ModuleUrl(const ServerInfo& server, std::string_view script_name);

}  // namespace backend_kit
