#include "net/TCPServer.h"

#include "base/Console.h"

namespace velmor {

TCPServer::TCPServer(uv_loop_t* loop) : GenericServer(loop) {
  for (Door& door : doors_) {
    door.listener = UvHandle<uv_tcp_t>([loop](uv_tcp_t* tcp) { return uv_tcp_init(loop, tcp); });
    uv_tcp_nodelay(door.listener.get(), 1);
    door.listener.get()->data = static_cast<GenericServer*>(this);
  }
}

TCPServer::~TCPServer() {
  closeServerHandle();
}

void TCPServer::closeServerHandle() {
  for (Door& door : doors_) door.listener.close();
}

uv_stream_t* TCPServer::serverHandle() const {
  return reinterpret_cast<uv_stream_t*>(doors_[kPlain].listener.get());
}

TransportKind TCPServer::doorOf(const uv_stream_t* listener) const {
  if (listener == reinterpret_cast<const uv_stream_t*>(doors_[kWebSocket].listener.get()))
    return secureWebSocket ? TransportKind::SecureWebSocket : TransportKind::WebSocket;
  if (listener == reinterpret_cast<const uv_stream_t*>(doors_[kTls].listener.get()))
    return TransportKind::Tls;
  return TransportKind::Tcp;
}

bool TCPServer::doorListening(TransportKind door) const {
  switch (door) {
    case TransportKind::Tcp:
      return doors_[kPlain].listening;
    case TransportKind::Tls:
      return doors_[kTls].listening;
    case TransportKind::WebSocket:
    case TransportKind::SecureWebSocket:
      return doors_[kWebSocket].listening;
  }
  return false;
}

int TCPServer::portOf(int door) const {
  return door == kPlain ? port : door == kWebSocket ? websocketPort : tlsPort;
}

const char* TCPServer::nameOf(int door) const {
  return door == kPlain ? "TCP" : door == kWebSocket ? "WebSocket" : "TLS";
}

void TCPServer::start() {
  bool all = true;
  for (int door = kPlain; door < kDoors; ++door) {
    if (door != kPlain && portOf(door) == 0) continue;
    if (!doors_[door].listening) doors_[door].listening = listen(door);
    all = all && doors_[door].listening;
  }
  setListening(all);
}

bool TCPServer::listen(int door) {
  uv_tcp_t* listener = doors_[door].listener.get();
  if (listener == nullptr) return false;  // closed by stopListening
  sockaddr_in bindAddress{};
  int status = uv_ip4_addr(address.c_str(), portOf(door), &bindAddress);
  if (status >= 0)  // never every interface in place of an address that does not parse
    status = uv_tcp_bind(listener, reinterpret_cast<const sockaddr*>(&bindAddress), 0);
  if (status < 0) {
    consoleWrite("%s bind error: %s\n", nameOf(door), uv_err_name(status));
    return false;
  }
  status = listenOn(reinterpret_cast<uv_stream_t*>(listener));
  if (status < 0) {
    consoleWrite("%s listening error: %s\n", nameOf(door), uv_err_name(status));
    return false;
  }
  return true;
}

}  // namespace velmor
