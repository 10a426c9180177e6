#pragma once

#include <uv.h>

#include <atomic>
#include <cstddef>
#include <vector>

#include "base/RelaxedCounter.h"
#include "base/UvHandle.h"
#include "net/BacklogIndex.h"
#include "net/ClientData.h"
#include "net/OutputBufferPool.h"
#include "net/TlsContext.h"
#include "net/TransportKind.h"

namespace velmor {

// A stream server bound to one event loop, independent of any protocol. It keeps
// trying to listen (start()) every second until it succeeds, accepts connections,
// reads into each client's own buffer, queues what a socket does not take at once in
// pooled buffers of the connection's own (one write in flight per connection) and turns
// the libuv callbacks of every connection into calls of its virtual operations.
//
// Ownership: the framework allocates each client's uv_tcp_t and its ClientData and
// frees both in the client's close callback, after onDisconnect. A client is closed
// only through closeClient (or the read and write paths), which never closes twice,
// so onDisconnect runs exactly once per accepted connection.
//
// Thread: main loop only, except isListening(), totalPendingOutput() and slowReaderCloses(),
// which any thread may read.
// REQUIRES for destruction: every client closed and the loop run until their close
// callbacks finished (shutdown() then uv_run), since queued output is the pool's.
class GenericServer {
 public:
  explicit GenericServer(uv_loop_t* loop);
  virtual ~GenericServer();

  GenericServer(const GenericServer&) = delete;
  GenericServer& operator=(const GenericServer&) = delete;

  // Binds and listens; sets the listening flag on success, prints why on failure.
  virtual void start() = 0;
  virtual ClientData* createClient(uv_stream_t* client, uv_stream_t* serverHandle);
  virtual void onData(uv_stream_t* client, ssize_t nread, const uv_buf_t* buf) = 0;
  // True keeps the connection (reading starts); false closes it, unless onConnect
  // already did. onDisconnect follows in both cases.
  virtual bool onConnect(uv_stream_t* client) = 0;
  virtual void onDisconnect(uv_stream_t* client) = 0;

  // Sends the bytes (wrapped as the connection's door wants them); they are written at once if
  // nothing waits for the connection and the socket takes them, else what is left is copied to the
  // end of the connection's queued output, so the caller may reuse `data` as soon as this returns.
  // False if the connection failed, passed an output limit (it is then being closed) or is already
  // closing.
  bool write(uv_stream_t* client, const char* data, std::size_t length);

  // Closes the connection unless it is already closing; onDisconnect follows later. On a
  // WebSocket the goodbye carries `code`. One that holds a refusal for a handshake still
  // going on closes once the handshake is done and the refusal sent (or at its deadline).
  void closeClient(uv_stream_t* client, std::uint16_t code = Transport::kCloseNormal);
  // Stops reading from the connection until resumeReading: what the client sends meanwhile
  // waits in the socket (and, once its buffers are full, in the client). Writing goes on.
  void pauseReading(uv_stream_t* client);
  void resumeReading(uv_stream_t* client);

  // Stops the listen retries and closes the listening handle; new connections are
  // no longer accepted. Idempotent.
  void stopListening();
  // Closes every open connection. Idempotent.
  void closeAllClients();

  // What the doors apply: trusted proxies, allowed origins. Set before listening.
  void setDoorPolicy(DoorPolicy policy) { doorPolicy_ = std::move(policy); }
  // A reload's new pages; a request being answered keeps the bytes it was given.
  void setWebFolder(std::shared_ptr<const WebFolder> web) { doorPolicy_.web = std::move(web); }
  // The certificate of the TLS doors; replaced by a reload (open connections keep theirs).
  TlsContext& tls() { return tls_; }
  // Milliseconds a connection by a door with a handshake (TLS, WebSocket, a proxy's header)
  // has to finish it; 0: no limit.
  void setHandshakeTimeout(std::uint64_t ms) { handshakeTimeoutMs_ = ms; }

  // Per door: connections accepted, bytes read from and written to their sockets.
  struct DoorTraffic {
    RelaxedCounter<std::uint64_t> connections;
    RelaxedCounter<std::uint64_t> bytesReceived;
    RelaxedCounter<std::uint64_t> bytesSent;
  };
  const DoorTraffic& doorTraffic(TransportKind kind) const {
    return doorTraffic_[static_cast<std::size_t>(kind)];
  }

  // Calls `visit` for every accepted connection that is not closed yet.
  template <typename Visit>
  void forEachOpenClient(Visit&& visit) {
    for (ClientData* data = openHead_; data != nullptr; data = data->nextOpen) visit(*data);
  }

