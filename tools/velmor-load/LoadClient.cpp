#include "LoadClient.h"

#include <arpa/inet.h>

#include <cstdlib>
#include <cstring>

namespace velmor::load {

namespace {
std::size_t frameLength(const char* p) {
  return static_cast<std::uint8_t>(p[0]) | static_cast<std::size_t>(static_cast<std::uint8_t>(p[1]))
                                               << 8;
}
}  // namespace

LoadClient::LoadClient(uv_loop_t* loop, std::uint32_t sourceAddress, std::size_t index,
                       const TransportFactory* transports)
    : tcp_(static_cast<uv_tcp_t*>(std::calloc(1, sizeof(uv_tcp_t)))),
      transports_(transports),
      index_(index),
      source_(sourceAddress) {
  uv_tcp_init(loop, tcp_);
  uv_tcp_nodelay(tcp_, 1);
  tcp_->data = this;
}

LoadClient::~LoadClient() {
  // A client still open when its scenario goes: detach it and let libuv free the handle.
  if (!closed_) {
    tcp_->data = nullptr;
    if (!uv_is_closing(reinterpret_cast<uv_handle_t*>(tcp_))) {
      uv_close(reinterpret_cast<uv_handle_t*>(tcp_), [](uv_handle_t* h) { std::free(h); });
    }
  }
}

void LoadClient::connect(std::uint16_t port, EventHandler onConnected, EventHandler onClosed) {
  onConnected_ = std::move(onConnected);
  onClosed_ = std::move(onClosed);
  port_ = port;
  sockaddr_in from{};
  from.sin_family = AF_INET;
  from.sin_addr.s_addr = htonl(source_);
  uv_tcp_bind(tcp_, reinterpret_cast<const sockaddr*>(&from), 0);
  sockaddr_in to{};
  uv_ip4_addr("127.0.0.1", port, &to);
  connectRequest_.data = this;
  if (transports_ != nullptr) transport_ = transports_->make(*this, port);
  if (uv_tcp_connect(&connectRequest_, tcp_, reinterpret_cast<const sockaddr*>(&to), onConnect) !=
      0)
    close();
}

void LoadClient::onConnect(uv_connect_t* request, int status) {
  auto* self = static_cast<LoadClient*>(request->data);
  if (self == nullptr || self->closing_) return;
  if (status < 0) {
    if (self->transports_ != nullptr)
      self->transports_->noteFailure("cannot connect to 127.0.0.1:" + std::to_string(self->port_) +
                                     ": " + uv_strerror(status));
    self->close();
    return;
  }
  self->socketOpen_ = true;
  uv_read_start(reinterpret_cast<uv_stream_t*>(self->tcp_), onAllocate, onRead);
  if (self->transport_) {
    self->transport_->start();
  } else {
    self->transportOpen();
  }
}

void LoadClient::transportOpen() {
  if (closing_) return;
  connected_ = true;
  if (onConnected_) onConnected_(*this);
}

void LoadClient::transportFailed(std::string_view why) {
  if (closing_) return;
  if (transports_ != nullptr) transports_->noteFailure(why);
  closedByServer_ = true;
  close();
}

void LoadClient::receiveStream(const char* data, std::size_t length) {
  if (!closing_) consume(data, length);
}

void LoadClient::onAllocate(uv_handle_t* handle, std::size_t, uv_buf_t* buf) {
  auto* self = static_cast<LoadClient*>(handle->data);
  *buf = uv_buf_init(self->readBuffer_, sizeof(self->readBuffer_));
}

void LoadClient::onRead(uv_stream_t* stream, ssize_t nread, const uv_buf_t* buf) {
  auto* self = static_cast<LoadClient*>(stream->data);
  if (self == nullptr) return;
  if (nread < 0) {
    self->closedByServer_ = true;
    self->close();
    return;
  }
  if (self->transport_) {
    self->transport_->receive(buf->base, static_cast<std::size_t>(nread));
  } else {
    self->consume(buf->base, static_cast<std::size_t>(nread));
  }
}

void LoadClient::consume(const char* data, std::size_t length) {
  if (!pending_.empty()) {
    pending_.append(data, length);
    std::size_t at = 0;
    while (pending_.size() - at >= 2 &&
           pending_.size() - at >= frameLength(pending_.data() + at) + 2) {
      const std::size_t n = frameLength(pending_.data() + at);
      ++frames_;
      if (onFrame_) onFrame_(*this, std::string_view(pending_.data() + at + 2, n));
      at += n + 2;
    }
    pending_.erase(0, at);
    return;
  }
  std::size_t at = 0;
  while (length - at >= 2 && length - at >= frameLength(data + at) + 2) {
    const std::size_t n = frameLength(data + at);
    ++frames_;
    if (onFrame_) onFrame_(*this, std::string_view(data + at + 2, n));
    at += n + 2;
  }
  if (at < length) pending_.assign(data + at, length - at);
}

void LoadClient::sendBytes(std::string_view bytes) {
  if (!connected_ || closing_) return;
  if (transport_) {
    transport_->send(bytes);
  } else {
    writeToSocket(bytes);
  }
}

void LoadClient::writeToSocket(std::string_view bytes) {
  if (!socketOpen_ || closing_) return;
  uv_buf_t buffer =
      uv_buf_init(const_cast<char*>(bytes.data()), static_cast<unsigned>(bytes.size()));
  int written = uv_try_write(reinterpret_cast<uv_stream_t*>(tcp_), &buffer, 1);
  if (written == static_cast<int>(bytes.size())) return;
  if (written < 0 && written != UV_EAGAIN) {
    close();
    return;
  }
  // The socket is full: queue the rest with a copy of its own.
  const std::size_t done = written > 0 ? static_cast<std::size_t>(written) : 0;
  struct Pending {
    uv_write_t request;
    std::string bytes;
  };
  auto* pending = new Pending{{}, std::string(bytes.substr(done))};
  uv_buf_t rest = uv_buf_init(pending->bytes.data(), static_cast<unsigned>(pending->bytes.size()));
  pending->request.data = pending;
  uv_write(&pending->request, reinterpret_cast<uv_stream_t*>(tcp_), &rest, 1,
           [](uv_write_t* request, int) { delete static_cast<Pending*>(request->data); });
}

void LoadClient::close() {
  if (closing_) return;
  closing_ = true;
  connected_ = false;
  socketOpen_ = false;
  if (!uv_is_closing(reinterpret_cast<uv_handle_t*>(tcp_)))
    uv_close(reinterpret_cast<uv_handle_t*>(tcp_), onClose);
}

void LoadClient::onClose(uv_handle_t* handle) {
  auto* self = static_cast<LoadClient*>(handle->data);
  std::free(handle);
  if (self == nullptr) return;
  self->closed_ = true;
  if (self->onClosed_) self->onClosed_(*self);
}

}  // namespace velmor::load
