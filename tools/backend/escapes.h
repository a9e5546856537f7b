// The escapes by which the stand-in puts untrusted text into its pages: the
// back-end kit's (dbk_escape), as C++ strings.
#pragma once

#include <string>
#include <string_view>

namespace tools {

// &, <, >, " and ' become entities; every other byte stays.
std::string HtmlEscape(std::string_view text);
// A query value the module's decoder gives back exactly.
std::string UrlEncode(std::string_view text);
// A file name as clients send it in P1 and rights lists hold it.
std::string BracketEscape(std::string_view name);

// True when `text` holds a control byte (below 0x20, or DEL): such text
// cannot be one line of a spool file or a value shown as it is.
bool HasControlBytes(std::string_view text);

}  // namespace tools
