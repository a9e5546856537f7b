// The scheme rule shared by the query commands: the reload URL of a wait page
// uses "http" only on the ports the portal is served in clear on.
#pragma once

#include <string_view>

namespace commands {

// "http" when `server_port` is exactly "80", "8000" or "8080" (compared as
// text, so "080" and "" do not count), otherwise "https".
std::string_view SchemeForPort(std::string_view server_port);

}  // namespace commands
