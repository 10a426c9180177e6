#include "net/GenericServer.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "base/Console.h"

namespace velmor {

namespace {
constexpr int kBacklog = 128;
constexpr std::uint64_t kRetryIntervalMs = 1000;

GenericServer* serverOf(uv_stream_t* client) {
  return static_cast<ClientData*>(client->data)->owner;
}
}  // namespace

GenericServer::GenericServer(uv_loop_t* loop)
    : loop_(loop), retryTimer_([loop](uv_timer_t* t) { return uv_timer_init(loop, t); }) {
  retryTimer_.get()->data = this;
  uv_timer_start(retryTimer_.get(), onRetryTimer, 0, kRetryIntervalMs);
}

GenericServer::~GenericServer() {
  retryTimer_.close();
}

ClientData* GenericServer::createClient(uv_stream_t* client, uv_stream_t* serverHandle) {
  return new ClientData(client, serverHandle);
}

void GenericServer::onRetryTimer(uv_timer_t* timer) {
  auto* server = static_cast<GenericServer*>(timer->data);
  if (server->isListening()) return;
  ++server->listenAttempts_;
  server->start();
}

int GenericServer::listenOn(uv_stream_t* handle) {
  return uv_listen(handle, kBacklog, onConnection);
}

void GenericServer::onConnection(uv_stream_t* serverHandle, int status) {
  auto* server = static_cast<GenericServer*>(serverHandle->data);
  if (status < 0) {
    server->acceptFailed(status);
    return;
  }
  server->accept(serverHandle);
}

void GenericServer::acceptFailed(int status) {
  // Said once, until an accept finds a descriptor to spare again.
  if (acceptFailing_) return;
  consoleWrite("TCPServer new connection error: %s", uv_strerror(status));
  acceptFailing_ = true;
}

void GenericServer::checkDescriptorsLeft(uv_stream_t* listener) {
  // Out of descriptors, the next connection cannot be accepted: libuv then accepts and closes
  // what waits with the descriptor it keeps in reserve (so the listening socket never spins),
  // and does not tell. So each accept checks that one more descriptor could be had.
  uv_os_fd_t fd;
  if (uv_fileno(reinterpret_cast<uv_handle_t*>(listener), &fd) != 0) return;
  const int spare = fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (spare >= 0) {
    ::close(spare);
    acceptFailing_ = false;
  } else if (errno == EMFILE || errno == ENFILE) {
    acceptFailed(errno == EMFILE ? UV_EMFILE : UV_ENFILE);
  }
}

void GenericServer::keepProbing(uv_tcp_t* tcp) {
  uv_os_fd_t fd;
  int status = uv_tcp_keepalive(tcp, 1, keepAliveSeconds_);
  if (status == 0) status = uv_fileno(reinterpret_cast<uv_handle_t*>(tcp), &fd);
  if (status == 0) {
    const int interval = std::max(1, static_cast<int>(keepAliveSeconds_ / 6));
    const int probes = 6;
    // keepAliveSeconds_ is at most 32767 (the settings bound it): no overflow here.
    const unsigned userTimeoutMs = keepAliveSeconds_ * 2 * 1000;
    if (setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof(interval)) != 0 ||
        setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof(probes)) != 0 ||
        setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &userTimeoutMs, sizeof(userTimeoutMs)) != 0) {
      status = uv_translate_sys_error(errno);
    }
  }
  // Said once: the connections are served without the probes.
  if (status != 0 && !keepAliveFailed_) {
    keepAliveFailed_ = true;
    consoleWrite("TCPServer keep-alive error: %s\n", uv_strerror(status));
  }
}

