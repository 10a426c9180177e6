#include "client/Connection.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace velmor::client {

Connection::~Connection() {
  if (fd_ >= 0) ::close(fd_);
}

int Connection::remainingMs() const {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline_ - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

bool Connection::open(const std::string& host, std::uint16_t port) {
  endpoint_ = host + ":" + std::to_string(port);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  ::inet_pton(AF_INET, host.c_str(), &address.sin_addr);

  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) {
    error_ = std::string("cannot create a socket: ") + std::strerror(errno);
    return false;
  }
  // Non-blocking only while connecting, so that the connect wait obeys the deadline.
  const int flags = ::fcntl(fd_, F_GETFL);
  ::fcntl(fd_, F_SETFL, flags | O_NONBLOCK);
  int rc = ::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof(address));
  if (rc != 0 && errno == EINPROGRESS) {
    pollfd p{fd_, POLLOUT, 0};
    rc = ::poll(&p, 1, remainingMs());
    if (rc == 0) {
      error_ = "no connection to " + endpoint_ + " within " + std::to_string(timeoutMs_) + " ms";
      return false;
    }
    int socketError = 0;
    socklen_t length = sizeof(socketError);
    ::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &socketError, &length);
    errno = socketError;
    rc = socketError == 0 ? 0 : -1;
  }
  if (rc != 0) {
    error_ = "cannot connect to " + endpoint_ + ": " + std::strerror(errno);
    return false;
  }
  ::fcntl(fd_, F_SETFL, flags);
  return true;
}

bool Connection::send(const std::string& bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error_ = "sending to " + endpoint_ + " failed: " + std::strerror(errno);
      return false;
    }
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

long Connection::receive(int flags) {
  char buffer[8192];
  ssize_t n = 0;
  do {
    n = ::recv(fd_, buffer, sizeof(buffer), flags);
  } while (n < 0 && errno == EINTR);
  if (n == 0) {
    error_ = "the server at " + endpoint_ + " closed the connection";
    return 0;
  }
  if (n < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK) return -2;
    error_ = "connection to " + endpoint_ + " lost: " + std::strerror(errno);
    return -1;
  }
  decoder_.feed(buffer, static_cast<std::size_t>(n));
  return n;
}

bool Connection::readMore() {
  pollfd p{fd_, POLLIN, 0};
  int rc = 0;
  do {
    rc = ::poll(&p, 1, remainingMs());
  } while (rc < 0 && errno == EINTR);
  if (rc == 0) {
    error_ = "no answer from " + endpoint_ + " within " + std::to_string(timeoutMs_) + " ms";
    return false;
  }
  return receive(0) > 0;
}

bool Connection::decodeFrames() {
  std::string_view payload;
  while (decoder_.nextFrame(payload)) {
    std::vector<client::ServerMessage> messages;
    std::string decodeError;
    const bool decoded = client::decodeFrame(payload, options_, messages, decodeError);
    pending_.insert(pending_.end(), messages.begin(), messages.end());
    if (!decoded) {
      error_ = "unreadable reply from " + endpoint_ + ": " + decodeError;
      return false;
    }
  }
  return true;
}

bool Connection::next(client::ServerMessage& message) {
  while (pending_.empty()) {
    if (!decodeFrames()) return false;
    if (pending_.empty() && !readMore()) return false;
  }
  return take(message);
}

bool Connection::pump() {
  for (;;) {
    const long n = receive(MSG_DONTWAIT);
    if (n == -2) break;  // nothing more has arrived
    if (n <= 0) {
      decodeFrames();
      return false;
    }
  }
  while (!decodeFrames()) ++undecodable_;  // the frame is skipped; the next ones go on
  return true;
}

bool Connection::take(client::ServerMessage& message) {
  if (pending_.empty()) return false;
  message = std::move(pending_.front());
  pending_.pop_front();
  return true;
}

}  // namespace velmor::client
