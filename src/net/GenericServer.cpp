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
  // Nothing queued: hand the bytes to the socket directly and queue only what it refused.
  if (uv_stream_get_write_queue_size(client) == 0) {
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
  // A connection that stopped reading (its own backlog would only grow), or one whose
  // output would take the bytes waiting for all connections past their limit, is closed.
  if ((maxPendingOutput_ != 0 &&
       uv_stream_get_write_queue_size(client) + length > maxPendingOutput_) ||
      (maxTotalPendingOutput_ != 0 &&
       totalPendingOutput_.get() + length > maxTotalPendingOutput_)) {
    slowReaderCloses_.fetch_add(1, std::memory_order_relaxed);
    closeClient(client);
    return false;
  }
  WriteRequest* request = writePool_.acquire(length);
  if (request == nullptr) {
    closeClient(client);  // out of memory: the stream would lose bytes, so drop it
    return false;
  }
  std::memcpy(request->bytes, data, length);
  request->request.data = this;
  request->length = static_cast<std::uint32_t>(length);
  uv_buf_t buf = uv_buf_init(request->bytes, static_cast<unsigned>(length));
  if (uv_write(&request->request, client, &buf, 1, onWriteDone) < 0) {
    closeClient(client);
    writePool_.release(request);
    return false;
  }
  totalPendingOutput_.add(length);
  return true;
}

void GenericServer::onWriteDone(uv_write_t* request, int) {
  auto* server = static_cast<GenericServer*>(request->data);
  auto* done = reinterpret_cast<WriteRequest*>(request);
  server->totalPendingOutput_.sub(done->length);
  server->writePool_.release(done);
}

void GenericServer::closeClient(uv_stream_t* client) {
  auto* handle = reinterpret_cast<uv_handle_t*>(client);
  if (!uv_is_closing(handle)) uv_close(handle, onClientClosed);
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
