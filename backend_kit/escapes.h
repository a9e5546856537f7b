// The three ways the back-end puts untrusted text into what it writes: HTML
// (and XML) text, URL query values, and the bracket escapes by which file
// names travel in P1 and stand in rights lists.
#pragma once

#include <string>
#include <string_view>

namespace backend_kit {

// &, <, >, " and ' become entities; every other byte stays (the pages are
// ISO-8859-1, so bytes above 127 are letters, not UTF-8 pieces).
std::string HtmlEscape(std::string_view text);

// Percent-encodes every byte except letters, digits and - . _ ~ / [ ] so the
// module's decoder gives back exactly `text` (it would read "+" as a space).
std::string UrlEncode(std::string_view text);

// Writes a file name as clients send it in P1: every byte that is not a
// letter, a digit or one of - . _ / ~ , : becomes "[" two hex digits "]"
// (capital digits). Backslashes, "[", "&", "%", spaces, line ends and
// accented letters are thus all escaped, and the result can be a rights-list
// line and a query value without further thought.
std::string BracketEscape(std::string_view name);

// The reverse: "[" two hex digits "]" becomes that byte; any other "[" stays.
std::string BracketDecode(std::string_view text);

// True when `text` holds a control byte (below 0x20, or DEL): such text
// cannot be one line of a spool file or a value shown as it is.
bool HasControlBytes(std::string_view text);

}  // namespace backend_kit
