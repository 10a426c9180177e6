#include "support/Sockets.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <utility>

namespace velmor::test {

namespace {
std::atomic<int> nextSource{0};

sockaddr_in loopback(std::uint16_t port, std::uint32_t host = 1) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl((127u << 24) | host);
  return address;
}

// Spreads automatic source addresses over 127.1.0.0 upwards, away from the small numbers
// that tests choose by hand; the pid keeps parallel test processes apart.
std::uint32_t automaticSource() {
  std::uint32_t n = static_cast<std::uint32_t>(nextSource.fetch_add(1));
  std::uint32_t base = (1u << 16) + (static_cast<std::uint32_t>(getpid()) % 200u) * 50000u;
  return (base + n) % ((1u << 24) - 2) + 1;
}
}  // namespace

std::uint16_t freePort() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address = loopback(0);
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
  socklen_t length = sizeof(address);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  ::close(fd);
  return ntohs(address.sin_port);
}

Socket::~Socket() {
  close();
}
Socket::Socket(Socket&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
Socket& Socket::operator=(Socket&& other) noexcept {
  if (this != &other) {
    close();
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

void Socket::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool Socket::sendAll(const std::string& bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

std::string Socket::receiveSome(std::chrono::milliseconds timeout, std::size_t max) {
  pollfd p{fd_, POLLIN, 0};
  if (::poll(&p, 1, static_cast<int>(timeout.count())) <= 0) return {};
  std::string bytes(max, '\0');
  ssize_t n = ::recv(fd_, bytes.data(), max, 0);
  bytes.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
  return bytes;
}

std::string Socket::receiveExactly(std::size_t n, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  std::string bytes;
  while (bytes.size() < n) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    std::string part = receiveSome(left, n - bytes.size());
    if (part.empty()) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 0) > 0) break;  // readable but empty: closed
      continue;
    }
    bytes += part;
  }
  return bytes;
}

bool Socket::waitClosed(std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  char buffer[4096];
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
    ssize_t n = ::recv(fd_, buffer, sizeof(buffer), 0);
    if (n <= 0) return true;
  }
}

// Close-on-exec, so that a process the test starts later (chromedriver and its browser, a
// tool) does not hold the connection open after the test closes it.
Socket connectTo(std::uint16_t port, int sourceHost, int receiveBuffer) {
  Socket socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  int one = 1;
  ::setsockopt(socket.fd(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
  if (receiveBuffer > 0)
    ::setsockopt(socket.fd(), SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof(receiveBuffer));
  sockaddr_in source =
      loopback(0, sourceHost > 0 ? static_cast<std::uint32_t>(sourceHost) : automaticSource());
  ::bind(socket.fd(), reinterpret_cast<sockaddr*>(&source), sizeof(source));
  sockaddr_in target = loopback(port);
  if (::connect(socket.fd(), reinterpret_cast<sockaddr*>(&target), sizeof(target)) != 0) {
    socket.close();
  }
  return socket;
}

Socket listenOn(std::uint16_t port) {
  Socket socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address = loopback(port);
  if (::bind(socket.fd(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
      ::listen(socket.fd(), 16) != 0) {
    socket.close();
  }
  return socket;
}

}  // namespace velmor::test
