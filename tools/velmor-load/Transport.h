#pragma once

#include <openssl/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "net/TransportKind.h"

namespace velmor::load {

// Which door of the server the clients come through, named as the server names it (tcp, ws,
// wss, tls). WebSocket carries one request frame per message.
using velmor::TransportKind;
using velmor::transportName;

// The door of a name transportName gives; nothing for any other text.
std::optional<TransportKind> parseTransport(std::string_view name);

// What a transport needs of the connection it wraps: the socket below it and the protocol's
// byte stream above it. Implemented by LoadClient; loop thread only.
class TransportSink {
 public:
  virtual void writeToSocket(std::string_view bytes) = 0;
  // Protocol bytes, in order; they may hold pieces of frames. Valid for the call only.
  virtual void receiveStream(const char* data, std::size_t length) = 0;
  // The handshakes are done: the protocol may start.
  virtual void transportOpen() = 0;
  // The transport cannot go on (a refused handshake, a TLS alert, a close from the server).
  virtual void transportFailed(std::string_view why) = 0;

 protected:
  ~TransportSink() = default;
};

// The wrapping of one connection's byte stream (TLS, WebSocket or both) between its socket
// and the protocol. Owned by its LoadClient; loop thread only. It writes through the sink and
// never blocks: what a socket cannot take at once, the client queues.
class Transport {
 public:
  virtual ~Transport() = default;
  // The TCP connection is up: begin the handshakes.
  virtual void start() = 0;
  // Protocol bytes to the server (one whole request frame, in practice).
  virtual void send(std::string_view bytes) = 0;
  // Bytes as they came from the socket.
  virtual void receive(const char* data, std::size_t length) = 0;
};

// What every connection of one run shares: the kind of transport and, for TLS, the one
// client context. The server's certificate is not verified (a load tool against a local
// server with a self-signed certificate). Owned by the scenario; loop thread only.
class TransportFactory {
 public:
  explicit TransportFactory(TransportKind kind);
  ~TransportFactory();
  TransportFactory(const TransportFactory&) = delete;
  TransportFactory& operator=(const TransportFactory&) = delete;

  TransportKind kind() const { return kind_; }
  // Nothing for Tcp: the client then reads and writes its socket directly.
  std::unique_ptr<Transport> make(TransportSink& sink, std::uint16_t port) const;
  // Counts a connection that could not connect or whose transport failed (a refused
  // handshake, a TLS alert, a close from the server) and prints the first reason (the rest
  // would repeat it).
  void noteFailure(std::string_view why) const;
  std::uint64_t failures() const { return failures_; }

 private:
  TransportKind kind_;
  SSL_CTX* tls_ = nullptr;
  mutable std::uint64_t failures_ = 0;
};

}  // namespace velmor::load
