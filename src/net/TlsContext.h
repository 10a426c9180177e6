#pragma once

#include <openssl/ssl.h>

#include <memory>
#include <string>

namespace velmor {

// The server's TLS configuration: the certificate chain and key from two PEM files, TLS 1.2
// and later. Owned by the server; main loop only. A session takes its own reference to the
// context it began with (SSL_new), so a reload changes what new connections see and never
// what open ones hold.
class TlsContext {
 public:
  TlsContext() = default;

  // Reads both files and checks that the key matches the certificate. On failure the
  // context in use stays, and the text says why (the file and OpenSSL's reason).
  bool load(const std::string& certificateFile, const std::string& keyFile, std::string& why);
  bool loaded() const { return context_ != nullptr; }
  SSL_CTX* get() const { return context_.get(); }

 private:
  struct Free {
    void operator()(SSL_CTX* context) const { SSL_CTX_free(context); }
  };
  std::unique_ptr<SSL_CTX, Free> context_;
};

}  // namespace velmor