void GenericServer::accept(uv_stream_t* listener) {
  auto* tcp = static_cast<uv_tcp_t*>(std::calloc(1, sizeof(uv_tcp_t)));
  if (tcp == nullptr) return;  // the connection stays in the backlog until memory returns
  uv_tcp_init(listener->loop, tcp);
  uv_tcp_nodelay(tcp, 1);
  auto* client = reinterpret_cast<uv_stream_t*>(tcp);
  ClientData* data = createClient(client, listener);
  data->owner = this;
  client->data = data;
  if (uv_accept(listener, client) < 0) {
    uv_close(reinterpret_cast<uv_handle_t*>(client), onClientClosed);
    return;
  }
  data->connected = true;
  linkOpen(data);
  backlogs_.reserve(openClients_);
  if (keepAliveSeconds_ != 0) keepProbing(tcp);
  checkDescriptorsLeft(listener);
  int length = sizeof(data->peerAddress);
  uv_tcp_getpeername(tcp, reinterpret_cast<sockaddr*>(&data->peerAddress), &length);
  if (onConnect(client)) {
    uv_read_start(client, onAllocate, onRead);
  } else {
    closeClient(client);
  }
}

void GenericServer::onAllocate(uv_handle_t* handle, std::size_t, uv_buf_t* buf) {
  auto* data = static_cast<ClientData*>(handle->data);
  *buf = uv_buf_init(data->readBuffer, ClientData::kReadSize);
}

void GenericServer::onRead(uv_stream_t* client, ssize_t nread, const uv_buf_t* buf) {
  if (nread < 0) {
    serverOf(client)->closeClient(client);
  } else if (nread > 0) {
    serverOf(client)->onData(client, nread, buf);
  }
}

bool GenericServer::write(uv_stream_t* client, const char* data, std::size_t length) {
  if (uv_is_closing(reinterpret_cast<uv_handle_t*>(client))) return false;
  auto* connection = static_cast<ClientData*>(client->data);
  // Nothing queued: hand the bytes to the socket directly and queue only what it refused.
  if (connection->output_.empty()) {
    uv_buf_t direct = uv_buf_init(const_cast<char*>(data), static_cast<unsigned>(length));
    int written = uv_try_write(client, &direct, 1);
    if (written == UV_EAGAIN || written == UV_ENOSYS) {
      written = 0;
    } else if (written < 0) {
      closeClient(client);
      return false;
    }
    data += written;
    length -= static_cast<std::size_t>(written);
    if (length == 0) return true;
  }
  return queueOutput(*connection, data, length);
}

bool GenericServer::queueOutput(ClientData& connection, const char* data, std::size_t length) {
  const std::size_t growth = connection.output_.growthFor(length);
  if (growth != 0 && !makeRoomFor(connection, growth)) return false;
  const std::size_t heldBefore = connection.output_.heldBytes();
  const bool queued = connection.output_.append(data, length, outputBuffers_);
  outputChanged(connection, heldBefore);
  if (!queued) {
    closeClient(connection.client);  // out of memory: the stream would lose bytes, so drop it
    return false;
  }
  return connection.output_.writing() || startWrite(connection);
}

// The limits count whole buffers, what the output really holds. A connection whose own backlog
// would pass its limit has stopped reading, or reads slower than it asks: it goes. When the
// backlogs together would pass theirs, the largest goes, not whichever connection happens to
// write next: a reader on a slow link must not pay for those that stopped reading.
bool GenericServer::makeRoomFor(ClientData& writer, std::size_t growth) {
  const std::size_t held = writer.output_.heldBytes() + growth;
  if (maxPendingOutput_ != 0 && held > maxPendingOutput_) {
    closeSlowReader(writer);
    return false;
  }
  while (maxTotalPendingOutput_ != 0 &&
         totalPendingOutput_.get() + growth > maxTotalPendingOutput_) {
    ClientData* largest = backlogs_.largest();
    if (largest == nullptr || largest == &writer || largest->output_.heldBytes() <= held) {
      closeSlowReader(writer);
      return false;
    }
    closeSlowReader(*largest);  // its output is dropped at once: the loop ends
  }
  return true;
}

void GenericServer::closeSlowReader(ClientData& connection) {
  slowReaderCloses_.fetch_add(1, std::memory_order_relaxed);
  closeClient(connection.client);
}

