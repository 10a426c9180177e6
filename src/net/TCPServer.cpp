#include "net/TCPServer.h"

#include "base/Console.h"

namespace velmor {

TCPServer::TCPServer(uv_loop_t* loop)
    : GenericServer(loop), listener_([loop](uv_tcp_t* tcp) { return uv_tcp_init(loop, tcp); }) {
  uv_tcp_nodelay(listener_.get(), 1);
  listener_.get()->data = static_cast<GenericServer*>(this);
}

TCPServer::~TCPServer() {
  listener_.close();
}

uv_stream_t* TCPServer::serverHandle() const {
  return reinterpret_cast<uv_stream_t*>(listener_.get());
}

void TCPServer::start() {
  if (!listener_) return;  // closed by stopListening
  sockaddr_in bindAddress{};
  int status = uv_ip4_addr(address.c_str(), port, &bindAddress);
  if (status < 0) {  // never every interface in place of an address that does not parse
    consoleWrite("TCP bind error: %s\n", uv_err_name(status));
    setListening(false);
    return;
  }
  status = uv_tcp_bind(listener_.get(), reinterpret_cast<const sockaddr*>(&bindAddress), 0);
  if (status < 0) {
    consoleWrite("TCP bind error: %s\n", uv_err_name(status));
    setListening(false);
    return;
  }
  status = listenOn(serverHandle());
  if (status < 0) {
    consoleWrite("TCP listening error: %s\n", uv_err_name(status));
    setListening(false);
    return;
  }
  setListening(true);
}

}  // namespace velmor
