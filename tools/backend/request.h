// What the module hands the back-end for one ticket, as the stand-in's
// answers use it: the request file's fields (read by the back-end kit) and
// the server file's.
#pragma once

#include <string>
#include <string_view>

namespace tools {

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

// "scheme://name:port" + script name: the URL of the module as the
// browser that sent the request reached it.
inline std::string ModuleUrl(const ServerInfo& server, std::string_view script_name) {
  std::string url = server.scheme;
  url += "://";
  url += server.name;
  url += ':';
  url += server.port;
  url += script_name;
  return url;
}

}  // namespace tools
