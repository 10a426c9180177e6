#pragma once

#include <sys/socket.h>
#include <uv.h>

#include <cstddef>
#include <cstdint>

#include "net/BacklogIndex.h"
#include "net/OutputQueue.h"

namespace velmor {

class GenericServer;

// The record of one accepted connection, attached to the client's uv_tcp_t as its
// user data. Created by GenericServer::createClient, owned by the framework together
// with the client handle, and destroyed (through the virtual destructor) in the close
// callback of that handle. Main loop only.
class ClientData {
 public:
  static constexpr std::size_t kReadBufferSize = 8192;
  static constexpr std::size_t kReadSize = 2048;  // bytes handed out per read

  ClientData(uv_stream_t* client, uv_stream_t* server);
  virtual ~ClientData();

  ClientData(const ClientData&) = delete;
  ClientData& operator=(const ClientData&) = delete;

  // IPv4 address of the peer in network byte order, 0 for any other family.
  std::uint32_t peerIPv4() const;

  uv_stream_t* client;  // the connection's own TCP handle
  uv_stream_t* server;  // the listening handle that accepted it; its data is the server
  // The server that accepted the connection. Kept apart from `server` because the
  // listening handle may be closed and freed (at shutdown) before its clients close.
  GenericServer* owner = nullptr;
  sockaddr_storage peerAddress{};
  bool connected = false;  // accepted; from then on the close produces onDisconnect

  // Links of the server's list of open connections (GenericServer only).
  ClientData* previousOpen = nullptr;
  ClientData* nextOpen = nullptr;

  alignas(8) char readBuffer[kReadBufferSize];

 private:
  // The output the socket has not taken yet and its place among the backlogs; GenericServer's
  // alone, kept here so that a connection's output lives and dies with it.
  friend class GenericServer;
  friend class BacklogIndex;
  OutputQueue output_;
  std::size_t backlogSlot_ = BacklogIndex::kNoSlot;
};

}  // namespace velmor
