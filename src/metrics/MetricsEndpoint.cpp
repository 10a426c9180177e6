#include "metrics/MetricsEndpoint.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <iterator>
#include <string_view>

namespace velmor {

namespace {

constexpr std::string_view kPath = "/metrics";

MHD_Result answer(MHD_Connection* connection, unsigned status, std::string_view body,
                  const char* type, const char* allow = nullptr) {
  MHD_Response* response = MHD_create_response_from_buffer(
      body.size(), const_cast<char*>(body.data()), MHD_RESPMEM_MUST_COPY);
  if (response == nullptr) return MHD_NO;  // out of memory: the connection is closed
  MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, type);
  if (allow != nullptr) MHD_add_response_header(response, MHD_HTTP_HEADER_ALLOW, allow);
  const MHD_Result queued = MHD_queue_response(connection, status, response);
  MHD_destroy_response(response);
  return queued;
}

// A request's state between the calls of onRequest (its address is the mark).
char headersSeen;

bool announcesBody(MHD_Connection* connection) {
  const char* length =
      MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_LENGTH);
  return (length != nullptr && std::string_view(length) != "0") ||
         MHD_lookup_connection_value(connection, MHD_HEADER_KIND,
                                     MHD_HTTP_HEADER_TRANSFER_ENCODING) != nullptr;
}

// Called once the request's headers are in, then for each piece of a body, then once the
// request is whole. A GET or HEAD is answered when whole, so that the connection stays
// open for the next scrape; one that announces a body is refused at once as malformed.
// Any other request is answered at once too: its body is not read, and libmicrohttpd
// closes the connection after the answer.
MHD_Result onRequest(void* render, MHD_Connection* connection, const char* url, const char* method,
                     const char*, const char*, std::size_t* uploadSize, void** requestState) {
  constexpr const char* kPlain = "text/plain; charset=utf-8";
  const std::string_view verb(method);
  const bool reading = verb == MHD_HTTP_METHOD_GET || verb == MHD_HTTP_METHOD_HEAD;
  if (reading && *requestState == nullptr) {
    if (announcesBody(connection)) {
      return answer(connection, MHD_HTTP_BAD_REQUEST, "A GET carries no body\n", kPlain);
    }
    *requestState = &headersSeen;
    return MHD_YES;
  }
  if (*uploadSize != 0) return MHD_NO;  // a body it did not announce: the connection goes
  if (std::string_view(url) != kPath) {
    return answer(connection, MHD_HTTP_NOT_FOUND, "Not found: the figures are at /metrics\n",
                  kPlain);
  }
  if (!reading) {
    return answer(connection, MHD_HTTP_METHOD_NOT_ALLOWED, "Only GET and HEAD\n", kPlain,
                  "GET, HEAD");
  }
  const char* accept =
      MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_ACCEPT);
  const ExpositionFormat format = chooseFormat(accept != nullptr ? accept : "");
  const std::string body = (*static_cast<const MetricsEndpoint::Render*>(render))(format);
  return answer(connection, MHD_HTTP_OK, body, contentType(format));
}

// A listening socket on the address (non-blocking: the thread accepts until none waits), or
// -1 with the reason.
int listenOn(const sockaddr_in& address, std::string& error) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    error = std::strerror(errno);
    return -1;
  }
  const int reuse = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof(reuse));
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0 ||
      ::listen(fd, SOMAXCONN) != 0) {
    error = std::strerror(errno);
    ::close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

struct LibraryNotices {
  using Connection = MetricsEndpoint::Connection;

  // A connection started: it takes a free slot, and has until its deadline for its first
  // request. Closed: the slot is free again.
  static void connection(void* endpoint, MHD_Connection* connection, void** socketContext,
                         MHD_ConnectionNotificationCode notice) {
    auto* self = static_cast<MetricsEndpoint*>(endpoint);
    if (notice == MHD_CONNECTION_NOTIFY_CLOSED) {
      if (auto* slot = static_cast<Connection*>(*socketContext)) {
        slot->fd = -1;
        --self->open_;
      }
      return;
    }
    const auto free = std::find_if(self->connections_.begin(), self->connections_.end(),
                                   [](const Connection& c) { return c.fd < 0; });
    if (free == self->connections_.end()) return;  // past the library's own limit: never
    free->fd = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD)->connect_fd;
    free->deadline = MetricsEndpoint::Clock::now() + self->limits_.requestTime;
    *socketContext = &*free;
    ++self->open_;
  }

  // A request answered (or given up): the next one on the connection has its own time.
  static void requestDone(void* endpoint, MHD_Connection* connection, void**,
                          MHD_RequestTerminationCode) {
    const auto* self = static_cast<const MetricsEndpoint*>(endpoint);
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
    if (info == nullptr || info->socket_context == nullptr) return;
    static_cast<Connection*>(info->socket_context)->deadline =
        MetricsEndpoint::Clock::now() + self->limits_.requestTime;
  }
};

MetricsEndpoint::Descriptor::~Descriptor() {
  reset(-1);
}

void MetricsEndpoint::Descriptor::reset(int fd) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

void MetricsEndpoint::DaemonStop::operator()(MHD_Daemon* daemon) const {
  MHD_stop_daemon(daemon);
}