  // A connection whose queued output would hold more than this many bytes is closed: a
  // client that stops reading cannot make the server hold its output without bound. Output
  // is held, and counted, in whole buffers of OutputBuffer::kSize bytes. 0: no limit.
  void setMaxPendingOutput(std::size_t bytes) { maxPendingOutput_ = bytes; }
  // TCP keep-alive on every connection accepted from now on: probes after `seconds` of
  // silence, then every seconds/6 (at least 1), six unanswered probes end the connection;
  // unacknowledged output ends it after as long. A vanished peer is so closed after about
  // twice `seconds`. 0: no probes.
  void setKeepAlive(unsigned seconds) { keepAliveSeconds_ = seconds; }
  // The same for the output held for all connections together: when queuing would take it
  // past this, the connection holding the largest backlog is closed (the next largest too,
  // if need be), the writer only when its own backlog would be the largest. 0: no limit.
  void setMaxTotalPendingOutput(std::size_t bytes) { maxTotalPendingOutput_ = bytes; }
  // Bytes held for output not written yet, all connections together, as the limits count
  // them (whole buffers).
  std::size_t totalPendingOutput() const { return totalPendingOutput_.get(); }
  // Connections closed for passing either limit (read by the status text).
  std::uint64_t slowReaderCloses() const {
    return slowReaderCloses_.load(std::memory_order_relaxed);
  }

  bool isListening() const { return listening_.load(std::memory_order_relaxed); }
  // Attempts to listen so far (one at the first turn of the loop, then one a second).
  std::size_t listenAttempts() const { return listenAttempts_; }
  uv_loop_t* loop() const { return loop_; }
  std::size_t openClientCount() const { return openClients_; }
  const OutputBufferPool& outputBuffers() const { return outputBuffers_; }

 protected:
  // The listening handle, created by the derived server; its data must be this server.
  virtual uv_stream_t* serverHandle() const = 0;
  // The door a listening handle is.
  virtual TransportKind doorOf(const uv_stream_t* listener) const = 0;
  virtual void closeServerHandle() = 0;
  void setListening(bool listening) { listening_.store(listening, std::memory_order_relaxed); }

  // Starts listening on the server handle with backlog 128; a libuv status.
  int listenOn(uv_stream_t* handle);

 private:
  static void onRetryTimer(uv_timer_t* timer);
  static void onConnection(uv_stream_t* serverHandle, int status);
  static void onAllocate(uv_handle_t* handle, std::size_t suggested, uv_buf_t* buf);
  static void onRead(uv_stream_t* client, ssize_t nread, const uv_buf_t* buf);
  static void onWriteDone(uv_write_t* request, int status);
  static void onClientClosed(uv_handle_t* handle);

  void accept(uv_stream_t* serverHandle);
  bool queueOutput(ClientData& connection, const char* data, std::size_t length);
  bool makeRoomFor(ClientData& writer, std::size_t growth);
  void closeSlowReader(ClientData& connection);
  bool startWrite(ClientData& connection);
  void dropOutput(ClientData& connection);
  void outputChanged(ClientData& connection, std::size_t heldBefore);
  void keepProbing(uv_tcp_t* tcp);
  void acceptFailed(int status);
  void checkDescriptorsLeft(uv_stream_t* listener);
  void linkOpen(ClientData* data);
  void unlinkOpen(ClientData* data);

  // A list of connections in the order of their deadlines (each list has one delay).
  class DueList {
   public:
    void append(ClientData& data, std::uint64_t at);
    void remove(ClientData& data);
    ClientData* first() const { return head_; }

   private:
    ClientData* head_ = nullptr;
    ClientData* tail_ = nullptr;
  };
  class ConnectionIo;
  static void onSweep(uv_timer_t* timer);
  static void onDeparted(uv_timer_t* timer);
  static void onShutdown(uv_shutdown_t* request, int status);
  void sweep();
  void layered(ClientData& connection, TransportKind door, bool proxied);
  void readThrough(ClientData& connection, const char* data, std::size_t length);
  bool writeRaw(ClientData& connection, const uv_buf_t* parts, unsigned count);
  void admit(ClientData& connection);
  void establish(ClientData& connection);
  void linger(ClientData& connection);
  void closeNow(ClientData& connection);
  bool isClosing(const ClientData& connection) const;

  uv_loop_t* const loop_;
  UvHandle<uv_timer_t> retryTimer_;
  UvHandle<uv_timer_t> sweepTimer_;  // the handshake and linger deadlines
  DoorPolicy doorPolicy_;
  TlsContext tls_;
  std::uint64_t handshakeTimeoutMs_ = 0;
  DueList handshaking_;
  DueList lingering_;
  // Lingering connections whose onDisconnect is due at the next turn of the loop: never
  // inside the close that made them linger, whose caller may be walking a list of users.
  std::vector<ClientData*> departing_;
  UvHandle<uv_timer_t> departTimer_;
  DoorTraffic doorTraffic_[kTransportKinds];
  std::atomic<bool> listening_{false};
  OutputBufferPool outputBuffers_;
  BacklogIndex backlogs_;           // the connections holding output, by the bytes they hold
  ClientData* openHead_ = nullptr;  // every accepted connection not yet closed
  unsigned keepAliveSeconds_ = 0;
  bool acceptFailing_ = false;    // the console was told; until an accept succeeds again
  bool keepAliveFailed_ = false;  // the console was told that probes could not be set
  std::size_t maxPendingOutput_ = 0;
  std::size_t maxTotalPendingOutput_ = 0;
  // Bytes of the buffers of every connection's queued output: the sum of their heldBytes().
  RelaxedCounter<std::size_t> totalPendingOutput_;
  std::atomic<std::uint64_t> slowReaderCloses_{0};
  std::size_t openClients_ = 0;
  std::size_t listenAttempts_ = 0;
};

}  // namespace velmor
