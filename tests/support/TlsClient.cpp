#include "support/TlsClient.h"

#include <sys/socket.h>

namespace velmor::test {

namespace {
void setReceiveTimeout(int fd, std::chrono::milliseconds timeout) {
  const auto ms = std::max<long long>(1, timeout.count());
  timeval tv{static_cast<time_t>(ms / 1000), static_cast<suseconds_t>(ms % 1000 * 1000)};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
}
}  // namespace

TlsClient::TlsClient(std::uint16_t port, int sourceHost) : socket_(connectTo(port, sourceHost)) {
  context_.reset(SSL_CTX_new(TLS_client_method()));
  if (!socket_.valid() || !context_) return;
  setReceiveTimeout(socket_.fd(), std::chrono::seconds(5));
  ssl_.reset(SSL_new(context_.get()));
  SSL_set_fd(ssl_.get(), socket_.fd());
  if (SSL_connect(ssl_.get()) != 1) ssl_.reset();
}

std::string TlsClient::peerSubject() const {
  if (!ssl_) return {};
  X509* certificate = SSL_get1_peer_certificate(ssl_.get());
  if (certificate == nullptr) return {};
  char subject[256];
  X509_NAME_oneline(X509_get_subject_name(certificate), subject, sizeof(subject));
  X509_free(certificate);
  return subject;
}

bool TlsClient::send(const std::string& bytes) {
  return ssl_ && SSL_write(ssl_.get(), bytes.data(), static_cast<int>(bytes.size())) ==
                     static_cast<int>(bytes.size());
}

bool TlsClient::waitFor(std::uint8_t code, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (ssl_) {
    while (received_.size() >= 2) {
      const std::size_t size =
          static_cast<std::uint8_t>(received_[0]) | static_cast<std::uint8_t>(received_[1]) << 8;
      if (received_.size() < 2 + size) break;
      const bool found = size > 0 && static_cast<std::uint8_t>(received_[2]) == code;
      received_.erase(0, 2 + size);
      if (found) return true;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    setReceiveTimeout(socket_.fd(), left);
    char buffer[16384];
    const int n = SSL_read(ssl_.get(), buffer, sizeof(buffer));
    if (n <= 0) return false;
    received_.append(buffer, static_cast<std::size_t>(n));
  }
  return false;
}

}  // namespace velmor::test
