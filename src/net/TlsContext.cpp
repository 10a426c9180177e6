#include "net/TlsContext.h"

#include <openssl/err.h>

namespace velmor {

namespace {
std::string failure(const std::string& what) {
  char reason[256] = "unknown reason";
  if (const unsigned long code = ERR_peek_last_error(); code != 0)
    ERR_error_string_n(code, reason, sizeof(reason));
  ERR_clear_error();
  return what + ": " + reason;
}
}  // namespace

bool TlsContext::load(const std::string& certificateFile, const std::string& keyFile,
                      std::string& why) {
  std::unique_ptr<SSL_CTX, Free> context(SSL_CTX_new(TLS_server_method()));
  if (!context) {
    why = failure("TLS context");
    return false;
  }
  SSL_CTX_set_min_proto_version(context.get(), TLS1_2_VERSION);
  // A connection's buffers go back while it is idle: thousands of quiet players each
  // holding two 16 KB record buffers would cost more than the rest of the server.
  SSL_CTX_set_mode(context.get(), SSL_MODE_RELEASE_BUFFERS);
  SSL_CTX_set_options(context.get(), SSL_OP_NO_RENEGOTIATION);
  if (SSL_CTX_use_certificate_chain_file(context.get(), certificateFile.c_str()) != 1) {
    why = failure("the certificate " + certificateFile);
    return false;
  }
  if (SSL_CTX_use_PrivateKey_file(context.get(), keyFile.c_str(), SSL_FILETYPE_PEM) != 1) {
    why = failure("the key " + keyFile);
    return false;
  }
  if (SSL_CTX_check_private_key(context.get()) != 1) {
    why = failure("the key " + keyFile + " does not match the certificate");
    return false;
  }
  context_ = std::move(context);
  return true;
}

}  // namespace velmor
