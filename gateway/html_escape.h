// Escaping of text shown inside an HTML page.
#pragma once

#include <string>
#include <string_view>

namespace gateway {

// `text` with &, <, > and the double quote written as entities, so request
// text shown on a page cannot open an element or end an attribute.
std::string EscapeHtml(std::string_view text);

}  // namespace gateway
