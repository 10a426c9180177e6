#pragma once

#include <sys/socket.h>
#include <uv.h>

#include <cstddef>
#include <cstdint>
#include <memory>

#include "net/BacklogIndex.h"
#include "net/OutputQueue.h"
#include "net/Transport.h"
#include "net/TransportKind.h"

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
  TransportKind transport = TransportKind::Tcp;  // the door it came in by

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
  // The layers of a connection by another door, or from a proxy; none for plain TCP.
  std::unique_ptr<Transport> layers_;
  bool firstRead_ = true;
  // Said goodbye: the application forgot it (onDisconnect ran); the socket sends what is left
  // and waits a moment for the peer's close, reading and dropping what comes.
  bool lingering_ = false;
  uv_shutdown_t shutdown_{};
  // On one of the server's deadline lists (handshaking, lingering), in deadline order.
  ClientData* previousDue_ = nullptr;
  ClientData* nextDue_ = nullptr;
  std::uint64_t dueAt_ = 0;
  const void* dueList_ = nullptr;  // the list it is on
};

}  // namespace velmor
