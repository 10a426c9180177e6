#include "metrics/MetricsEndpoint.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
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

// Why a listening socket cannot be had on the address (libmicrohttpd does not say): the
// same bind, tried again to learn its error.
std::string bindFailure(const sockaddr_in& address) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return std::strerror(errno);
  const int reuse = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof(reuse));
  std::string reason = "the HTTP library could not start";
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0 ||
      ::listen(fd, 16) != 0) {
    reason = std::strerror(errno);
  }
  ::close(fd);
  return reason;
}

}  // namespace

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
  std::unique_ptr<MetricsEndpoint> endpoint(new MetricsEndpoint(std::move(render)));
  // epoll rather than select: the server's descriptors pass FD_SETSIZE at a few thousand
  // connections. No error log: the console is the operator's, and a client's faults are not
  // his news.
  endpoint->daemon_.reset(MHD_start_daemon(
      MHD_USE_AUTO_INTERNAL_THREAD, port, nullptr, nullptr, &onRequest,
      const_cast<Render*>(&endpoint->render_), MHD_OPTION_SOCK_ADDR,
      reinterpret_cast<const sockaddr*>(&bindAddress), MHD_OPTION_CONNECTION_LIMIT,
      limits.connections, MHD_OPTION_PER_IP_CONNECTION_LIMIT, limits.connectionsPerAddress,
      MHD_OPTION_CONNECTION_TIMEOUT, limits.idleSeconds, MHD_OPTION_CONNECTION_MEMORY_LIMIT,
      limits.memoryPerConnection, MHD_OPTION_END));
  if (!endpoint->daemon_) {
    error = bindFailure(bindAddress);
    return nullptr;
  }
  const MHD_DaemonInfo* info =
      MHD_get_daemon_info(endpoint->daemon_.get(), MHD_DAEMON_INFO_BIND_PORT);
  endpoint->port_ = info != nullptr ? info->port : port;
  return endpoint;
}

MetricsEndpoint::~MetricsEndpoint() = default;

}  // namespace velmor
