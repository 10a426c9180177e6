#pragma once

#include <openssl/ssl.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "support/Sockets.h"

namespace velmor::test {

// A native-protocol client inside TLS for tests: a loopback connection from its own
// 127.0.0.0/8 source address (as connectTo), a TLS handshake that takes any certificate, and
// frames told apart by the one-byte code of their first message. Blocking; every wait is
// bounded. Owns its socket and OpenSSL objects. Test thread only.
class TlsClient {
 public:
  explicit TlsClient(std::uint16_t port, int sourceHost = 0);

  bool connected() const { return ssl_ != nullptr; }
  // The subject of the server's certificate, e.g. "/CN=first"; empty when not connected.
  std::string peerSubject() const;
  bool send(const std::string& bytes);
  // Skips frames until one that opens with `code`; false on a close or after the timeout.
  bool waitFor(std::uint8_t code, std::chrono::milliseconds timeout = std::chrono::seconds(5));

 private:
  Socket socket_;
  std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> context_{nullptr, SSL_CTX_free};
  std::unique_ptr<SSL, decltype(&SSL_free)> ssl_{nullptr, SSL_free};
  std::string received_;  // bytes not yet cut into frames
};

}  // namespace velmor::test
