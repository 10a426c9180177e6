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
constexpr std::uint64_t kSweepIntervalMs = 250;
// How long a connection that said goodbye waits for its peer to close before it is cut.
constexpr std::uint64_t kLingerMs = 2000;

GenericServer* serverOf(uv_stream_t* client) {
  return static_cast<ClientData*>(client->data)->owner;
}
}  // namespace

GenericServer::GenericServer(uv_loop_t* loop)
    : loop_(loop),
      retryTimer_([loop](uv_timer_t* t) { return uv_timer_init(loop, t); }),
      sweepTimer_([loop](uv_timer_t* t) { return uv_timer_init(loop, t); }),
      departTimer_([loop](uv_timer_t* t) { return uv_timer_init(loop, t); }) {
  departTimer_.get()->data = this;
  retryTimer_.get()->data = this;
  uv_timer_start(retryTimer_.get(), onRetryTimer, 0, kRetryIntervalMs);
  sweepTimer_.get()->data = this;
  uv_timer_start(sweepTimer_.get(), onSweep, kSweepIntervalMs, kSweepIntervalMs);
}

GenericServer::~GenericServer() {
  retryTimer_.close();
  sweepTimer_.close();
  departTimer_.close();
}

// One connection's side of its Transport.
class GenericServer::ConnectionIo final : public Transport::Io {
 public:
  ConnectionIo(GenericServer& server, ClientData& connection)
      : server_(server), connection_(connection) {}
  bool emit(const uv_buf_t* parts, unsigned count) override {
    return server_.writeRaw(connection_, parts, count);
  }
  void deliver(const char* data, std::size_t length) override {
    uv_buf_t buf = uv_buf_init(const_cast<char*>(data), static_cast<unsigned>(length));
    server_.onData(connection_.client, static_cast<ssize_t>(length), &buf);
  }
  void clientKnown(std::uint32_t address) override {
    if (address != 0) {
      sockaddr_in client{};
      client.sin_family = AF_INET;
      client.sin_addr.s_addr = address;
      connection_.peerAddress = {};
      std::memcpy(&connection_.peerAddress, &client, sizeof(client));
    }
    server_.admit(connection_);
    if (connection_.layers_->established()) server_.handshaking_.remove(connection_);
  }
  void established() override { server_.establish(connection_); }
  bool closing() const override { return server_.isClosing(connection_); }

 private:
  GenericServer& server_;
  ClientData& connection_;
};

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
  const TransportKind door = doorOf(listener);
  data->transport = door;
  doorTraffic_[static_cast<std::size_t>(door)].connections.add(1);
  const std::uint32_t peer = data->peerIPv4();
  const bool proxied = doorPolicy_.trusts(peer);
  if (door != TransportKind::Tcp || proxied) layered(*data, door, proxied);
  // A proxy's connection is judged by the client it names, once its header has come.
  if (!proxied) admit(*data);
  if (!isClosing(*data)) uv_read_start(client, onAllocate, onRead);
}

void GenericServer::layered(ClientData& connection, TransportKind door, bool proxied) {
  connection.layers_ = std::make_unique<Transport>(door, proxied, tls_.get(), doorPolicy_);
  if (handshakeTimeoutMs_ != 0 && (!connection.layers_->established() || proxied))
    handshaking_.append(connection, uv_now(loop_) + handshakeTimeoutMs_);
}

void GenericServer::admit(ClientData& connection) {
  if (!onConnect(connection.client)) closeClient(connection.client, Transport::kClosePolicy);
}

void GenericServer::establish(ClientData& connection) {
  Transport& layers = *connection.layers_;
  if (!layers.awaitingClient()) handshaking_.remove(connection);
  if (layers.holdsOutput()) {
    ConnectionIo io(*this, connection);
    layers.send(nullptr, 0, io);
  }
  if (layers.closeWhenEstablished) {
    layers.closeWhenEstablished = false;
    closeClient(connection.client, Transport::kClosePolicy);
  }
}

void GenericServer::onAllocate(uv_handle_t* handle, std::size_t, uv_buf_t* buf) {
  auto* data = static_cast<ClientData*>(handle->data);
  *buf = uv_buf_init(data->readBuffer, ClientData::kReadSize);
}

