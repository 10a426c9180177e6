#pragma once

#include <string>

#include "net/GenericServer.h"

namespace velmor {

// A GenericServer listening for TCP on one IPv4 address and port, with Nagle's
// algorithm off on the listening socket and on every accepted connection.
// Main loop only. `port` and `address` may be changed until the first start().
class TCPServer : public GenericServer {
 public:
  static constexpr int kDefaultPort = 7175;

  explicit TCPServer(uv_loop_t* loop);
  ~TCPServer() override;

  void start() override;

  int port = kDefaultPort;
  std::string address = "0.0.0.0";  // all IPv4 interfaces

 protected:
  uv_stream_t* serverHandle() const override;
  void closeServerHandle() override { listener_.close(); }

 private:
  UvHandle<uv_tcp_t> listener_;
};

}  // namespace velmor
