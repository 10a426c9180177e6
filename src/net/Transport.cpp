#include "net/Transport.h"

#include <arpa/inet.h>
#include <openssl/err.h>

#include <algorithm>
#include <cstring>

namespace velmor {

namespace {
// One TLS record's plaintext at most; ciphertext is drained in pieces of this size.
constexpr std::size_t kTlsChunk = 16384;

bool hasTls(TransportKind kind) {
  return kind == TransportKind::Tls || kind == TransportKind::SecureWebSocket;
}
bool hasWebSocket(TransportKind kind) {
  return kind == TransportKind::WebSocket || kind == TransportKind::SecureWebSocket;
}
}  // namespace

// The WebSocket layer's view of what lies below it (TLS or the socket) and above it.
class Transport::WebSocketIo final : public WebSocketSession::Io {
 public:
  WebSocketIo(Transport& transport, Transport::Io& io) : transport_(transport), io_(io) {}
  bool emit(const char* head, std::size_t headLength, const char* body,
            std::size_t bodyLength) override {
    return transport_.emitBelow(head, headLength, body, bodyLength, io_);
  }
  void deliver(const char* data, std::size_t length) override { io_.deliver(data, length); }
  bool closing() const override { return io_.closing(); }

 private:
  Transport& transport_;
  Transport::Io& io_;
};

Transport::Transport(TransportKind kind, bool proxied, SSL_CTX* tls, const DoorPolicy& policy)
    : kind_(kind),
      policy_(policy),
      awaitingClient_(proxied),
      established_(kind == TransportKind::Tcp) {
  // A proxy names the client in a PROXY header before TLS; on the WebSocket door in its
  // X-Forwarded-For header instead.
  if (proxied && !hasWebSocket(kind)) proxy_ = std::make_unique<ProxyHeader>();
  if (hasTls(kind) && tls != nullptr) {
    ssl_ = SSL_new(tls);
    tlsIn_ = BIO_new(BIO_s_mem());
    tlsOut_ = BIO_new(BIO_s_mem());
    if (ssl_ != nullptr && tlsIn_ != nullptr && tlsOut_ != nullptr) {
      SSL_set_bio(ssl_, tlsIn_, tlsOut_);  // ssl_ owns both from here
      SSL_set_accept_state(ssl_);
    } else {
      BIO_free(tlsIn_);
      BIO_free(tlsOut_);
      tlsIn_ = tlsOut_ = nullptr;
    }
  }
  if (hasWebSocket(kind)) webSocket_ = std::make_unique<WebSocketSession>(policy);
}

Transport::~Transport() {
  if (ssl_ != nullptr) SSL_free(ssl_);
}

bool Transport::receive(const char* data, std::size_t length, Io& io) {
  if (proxy_ != nullptr && !afterProxyHeader(data, length, io)) return false;
  if (proxy_ != nullptr || length == 0 || io.closing()) return true;
  if (hasTls(kind_)) return receiveTls(data, length, io);
  return receivePlain(data, length, io);
}

bool Transport::afterProxyHeader(const char*& data, std::size_t& length, Io& io) {
  std::size_t used = 0;
  switch (proxy_->take(data, length, used)) {
    case ProxyHeader::State::Reading:
      length = 0;
      return true;
    case ProxyHeader::State::Refused:
      return false;
    case ProxyHeader::State::Done:
      break;
  }
  const std::uint32_t client = proxy_->client();
  proxy_.reset();
  awaitingClient_ = false;
  data += used;
  length -= used;
  io.clientKnown(client);
  return true;
}

bool Transport::receiveTls(const char* data, std::size_t length, Io& io) {
  if (ssl_ == nullptr) return false;
  if (BIO_write(tlsIn_, data, static_cast<int>(length)) != static_cast<int>(length)) return false;
  if (!SSL_is_init_finished(ssl_)) {
    const int status = SSL_do_handshake(ssl_);
    if (!flushTls(io)) return false;
    if (status != 1) {
      const bool waiting = SSL_get_error(ssl_, status) == SSL_ERROR_WANT_READ;
      ERR_clear_error();
      return waiting;  // else not TLS, or a handshake that failed: the alert went out
    }
    if (kind_ == TransportKind::Tls) establish(io);
  }
  static char plain[kTlsChunk];  // main loop only; handed on before the next SSL_read
  while (!io.closing()) {
    const int read = SSL_read(ssl_, plain, sizeof(plain));
    if (read <= 0) {
      const int error = SSL_get_error(ssl_, read);
      ERR_clear_error();
      if (!flushTls(io)) return false;
      return error == SSL_ERROR_WANT_READ;  // else the peer's close_notify, or a failure
    }
    if (!receivePlain(plain, static_cast<std::size_t>(read), io)) {
      flushTls(io);
      return false;
    }
  }
  return flushTls(io);
}

bool Transport::receivePlain(const char* data, std::size_t length, Io& io) {
  if (webSocket_ == nullptr) {
    io.deliver(data, length);
    return true;
  }
  WebSocketIo below(*this, io);
  while (length != 0 && !io.closing()) {
    std::size_t used = 0;
    const WebSocketSession::Result result = webSocket_->receive(data, length, used, below);
    if (result == WebSocketSession::Result::Close) return false;
    data += used;
    length -= used;
    if (result == WebSocketSession::Result::Opened) {
      if (awaitingClient_) {
        std::uint32_t client = 0;
        if (!forwardedClient(client)) return false;
        awaitingClient_ = false;
        io.clientKnown(client);
      }
      establish(io);
    }
  }
  return true;
}

// The right-most address of X-Forwarded-For that is not a trusted proxy: each proxy appends
// the address it saw, so the ones before the first untrusted hop may be the client's lies.
bool Transport::forwardedClient(std::uint32_t& address) const {
  const std::string& header = webSocket_->forwardedFor();
  std::size_t end = header.size();
  while (end > 0) {
    std::size_t start = header.rfind(',', end - 1);
    start = start == std::string::npos ? 0 : start + 1;
    std::string entry = header.substr(start, end - start);
    entry.erase(0, entry.find_first_not_of(" \t"));
    entry.erase(entry.find_last_not_of(" \t") + 1);
    in_addr parsed{};
    if (inet_pton(AF_INET, entry.c_str(), &parsed) != 1) return false;  // not one of ours
    if (!policy_.trusts(parsed.s_addr)) {
      address = parsed.s_addr;
      return true;
    }
    end = start == 0 ? 0 : start - 1;
  }
  address = 0;  // no header, or only proxies: the proxy's own connection
  return true;
}

void Transport::establish(Io& io) {
  established_ = true;
  io.established();
}

bool Transport::send(const char* data, std::size_t length, Io& io) {
  if (!established_) {
    if (held_.size() + length > kMaxHeldBytes) return false;
    held_.append(data, length);
    return true;
  }
  if (!held_.empty()) {
    const std::string held = std::move(held_);
    held_.clear();
    if (!send(held.data(), held.size(), io)) return false;
  }
  if (webSocket_ != nullptr) {
    WebSocketIo below(*this, io);
    return webSocket_->send(data, length, below);
  }
  return emitBelow(data, length, nullptr, 0, io);
}

bool Transport::emitBelow(const char* head, std::size_t headLength, const char* body,
                          std::size_t bodyLength, Io& io) {
  if (hasTls(kind_)) return sendTls(head, headLength, body, bodyLength, io);
  uv_buf_t parts[2] = {uv_buf_init(const_cast<char*>(head), static_cast<unsigned>(headLength)),
                       uv_buf_init(const_cast<char*>(body), static_cast<unsigned>(bodyLength))};
  return io.emit(parts, bodyLength == 0 ? 1 : 2);
}

bool Transport::sendTls(const char* head, std::size_t headLength, const char* body,
                        std::size_t bodyLength, Io& io) {
  if (ssl_ == nullptr || !SSL_is_init_finished(ssl_)) return false;
  // A WebSocket header and a small payload go in one record.
  static char joined[kTlsChunk];  // main loop only
  if (bodyLength != 0 && headLength + bodyLength <= sizeof(joined)) {
    std::memcpy(joined, head, headLength);
    std::memcpy(joined + headLength, body, bodyLength);
    head = joined;
    headLength += bodyLength;
    bodyLength = 0;
  }
  for (const auto& [data, length] : {std::pair{head, headLength}, std::pair{body, bodyLength}}) {
    if (length != 0 && SSL_write(ssl_, data, static_cast<int>(length)) <= 0) {
      ERR_clear_error();
      return false;
    }
  }
  return flushTls(io);
}

bool Transport::flushTls(Io& io) {
  static char cipher[kTlsChunk];  // main loop only; emit copies what the socket leaves
  while (BIO_ctrl_pending(tlsOut_) > 0) {
    const int read = BIO_read(tlsOut_, cipher, sizeof(cipher));
    if (read <= 0) break;
    uv_buf_t part = uv_buf_init(cipher, static_cast<unsigned>(read));
    if (!io.emit(&part, 1)) return false;
  }
  return true;
}

void Transport::goodbye(std::uint16_t code, Io& io) {
  if (!established_) return;
  if (webSocket_ != nullptr) {
    WebSocketIo below(*this, io);
    webSocket_->close(code, below);
  }
  if (ssl_ != nullptr && SSL_is_init_finished(ssl_)) {
    SSL_shutdown(ssl_);
    ERR_clear_error();
    flushTls(io);
  }
}

}  // namespace velmor
