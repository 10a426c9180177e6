#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace velmor::test {

// Blocking loopback sockets for tests. Every connection binds its own source address
// in 127.0.0.0/8 first, so that the server's per-address connection limit sees
// distinct clients (sourceHost 1 is 127.0.0.1, 2 is 127.0.0.2, ...; 0 picks a fresh one).

// A port that was free a moment ago on 127.0.0.1.
std::uint16_t freePort();

// An owned socket descriptor, closed on destruction.
class Socket {
 public:
  Socket() = default;
  explicit Socket(int fd) : fd_(fd) {}
  ~Socket();
  Socket(Socket&& other) noexcept;
  Socket& operator=(Socket&& other) noexcept;
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;

  int fd() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  void close();

  bool sendAll(const std::string& bytes);
  // Reads whatever arrives within the timeout (at most `max` bytes); empty on timeout.
  std::string receiveSome(std::chrono::milliseconds timeout, std::size_t max = 65536);
  // Reads exactly n bytes or fails (returns what came) after the timeout.
  std::string receiveExactly(std::size_t n, std::chrono::milliseconds timeout);
  // True once the peer closed the connection (end of stream or reset) within the timeout;
  // bytes that arrive first are discarded.
  bool waitClosed(std::chrono::milliseconds timeout);

 private:
  int fd_ = -1;
};

// Connects to 127.0.0.1:port from 127.0.0.<sourceHost> (0: a new address each call).
// A receiveBuffer (bytes, 0: the system's) is set before connecting, so that the window the
// server sees stays that small: what it writes waits in its own queue, as for a slow link.
Socket connectTo(std::uint16_t port, int sourceHost = 0, int receiveBuffer = 0);

// A listening socket on 127.0.0.1:port (the "port in use" tests).
Socket listenOn(std::uint16_t port);

}  // namespace velmor::test
