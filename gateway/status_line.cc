// The status table, searched in order, and the status line formed from it.
#include "gateway/status_line.h"

namespace gateway {

namespace {

struct Status {
  unsigned code;
  const char* text;
};

constexpr Status kStatusTable[] = {
    {200, "OK"},
    {201, "Created"},
    {202, "Accepted"},
    {204, "No Content"},
    {302, "Moved Temporarily"},
    {301, "Moved Permanently"},
    {304, "Not Modified"},
    {400, "Bad Request"},
    {401, "Unauthorized"},
    {403, "Forbidden"},
    {404, "Not Found"},
    {413, "Request entity was too large"},
    {500, "Internal Server Error"},
    {501, "Not Implemented"},
    {502, "Bad Gateway"},
    {503, "Service Unavailable"},
};

const Status* FindStatus(unsigned code) {
  for (const Status& status : kStatusTable) {
    if (status.code == code) return &status;
  }
  return nullptr;
}

}  // namespace

std::string FormatStatusLine(unsigned code) {
  const Status* status = FindStatus(code);
  if (status == nullptr) status = FindStatus(200);
  return std::to_string(status->code) + " " + status->text;
}

}  // namespace gateway
