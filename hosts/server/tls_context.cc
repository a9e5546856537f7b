// The TLS context of the embedded server's https:// listeners.
#include "hosts/server/tls_context.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/stat.h>

#include <cstdio>

namespace hosts {

namespace asio = boost::asio;
using boost::system::error_code;

namespace {

std::string OpenSslError() {
  const unsigned long code = ERR_get_error();
  if (code == 0) return "unknown TLS library error";
  char text[256];
  ERR_error_string_n(code, text, sizeof text);
  ERR_clear_error();
  return text;
}

}  // namespace

bool MakeTlsContext(const ServerOptions& options, std::optional<asio::ssl::context>* context,
                    std::string* error) {
  if (options.tls_cert.empty() || options.tls_key.empty()) {
    *error = "an https:// listener needs --tls-cert and --tls-key";
    return false;
  }
  context->emplace(asio::ssl::context::tls_server);
  asio::ssl::context& tls = **context;
  tls.set_options(asio::ssl::context::default_workarounds | asio::ssl::context::no_sslv2 |
                  asio::ssl::context::no_sslv3 | asio::ssl::context::no_tlsv1 |
                  asio::ssl::context::no_tlsv1_1 | asio::ssl::context::single_dh_use);
  SSL_CTX* native = tls.native_handle();
  SSL_CTX_set_min_proto_version(native, TLS1_2_VERSION);
  if (SSL_CTX_set_cipher_list(native, options.tls_ciphers.c_str()) != 1) {
    *error = "--tls-ciphers \"" + options.tls_ciphers + "\": " + OpenSslError();
    return false;
  }
  error_code ec;
  tls.use_certificate_chain_file(options.tls_cert, ec);
  if (ec) {
    *error = "--tls-cert " + options.tls_cert + ": " + ec.message();
    return false;
  }
  tls.use_private_key_file(options.tls_key, asio::ssl::context::pem, ec);
  if (ec) {
    *error = "--tls-key " + options.tls_key + ": " + ec.message();
    return false;
  }
  if (SSL_CTX_check_private_key(native) != 1) {
    *error = "--tls-key " + options.tls_key + " does not match --tls-cert " + options.tls_cert +
             ": " + OpenSslError();
    return false;
  }
  struct stat key_status {};
  if (stat(options.tls_key.c_str(), &key_status) == 0 && (key_status.st_mode & S_IROTH) != 0) {
    std::fprintf(stderr, "%s: warning: the TLS key %s is readable by every user\n",
                 "dudarovuvadu-serve", options.tls_key.c_str());
  }
  return true;
}

}  // namespace hosts
