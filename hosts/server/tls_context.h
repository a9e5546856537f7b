// The TLS context of the embedded server's https:// listeners.
#pragma once

#include <boost/asio/ssl/context.hpp>
#include <optional>
#include <string>

#include "hosts/host_options.h"

namespace hosts {

// TLS 1.2 and 1.3 only, the options' cipher list, the certificate chain and
// its key, checked as a pair. False with the TLS library's reason when they
// do not load or match; a key file readable by every user gets a warning.
[[nodiscard]] bool MakeTlsContext(const ServerOptions& options,
                                  std::optional<boost::asio::ssl::context>* context,
                                  std::string* error);

}  // namespace hosts
