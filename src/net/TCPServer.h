#pragma once

#include <array>
#include <string>

#include "net/GenericServer.h"

namespace velmor {

// A GenericServer listening for TCP on one IPv4 address, at up to three doors: the plain
// port, the WebSocket port (wss when `secureWebSocket`) and the TLS port. Nagle's algorithm
// is off on the listening sockets and on every accepted connection. Each door keeps trying
// to listen until it does; the server is listening once every door it has does.
// Main loop only. The ports and `address` may be changed until the first start().
class TCPServer : public GenericServer {
 public:
  static constexpr int kDefaultPort = 7175;

  explicit TCPServer(uv_loop_t* loop);
  ~TCPServer() override;

  void start() override;
  // Whether the door listens (the plain one: as isListening()).
  bool doorListening(TransportKind door) const;

  int port = kDefaultPort;
  std::string address = "0.0.0.0";  // all IPv4 interfaces
  int websocketPort = 0;            // 0: no WebSocket door
  bool secureWebSocket = false;
  int tlsPort = 0;  // 0: no TLS door

 protected:
  uv_stream_t* serverHandle() const override;
  TransportKind doorOf(const uv_stream_t* listener) const override;
  void closeServerHandle() override;

 private:
  struct Door {
    UvHandle<uv_tcp_t> listener;
    bool listening = false;
  };
  enum DoorIndex { kPlain, kWebSocket, kTls, kDoors };
  int portOf(int door) const;
  const char* nameOf(int door) const;
  bool listen(int door);

  std::array<Door, kDoors> doors_;
};

}  // namespace velmor