std::unique_ptr<MetricsEndpoint> MetricsEndpoint::start(const std::string& address,
                                                        std::uint16_t port, Render render,
                                                        std::string& error, const Limits& limits) {
  sockaddr_in bindAddress{};
  bindAddress.sin_family = AF_INET;
  bindAddress.sin_port = htons(port);
  if (::inet_pton(AF_INET, address.c_str(), &bindAddress.sin_addr) != 1) {
    error = "\"" + address + "\" is not an IPv4 address";
    return nullptr;
  }
  std::unique_ptr<MetricsEndpoint> endpoint(new MetricsEndpoint(std::move(render), limits));
  endpoint->connections_.resize(limits.connections);
  endpoint->listener_.reset(listenOn(bindAddress, error));
  if (endpoint->listener_.get() < 0) return nullptr;
  endpoint->wake_.reset(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
  if (endpoint->wake_.get() < 0) {
    error = std::strerror(errno);
    return nullptr;
  }
  sockaddr_in bound{};
  socklen_t length = sizeof(bound);
  ::getsockname(endpoint->listener_.get(), reinterpret_cast<sockaddr*>(&bound), &length);
  endpoint->port_ = ntohs(bound.sin_port);

  // epoll rather than select: the server's descriptors pass FD_SETSIZE at a few thousand
  // connections. No listening socket of the library's own: the thread accepts (see
  // acceptWaiting). No idle timeout of the library's: it starts again with every byte, where
  // the deadlines do not (see shutOverdue). No error log: the console is the operator's, and
  // a client's faults are not his news.
  endpoint->daemon_.reset(MHD_start_daemon(
      MHD_USE_EPOLL | MHD_USE_NO_LISTEN_SOCKET, 0, nullptr, nullptr, &onRequest,
      const_cast<Render*>(&endpoint->render_), MHD_OPTION_CONNECTION_LIMIT, limits.connections,
      MHD_OPTION_PER_IP_CONNECTION_LIMIT, limits.connectionsPerAddress,
      MHD_OPTION_CONNECTION_MEMORY_LIMIT, limits.memoryPerConnection, MHD_OPTION_NOTIFY_CONNECTION,
      &LibraryNotices::connection, endpoint.get(), MHD_OPTION_NOTIFY_COMPLETED,
      &LibraryNotices::requestDone, endpoint.get(), MHD_OPTION_END));
  const MHD_DaemonInfo* events =
      endpoint->daemon_ ? MHD_get_daemon_info(endpoint->daemon_.get(), MHD_DAEMON_INFO_EPOLL_FD)
                        : nullptr;
  if (events == nullptr) {
    error = "the HTTP library could not start";
    return nullptr;
  }
  endpoint->thread_ =
      std::thread([self = endpoint.get(), fd = events->epoll_fd] { self->serve(fd); });
  return endpoint;
}

MetricsEndpoint::~MetricsEndpoint() {
  if (!thread_.joinable()) return;
  const std::uint64_t stop = 1;
  while (::write(wake_.get(), &stop, sizeof(stop)) < 0 && errno == EINTR) {
  }
  thread_.join();
}

void MetricsEndpoint::serve(int events) {
  for (;;) {
    const Clock::time_point now = Clock::now();
    pollfd watched[] = {{wake_.get(), POLLIN, 0},
                        {events, POLLIN, 0},
                        {accepting(now) ? listener_.get() : -1, POLLIN, 0}};
    ::poll(watched, std::size(watched), pollTimeoutMs(now));  // interrupted: once more round
    if (watched[0].revents != 0) return;
    if (watched[2].revents != 0) acceptWaiting();
    MHD_run(daemon_.get());
    shutOverdue(Clock::now());
  }
}

// A connection past its deadline is shut down, not closed: the descriptor stays the
// library's, which finds the stream ended at its next turn and closes the connection, with
// its notice. Until then the slot waits with no deadline.
void MetricsEndpoint::shutOverdue(Clock::time_point now) {
  for (Connection& connection : connections_) {
    if (connection.fd < 0 || now < connection.deadline) continue;
    ::shutdown(connection.fd, SHUT_RDWR);
    connection.deadline = Clock::time_point::max();
  }
}

// Accepts until none waits or every connection is taken, handing each to the library. An
// accept that fails for want of descriptors or memory leaves the client in the backlog and
// the listening socket alone for a pause: retried at once, it would fail at once again.
void MetricsEndpoint::acceptWaiting() {
  while (open_ < limits_.connections) {
    sockaddr_in peer{};
    socklen_t length = sizeof(peer);
    const int fd = ::accept4(listener_.get(), reinterpret_cast<sockaddr*>(&peer), &length,
                             SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd >= 0) {
      // Past the limit per address the library closes it.
      MHD_add_connection(daemon_.get(), fd, reinterpret_cast<const sockaddr*>(&peer), length);
      continue;
    }
    if (errno == EINTR || errno == ECONNABORTED) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) acceptPausedUntil_ = Clock::now() + kAcceptPause;
    return;
  }
}

bool MetricsEndpoint::accepting(Clock::time_point now) const {
  return open_ < limits_.connections && now >= acceptPausedUntil_;
}

// The poll's timeout in ms (-1: none): the library's, the first deadline, and the end of an
// accept pause.
int MetricsEndpoint::pollTimeoutMs(Clock::time_point now) const {
  long long wait = -1;
  const auto atMost = [&wait](long long ms) { wait = wait < 0 ? ms : std::min(wait, ms); };
  MHD_UNSIGNED_LONG_LONG library = 0;
  if (MHD_get_timeout(daemon_.get(), &library) == MHD_YES)
    atMost(static_cast<long long>(std::min<MHD_UNSIGNED_LONG_LONG>(library, INT_MAX)));
  const auto untilMs = [now](Clock::time_point then) {
    return std::chrono::ceil<std::chrono::milliseconds>(std::max(then - now, Clock::duration()))
        .count();
  };
  for (const Connection& connection : connections_) {
    if (connection.fd >= 0 && connection.deadline != Clock::time_point::max())
      atMost(untilMs(connection.deadline));
  }
  if (open_ < limits_.connections && now < acceptPausedUntil_) atMost(untilMs(acceptPausedUntil_));
  return static_cast<int>(wait);
}

}  // namespace velmor
