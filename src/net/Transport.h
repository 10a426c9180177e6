#pragma once

#include <openssl/ssl.h>
#include <uv.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "net/ProxyHeader.h"
#include "net/TransportKind.h"
#include "net/WebSocketSession.h"

namespace velmor {

// What lies between one connection's socket and the protocol's byte stream, from the
// socket up: the PROXY header of a trusted proxy, TLS (OpenSSL over memory buffers, so the
// socket stays libuv's and every byte still passes the connection's output limits), and
// WebSocket. A plain TCP connection from anyone but a proxy has none of them and no
// Transport at all.
//
//   socket --> [ PROXY header ] --> [ TLS ] --> [ WebSocket ] --> deliver (frame loop)
//   send   --> [ WebSocket ] --> [ TLS ] --> emit (the connection's output)
//
// Until its handshakes are done a connection is not established: what the application
// sends meanwhile (a refusal at connect) is held, at most kMaxHeldBytes, and goes out when
// they are. Owned by the connection's ClientData; main loop only.
class Transport {
 public:
  static constexpr std::size_t kMaxHeldBytes = 1024;
  // Close codes of the WebSocket goodbye.
  static constexpr std::uint16_t kCloseNormal = 1000;
  static constexpr std::uint16_t kCloseGoingAway = 1001;
  static constexpr std::uint16_t kClosePolicy = 1008;

  // The connection's side of it: GenericServer, for one connection.
  class Io {
   public:
    // Bytes for the socket, the parts in order; false when the connection failed.
    virtual bool emit(const uv_buf_t* parts, unsigned count) = 0;
    // The protocol's bytes from the client.
    virtual void deliver(const char* data, std::size_t length) = 0;
    // A proxied connection's client is known: its IPv4 address (network order), or 0 for
    // the proxy's own. The application may refuse him then (closing() tells).
    virtual void clientKnown(std::uint32_t address) = 0;
    // The handshakes are done: held output may go.
    virtual void established() = 0;
    virtual bool closing() const = 0;

   protected:
    ~Io() = default;
  };

  // `proxied`: the peer is a trusted proxy, whose header names the client. `tls`: the
  // context for a TLS door (its reference is taken), else null.
  Transport(TransportKind kind, bool proxied, SSL_CTX* tls, const DoorPolicy& policy);
  ~Transport();
  Transport(const Transport&) = delete;
  Transport& operator=(const Transport&) = delete;

  // Bytes read from the socket. False: the connection is to close (after what was emitted).
  bool receive(const char* data, std::size_t length, Io& io);
  // The application's bytes. False if they cannot be sent (the session failed, or too much
  // waits for the handshakes).
  bool send(const char* data, std::size_t length, Io& io);
  // The last words before the socket closes: WebSocket's close frame, TLS's close_notify.
  void goodbye(std::uint16_t code, Io& io);

  bool established() const { return established_; }
  // A proxied connection whose header has not named the client yet.
  bool awaitingClient() const { return awaitingClient_; }
  bool holdsOutput() const { return !held_.empty(); }
  // Set when the application closed the connection before it was established: it closes
  // once established and its held output sent.
  bool closeWhenEstablished = false;

 private:
  class WebSocketIo;
  bool afterProxyHeader(const char*& data, std::size_t& length, Io& io);
  bool receiveTls(const char* data, std::size_t length, Io& io);
  bool receivePlain(const char* data, std::size_t length, Io& io);
  bool sendTls(const char* head, std::size_t headLength, const char* body, std::size_t bodyLength,
               Io& io);
  bool flushTls(Io& io);
  bool emitBelow(const char* head, std::size_t headLength, const char* body, std::size_t bodyLength,
                 Io& io);
  void establish(Io& io);
  bool forwardedClient(std::uint32_t& address) const;

  const TransportKind kind_;
  const DoorPolicy& policy_;
  std::unique_ptr<ProxyHeader> proxy_;  // until the header is read
  bool awaitingClient_;                 // a proxied connection's client is not known yet
  SSL* ssl_ = nullptr;
  BIO* tlsIn_ = nullptr;   // ciphertext read, owned by ssl_
  BIO* tlsOut_ = nullptr;  // ciphertext to send, owned by ssl_
  std::unique_ptr<WebSocketSession> webSocket_;
  bool established_;
  std::string held_;
};

}  // namespace velmor