void GenericServer::onRead(uv_stream_t* client, ssize_t nread, const uv_buf_t* buf) {
  GenericServer* server = serverOf(client);
  auto* connection = static_cast<ClientData*>(client->data);
  if (nread < 0) {
    server->closeNow(*connection);
    return;
  }
  if (nread == 0) return;
  server->doorTraffic_[static_cast<std::size_t>(connection->transport)].bytesReceived.add(
      static_cast<std::uint64_t>(nread));
  if (connection->lingering_) return;  // said goodbye: what still comes is dropped
  if (connection->firstRead_) {
    connection->firstRead_ = false;
    // A PROXY header from anyone but a trusted proxy would be a lie about the address. (A
    // proxy's connection awaits its client until that header has been read.)
    const bool proxied = connection->layers_ != nullptr && connection->layers_->awaitingClient();
    if (!proxied && connection->transport != TransportKind::WebSocket &&
        connection->transport != TransportKind::SecureWebSocket &&
        ProxyHeader::startsWithSignature(buf->base, static_cast<std::size_t>(nread))) {
      server->closeNow(*connection);
      return;
    }
  }
  if (connection->layers_ != nullptr) {
    server->readThrough(*connection, buf->base, static_cast<std::size_t>(nread));
  } else {
    server->onData(client, nread, buf);
  }
}

void GenericServer::readThrough(ClientData& connection, const char* data, std::size_t length) {
  ConnectionIo io(*this, connection);
  if (!connection.layers_->receive(data, length, io)) closeClient(connection.client);
}

bool GenericServer::write(uv_stream_t* client, const char* data, std::size_t length) {
  auto* connection = static_cast<ClientData*>(client->data);
  if (isClosing(*connection)) return false;
  if (connection->layers_ != nullptr) {
    ConnectionIo io(*this, *connection);
    if (connection->layers_->send(data, length, io)) return true;
    closeClient(client);
    return false;
  }
  const uv_buf_t direct = uv_buf_init(const_cast<char*>(data), static_cast<unsigned>(length));
  return writeRaw(*connection, &direct, 1);
}

bool GenericServer::writeRaw(ClientData& connection, const uv_buf_t* parts, unsigned count) {
  uv_stream_t* client = connection.client;
  if (uv_is_closing(reinterpret_cast<uv_handle_t*>(client))) return false;
  std::size_t total = 0;
  for (unsigned i = 0; i < count; ++i) total += parts[i].len;
  doorTraffic_[static_cast<std::size_t>(connection.transport)].bytesSent.add(total);
  // Nothing queued: hand the bytes to the socket directly and queue only what it refused.
  std::size_t written = 0;
  if (connection.output_.empty()) {
    const int status = uv_try_write(client, parts, count);
    if (status >= 0) {
      written = static_cast<std::size_t>(status);
    } else if (status != UV_EAGAIN && status != UV_ENOSYS) {
      closeNow(connection);
      return false;
    }
  }
  for (unsigned i = 0; i < count; ++i) {
    if (written >= parts[i].len) {
      written -= parts[i].len;
      continue;
    }
    if (!queueOutput(connection, parts[i].base + written, parts[i].len - written)) return false;
    written = 0;
  }
  return true;
}

