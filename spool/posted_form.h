// Posted forms: an HTML form posted URL-encoded is decoded here into the
// fields a query request carries (logon, command, p1, p2, p3, with further
// numbered fields gathered into p3) and then spooled like a query request.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "spool/ticket_exchange.h"

namespace spool {

// A name or value being read keeps at most this many characters; the rest of
// an over-long one is dropped while parsing goes on.
inline constexpr std::size_t kFormFieldMaxLength = 250;
// An extra numbered field joins p3 only while p3 plus its value stays below
// this length (the "|" is not counted, so p3 reaches at most 8192).
inline constexpr std::size_t kPostedP3Limit = 8192;

// The fields a posted form sets; each is empty until the body sets it.
struct PostedForm {
  std::string logon;
  std::string command;
  std::string p1;
  std::string p2;
  std::string p3;

  bool operator==(const PostedForm&) const = default;
};

// Decodes a URL-encoded form body byte by byte. Escapes are decoded before
// the fields are parsed, so an escaped "&" or "=" separates; "+" stays "+".
// Malformed escapes never fail: their stray bytes are dropped. Fields named
// exactly "logon", "command", "p1", "p2" or "p3" are kept (a later one wins,
// and "p3" replaces whatever was gathered); a field named "p" plus a number
// above 3 ("p4", "p10", "p04", "p4x") is appended to p3 as "|" and its value.
// Every other field is dropped. Field texts end at a decoded zero byte, as
// the texts of the spool files do.
PostedForm DecodePostedForm(std::string_view body);

// Decodes `body` and spools the request it names, as ExchangeTicket does for
// a query request: a form without p1 starts a request and gets the ticket's
// wait page, a form with p1 polls that ticket. The wait page is always the
// HTML one, and a wait file that cannot be written still gives its path (the
// caller then finds nothing to stream). Returns the spool result: a path to
// stream, or "!" and an error text; a wait page that belongs to this request
// alone comes back in `own_wait_page`, as from ExchangeTicket.
std::string ExchangePostedForm(const InstallRoot& root, const ServerTexts& server,
                               std::string_view body, std::string* own_wait_page = nullptr);

}  // namespace spool