bool GenericServer::startWrite(ClientData& connection) {
  uv_buf_t bufs[OutputQueue::kMaxBuffersPerWrite];
  const unsigned count = connection.output_.beginWrite(bufs);
  if (uv_write(connection.output_.request(), connection.client, bufs, count, onWriteDone) < 0) {
    closeClient(connection.client);
    return false;
  }
  return true;
}

void GenericServer::onWriteDone(uv_write_t* request, int status) {
  uv_stream_t* client = request->handle;
  // A closing connection's output was dropped when its close began; libuv cancels the write
  // in flight before the close callback frees the connection.
  if (uv_is_closing(reinterpret_cast<uv_handle_t*>(client))) return;
  auto* connection = static_cast<ClientData*>(client->data);
  GenericServer* server = connection->owner;
  if (status < 0) {
    server->closeClient(client);  // what waits behind the failed bytes can no longer arrive
    return;
  }
  const std::size_t heldBefore = connection->output_.heldBytes();
  connection->output_.endWrite(server->outputBuffers_);
  server->outputChanged(*connection, heldBefore);
  if (!connection->output_.empty()) server->startWrite(*connection);
}

void GenericServer::dropOutput(ClientData& connection) {
  const std::size_t heldBefore = connection.output_.heldBytes();
  connection.output_.clear(outputBuffers_);
  outputChanged(connection, heldBefore);
}

void GenericServer::outputChanged(ClientData& connection, std::size_t heldBefore) {
  const std::size_t held = connection.output_.heldBytes();
  if (held == heldBefore) return;
  if (held > heldBefore) {
    totalPendingOutput_.add(held - heldBefore);
  } else {
    totalPendingOutput_.sub(heldBefore - held);
  }
  backlogs_.update(connection);
}

void GenericServer::closeClient(uv_stream_t* client) {
  auto* handle = reinterpret_cast<uv_handle_t*>(client);
  if (uv_is_closing(handle)) return;
  uv_close(handle, onClientClosed);
  // The socket is closed and writes no more: the queued output goes back to the pool now and
  // stops counting against the limits.
  dropOutput(*static_cast<ClientData*>(client->data));
}

void GenericServer::pauseReading(uv_stream_t* client) {
  if (!uv_is_closing(reinterpret_cast<uv_handle_t*>(client))) uv_read_stop(client);
}

void GenericServer::resumeReading(uv_stream_t* client) {
  if (!uv_is_closing(reinterpret_cast<uv_handle_t*>(client)))
    uv_read_start(client, onAllocate, onRead);
}

void GenericServer::onClientClosed(uv_handle_t* handle) {
  auto* data = static_cast<ClientData*>(handle->data);
  if (data != nullptr) {
    GenericServer* server = data->owner;
    if (data->connected) {
      server->unlinkOpen(data);
      server->onDisconnect(reinterpret_cast<uv_stream_t*>(handle));
    }
    delete data;
  }
  std::free(handle);
}

void GenericServer::stopListening() {
  retryTimer_.close();
  closeServerHandle();
  setListening(false);
}

void GenericServer::closeAllClients() {
  for (ClientData* data = openHead_; data != nullptr; data = data->nextOpen)
    closeClient(data->client);
}

void GenericServer::linkOpen(ClientData* data) {
  data->previousOpen = nullptr;
  data->nextOpen = openHead_;
  if (openHead_ != nullptr) openHead_->previousOpen = data;
  openHead_ = data;
  ++openClients_;
}

void GenericServer::unlinkOpen(ClientData* data) {
  if (data->previousOpen != nullptr) {
    data->previousOpen->nextOpen = data->nextOpen;
  } else {
    openHead_ = data->nextOpen;
  }
  if (data->nextOpen != nullptr) data->nextOpen->previousOpen = data->previousOpen;
  data->previousOpen = data->nextOpen = nullptr;
  --openClients_;
}

}  // namespace velmor