bool GenericServer::queueOutput(ClientData& connection, const char* data, std::size_t length) {
  const std::size_t growth = connection.output_.growthFor(length);
  if (growth != 0 && !makeRoomFor(connection, growth)) return false;
  const std::size_t heldBefore = connection.output_.heldBytes();
  const bool queued = connection.output_.append(data, length, outputBuffers_);
  outputChanged(connection, heldBefore);
  if (!queued) {
    closeNow(connection);  // out of memory: the stream would lose bytes, so drop it
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
  closeNow(connection);  // its goodbye would only wait behind what it does not read
}

bool GenericServer::startWrite(ClientData& connection) {
  uv_buf_t bufs[OutputQueue::kMaxBuffersPerWrite];
  const unsigned count = connection.output_.beginWrite(bufs);
  if (uv_write(connection.output_.request(), connection.client, bufs, count, onWriteDone) < 0) {
    closeNow(connection);
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
    server->closeNow(*connection);  // what waits behind the failed bytes can no longer arrive
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

bool GenericServer::isClosing(const ClientData& connection) const {
  return connection.lingering_ ||
         uv_is_closing(reinterpret_cast<const uv_handle_t*>(connection.client));
}

void GenericServer::closeClient(uv_stream_t* client, std::uint16_t code) {
  auto* connection = static_cast<ClientData*>(client->data);
  if (isClosing(*connection)) return;
  Transport* layers = connection->layers_.get();
  if (layers != nullptr && !layers->established()) {
    // A refusal waits for the handshake that lets it be read (the handshake deadline holds).
    if (layers->holdsOutput()) {
      layers->closeWhenEstablished = true;
      return;
    }
  } else if (layers != nullptr && layers->established()) {
    ConnectionIo io(*this, *connection);
    layers->goodbye(code, io);
    if (!uv_is_closing(reinterpret_cast<uv_handle_t*>(client))) {
      linger(*connection);
      return;
    }
  }
  closeNow(*connection);
}

void GenericServer::closeNow(ClientData& connection) {
  auto* handle = reinterpret_cast<uv_handle_t*>(connection.client);
  if (uv_is_closing(handle)) return;
  uv_close(handle, onClientClosed);
  // The socket is closed and writes no more: the queued output goes back to the pool now and
  // stops counting against the limits.
  dropOutput(connection);
  handshaking_.remove(connection);
  lingering_.remove(connection);
}

// Said goodbye: the application is done with the connection now, and its socket sends what
// is queued, then its end of stream, and waits a moment for the peer to close: a peer that
// finds its connection reset before it read the goodbye would never learn why.
void GenericServer::linger(ClientData& connection) {
  handshaking_.remove(connection);
  connection.lingering_ = true;
  if (connection.connected) {
    departing_.push_back(&connection);
    if (departTimer_) uv_timer_start(departTimer_.get(), onDeparted, 0, 0);
  }
  if (uv_shutdown(&connection.shutdown_, connection.client, onShutdown) != 0) {
    connection.lingering_ = false;
    closeNow(connection);
    return;
  }
  uv_read_start(connection.client, onAllocate, onRead);  // to see the peer's end
  lingering_.append(connection, uv_now(loop_) + kLingerMs);
}

void GenericServer::onShutdown(uv_shutdown_t* request, int status) {
  if (status >= 0 || uv_is_closing(reinterpret_cast<uv_handle_t*>(request->handle))) return;
  auto* connection = static_cast<ClientData*>(request->handle->data);
  connection->owner->closeNow(*connection);
}

void GenericServer::onDeparted(uv_timer_t* timer) {
  auto* server = static_cast<GenericServer*>(timer->data);
  std::vector<ClientData*> departed;
  departed.swap(server->departing_);
  for (ClientData* connection : departed) {
    connection->connected = false;
    server->unlinkOpen(connection);
    server->onDisconnect(connection->client);
  }
}

void GenericServer::onSweep(uv_timer_t* timer) {
  static_cast<GenericServer*>(timer->data)->sweep();
}

void GenericServer::sweep() {
  const std::uint64_t now = uv_now(loop_);
  for (DueList* list : {&handshaking_, &lingering_}) {
    while (ClientData* due = list->first()) {
      if (due->dueAt_ > now) break;
      closeNow(*due);  // unlists it
    }
  }
}

void GenericServer::DueList::append(ClientData& data, std::uint64_t at) {
  remove(data);
  data.dueAt_ = at;
  data.dueList_ = this;
  data.previousDue_ = tail_;
  data.nextDue_ = nullptr;
  (tail_ != nullptr ? tail_->nextDue_ : head_) = &data;
  tail_ = &data;
}

void GenericServer::DueList::remove(ClientData& data) {
  if (data.dueList_ != this) return;
  (data.previousDue_ != nullptr ? data.previousDue_->nextDue_ : head_) = data.nextDue_;
  (data.nextDue_ != nullptr ? data.nextDue_->previousDue_ : tail_) = data.previousDue_;
  data.previousDue_ = data.nextDue_ = nullptr;
  data.dueList_ = nullptr;
}

void GenericServer::pauseReading(uv_stream_t* client) {
  if (!isClosing(*static_cast<ClientData*>(client->data))) uv_read_stop(client);
}

void GenericServer::resumeReading(uv_stream_t* client) {
  if (!isClosing(*static_cast<ClientData*>(client->data)))
    uv_read_start(client, onAllocate, onRead);
}

void GenericServer::onClientClosed(uv_handle_t* handle) {
  auto* data = static_cast<ClientData*>(handle->data);
  if (data != nullptr) {
    GenericServer* server = data->owner;
    server->handshaking_.remove(*data);
    server->lingering_.remove(*data);
    std::erase(server->departing_, data);
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
  for (ClientData* data = openHead_; data != nullptr; data = data->nextOpen) {
    if (data->layers_ != nullptr) {
      ConnectionIo io(*this, *data);
      data->layers_->goodbye(Transport::kCloseGoingAway, io);
    }
    closeNow(*data);
  }
  while (ClientData* lingering = lingering_.first()) closeNow(*lingering);
  sweepTimer_.close();
  departTimer_.close();
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
