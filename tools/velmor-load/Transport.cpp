// The transports' use of the libraries, kept here: OpenSSL for TLS (memory BIOs between the
// socket and the protocol, and SHA-1 and base64 for the WebSocket key), http_parser for the
// server's answer to the upgrade, wslay for WebSocket framing.
#include "Transport.h"

#include <http_parser.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/sha.h>
#include <openssl/ssl.h>
#include <wslay/wslay.h>

#include <cstdio>
#include <cstring>

namespace velmor::load {

namespace {

constexpr std::size_t kChunk = 16384;  // bytes moved between a BIO and the socket at a time

std::string openSslReason() {
  const unsigned long code = ERR_get_error();
  ERR_clear_error();
  if (code == 0) return "no reason given";
  char text[256];
  ERR_error_string_n(code, text, sizeof(text));
  return text;
}

std::string base64(const unsigned char* data, std::size_t length) {
  std::string out(4 * ((length + 2) / 3), '\0');
  const int n =
      EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), data, static_cast<int>(length));
  out.resize(static_cast<std::size_t>(n));
  return out;
}

// --- TLS ----------------------------------------------------------------------------------

// The client side of TLS on memory BIOs: what the socket brings is written into one, what
// SSL writes is taken out of the other and handed to the sink's socket.
class TlsLayer final : public Transport {
 public:
  TlsLayer(TransportSink& sink, SSL_CTX* context) : sink_(sink), ssl_(SSL_new(context)) {
    SSL_set_bio(ssl_, BIO_new(BIO_s_mem()), BIO_new(BIO_s_mem()));
    SSL_set_connect_state(ssl_);
  }
  ~TlsLayer() override { SSL_free(ssl_); }

  void start() override { handshake(); }

  void send(std::string_view bytes) override {
    if (!open_ || failed_ || bytes.empty()) return;
    ERR_clear_error();
    // A memory BIO takes everything: the write is whole or fails.
    if (SSL_write(ssl_, bytes.data(), static_cast<int>(bytes.size())) <= 0) {
      fail("TLS write failed: " + openSslReason());
      return;
    }
    flush();
  }

  void receive(const char* data, std::size_t length) override {
    if (failed_) return;
    BIO_write(SSL_get_rbio(ssl_), data, static_cast<int>(length));
    if (!open_) handshake();
    if (!open_ || failed_) return;
    static char plain[65536];  // loop thread only; the sink copies what it keeps
    for (;;) {
      ERR_clear_error();
      const int n = SSL_read(ssl_, plain, sizeof(plain));
      if (n > 0) {
        sink_.receiveStream(plain, static_cast<std::size_t>(n));
        if (failed_) return;
        continue;
      }
      const int error = SSL_get_error(ssl_, n);
      if (error == SSL_ERROR_WANT_READ) break;
      fail(error == SSL_ERROR_ZERO_RETURN ? "the server ended TLS"
                                          : "TLS read failed: " + openSslReason());
      return;
    }
    flush();  // post-handshake messages, key updates
  }

 private:
  void handshake() {
    ERR_clear_error();
    const int result = SSL_do_handshake(ssl_);
    flush();
    if (result == 1) {
      open_ = true;
      sink_.transportOpen();
      return;
    }
    const int error = SSL_get_error(ssl_, result);
    if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE)
      fail("TLS handshake failed: " + openSslReason());
  }

  void flush() {
    BIO* out = SSL_get_wbio(ssl_);
    char chunk[kChunk];
    for (int n; (n = BIO_read(out, chunk, sizeof(chunk))) > 0;)
      sink_.writeToSocket(std::string_view(chunk, static_cast<std::size_t>(n)));
  }

  void fail(const std::string& why) {
    failed_ = true;
    sink_.transportFailed(why);
  }

  TransportSink& sink_;
  SSL* ssl_;  // owns both BIOs
  bool open_ = false;
  bool failed_ = false;
};

// --- WebSocket ----------------------------------------------------------------------------

constexpr const char* kAcceptGuid = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";

// The client side of WebSocket: the upgrade request, the server's answer read with
// http_parser and checked (101, Sec-WebSocket-Accept), then wslay's event context without
// buffering, so that binary data reaches the sink chunk by chunk as it is read, while wslay
// answers pings and closes itself. Every request goes out as one binary message.
class WebSocketLayer final : public Transport {
 public:
  WebSocketLayer(TransportSink& sink, std::uint16_t port, std::uint64_t seed)
      : sink_(sink), port_(port), maskState_(seed * 0x9E3779B97F4A7C15ull | 1) {
    http_parser_init(&parser_, HTTP_RESPONSE);
    parser_.data = this;
    http_parser_settings_init(&settings_);
    settings_.on_header_field = [](http_parser* p, const char* at, std::size_t n) {
      auto* self = static_cast<WebSocketLayer*>(p->data);
      if (self->inValue_) self->endHeader();
      self->field_.append(at, n);
      return 0;
    };
    settings_.on_header_value = [](http_parser* p, const char* at, std::size_t n) {
      auto* self = static_cast<WebSocketLayer*>(p->data);
      self->inValue_ = true;
      self->value_.append(at, n);
      return 0;
    };
    settings_.on_headers_complete = [](http_parser* p) {
      auto* self = static_cast<WebSocketLayer*>(p->data);
      if (self->inValue_) self->endHeader();
      self->headersDone_ = true;
      return 0;
    };
  }
  ~WebSocketLayer() override {
    if (context_ != nullptr) wslay_event_context_free(context_);
  }

  void start() override {
    unsigned char nonce[16];
    RAND_bytes(nonce, sizeof(nonce));
    const std::string key = base64(nonce, sizeof(nonce));
    const std::string keyed = key + kAcceptGuid;
    unsigned char digest[SHA_DIGEST_LENGTH];
    SHA1(reinterpret_cast<const unsigned char*>(keyed.data()), keyed.size(), digest);
    expectedAccept_ = base64(digest, sizeof(digest));
    const std::string request = "GET / HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port_) +
                                "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                                "Sec-WebSocket-Key: " +
                                key + "\r\nSec-WebSocket-Version: 13\r\n\r\n";
    sink_.writeToSocket(request);
  }

  void send(std::string_view bytes) override {
    if (context_ == nullptr || failed_) return;
    wslay_event_msg message{WSLAY_BINARY_FRAME, reinterpret_cast<const std::uint8_t*>(bytes.data()),
                            bytes.size()};
    if (wslay_event_queue_msg(context_, &message) != 0) return;  // closing: nothing more goes
    flush();
  }

  void receive(const char* data, std::size_t length) override {
    if (failed_) return;
    if (context_ == nullptr) {
      const std::size_t used = http_parser_execute(&parser_, &settings_, data, length);
      if (HTTP_PARSER_ERRNO(&parser_) != HPE_OK && !parser_.upgrade) {
        fail(std::string("the answer to the WebSocket upgrade is not HTTP: ") +
             http_errno_description(HTTP_PARSER_ERRNO(&parser_)));
        return;
      }
      if (!headersDone_) return;
      if (!upgraded()) return;
      data += used;
      length -= used;
    }
    inbox_ = data;
    inboxLength_ = length;
    const int result = wslay_event_recv(context_);
    inboxLength_ = 0;
    if (failed_) return;
    flush();
    if (result != 0) {
      fail("WebSocket protocol error from the server");
    } else if (wslay_event_get_close_received(context_)) {
      fail("the server closed the WebSocket with code " +
           std::to_string(wslay_event_get_status_code_received(context_)));
    }
  }

 private:
  void endHeader() {
    for (char& c : field_) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (field_ == "sec-websocket-accept") accept_ = value_;
    field_.clear();
    value_.clear();
    inValue_ = false;
  }

  // The headers are in: checks them and opens wslay's context. False: refused (the sink
  // was told).
  bool upgraded() {
    if (parser_.status_code != 101 || !parser_.upgrade) {
      fail("the WebSocket upgrade was answered with HTTP " + std::to_string(parser_.status_code));
      return false;
    }
    if (accept_ != expectedAccept_) {
      fail("the WebSocket upgrade's Sec-WebSocket-Accept is wrong");
      return false;
    }
    wslay_event_callbacks callbacks{};
    callbacks.recv_callback = [](wslay_event_context_ptr context, std::uint8_t* buffer,
                                 std::size_t length, int, void* user) -> ssize_t {
      auto* self = static_cast<WebSocketLayer*>(user);
      if (self->inboxLength_ == 0) {
        wslay_event_set_error(context, WSLAY_ERR_WOULDBLOCK);
        return -1;
      }
      const std::size_t n = std::min(length, self->inboxLength_);
      std::memcpy(buffer, self->inbox_, n);
      self->inbox_ += n;
      self->inboxLength_ -= n;
      return static_cast<ssize_t>(n);
    };
    callbacks.send_callback = [](wslay_event_context_ptr, const std::uint8_t* data,
                                 std::size_t length, int, void* user) -> ssize_t {
      auto* self = static_cast<WebSocketLayer*>(user);
      self->sink_.writeToSocket(std::string_view(reinterpret_cast<const char*>(data), length));
      return static_cast<ssize_t>(length);
    };
    // Masks need not be unpredictable here (our own server on loopback): a cheap generator.
    callbacks.genmask_callback = [](wslay_event_context_ptr, std::uint8_t* buffer,
                                    std::size_t length, void* user) {
      auto* self = static_cast<WebSocketLayer*>(user);
      std::uint64_t& x = self->maskState_;
      x ^= x << 13;
      x ^= x >> 7;
      x ^= x << 17;
      for (std::size_t i = 0; i < length; ++i)
        buffer[i] = static_cast<std::uint8_t>(x >> (8 * (i % 8)));
      return 0;
    };
    callbacks.on_frame_recv_start_callback =
        [](wslay_event_context_ptr, const wslay_event_on_frame_recv_start_arg* arg, void* user) {
          auto* self = static_cast<WebSocketLayer*>(user);
          if (arg->opcode == WSLAY_TEXT_FRAME || arg->opcode == WSLAY_BINARY_FRAME)
            self->messageOpcode_ = arg->opcode;
          self->frameIsBinary_ =
              arg->opcode == WSLAY_BINARY_FRAME || (arg->opcode == WSLAY_CONTINUATION_FRAME &&
                                                    self->messageOpcode_ == WSLAY_BINARY_FRAME);
          self->frameIsText_ =
              arg->opcode == WSLAY_TEXT_FRAME ||
              (arg->opcode == WSLAY_CONTINUATION_FRAME && self->messageOpcode_ == WSLAY_TEXT_FRAME);
        };
    callbacks.on_frame_recv_chunk_callback = [](wslay_event_context_ptr context,
                                                const wslay_event_on_frame_recv_chunk_arg* arg,
                                                void* user) {
      auto* self = static_cast<WebSocketLayer*>(user);
      if (self->failed_) return;
      if (self->frameIsBinary_) {
        self->sink_.receiveStream(reinterpret_cast<const char*>(arg->data), arg->data_length);
      } else if (self->frameIsText_) {
        wslay_event_shutdown_read(context);
        self->fail("the server sent a text message");
      }
    };
    if (wslay_event_context_client_init(&context_, &callbacks, this) != 0) {
      fail("no memory for a WebSocket context");
      return false;
    }
    wslay_event_config_set_no_buffering(context_, 1);
    sink_.transportOpen();
    return !failed_;
  }

  void flush() {
    if (wslay_event_send(context_) != 0 && !failed_) fail("WebSocket write failed");
  }

  void fail(const std::string& why) {
    if (failed_) return;
    failed_ = true;
    sink_.transportFailed(why);
  }

  TransportSink& sink_;
  std::uint16_t port_;
  std::uint64_t maskState_;
  // The upgrade.
  http_parser parser_{};
  http_parser_settings settings_{};
  std::string field_, value_, accept_, expectedAccept_;
  bool inValue_ = false;
  bool headersDone_ = false;
  // The framing, once upgraded.
  wslay_event_context_ptr context_ = nullptr;
  const char* inbox_ = nullptr;  // what wslay's reads take, during receive() only
  std::size_t inboxLength_ = 0;
  std::uint8_t messageOpcode_ = WSLAY_BINARY_FRAME;
  bool frameIsBinary_ = false;
  bool frameIsText_ = false;
  bool failed_ = false;
};

// --- WebSocket inside TLS -----------------------------------------------------------------

// The two layers stacked: TLS next to the socket, WebSocket above it, the protocol on top.
class SecureWebSocket final : public Transport {
 public:
  SecureWebSocket(TransportSink& sink, SSL_CTX* context, std::uint16_t port, std::uint64_t seed)
      : below_{sink, *this}, above_{sink, *this}, tls_(below_, context), ws_(above_, port, seed) {}

  void start() override { tls_.start(); }
  void send(std::string_view bytes) override { ws_.send(bytes); }
  void receive(const char* data, std::size_t length) override { tls_.receive(data, length); }

 private:
  // What TLS sees: the socket below, WebSocket above.
  struct Below final : TransportSink {
    Below(TransportSink& client, SecureWebSocket& stack) : client(client), stack(stack) {}
    void writeToSocket(std::string_view bytes) override { client.writeToSocket(bytes); }
    void receiveStream(const char* data, std::size_t n) override { stack.ws_.receive(data, n); }
    void transportOpen() override { stack.ws_.start(); }
    void transportFailed(std::string_view why) override { client.transportFailed(why); }
    TransportSink& client;
    SecureWebSocket& stack;
  };
  // What WebSocket sees: TLS below, the protocol above.
  struct Above final : TransportSink {
    Above(TransportSink& client, SecureWebSocket& stack) : client(client), stack(stack) {}
    void writeToSocket(std::string_view bytes) override { stack.tls_.send(bytes); }
    void receiveStream(const char* data, std::size_t n) override { client.receiveStream(data, n); }
    void transportOpen() override { client.transportOpen(); }
    void transportFailed(std::string_view why) override { client.transportFailed(why); }
    TransportSink& client;
    SecureWebSocket& stack;
  };

  Below below_;
  Above above_;
  TlsLayer tls_;
  WebSocketLayer ws_;
};

}  // namespace

std::optional<TransportKind> parseTransport(std::string_view name) {
  for (std::size_t i = 0; i < kTransportKinds; ++i) {
    const auto kind = static_cast<TransportKind>(i);
    if (name == transportName(kind)) return kind;
  }
  return std::nullopt;
}

TransportFactory::TransportFactory(TransportKind kind) : kind_(kind) {
  if (kind != TransportKind::Tls && kind != TransportKind::SecureWebSocket) return;
  tls_ = SSL_CTX_new(TLS_client_method());
  SSL_CTX_set_min_proto_version(tls_, TLS1_2_VERSION);
  // No verification: the server's certificate is a self-signed one of the test or bench run.
  SSL_CTX_set_verify(tls_, SSL_VERIFY_NONE, nullptr);
}

TransportFactory::~TransportFactory() {
  SSL_CTX_free(tls_);
}

std::unique_ptr<Transport> TransportFactory::make(TransportSink& sink, std::uint16_t port) const {
  static std::uint64_t connections = 0;
  ++connections;
  switch (kind_) {
    case TransportKind::Tcp:
      return nullptr;
    case TransportKind::WebSocket:
      return std::make_unique<WebSocketLayer>(sink, port, connections);
    case TransportKind::SecureWebSocket:
      return std::make_unique<SecureWebSocket>(sink, tls_, port, connections);
    case TransportKind::Tls:
      return std::make_unique<TlsLayer>(sink, tls_);
  }
  return nullptr;
}

void TransportFactory::noteFailure(std::string_view why) const {
  if (failures_++ == 0)
    std::fprintf(stderr, "velmor-load: %s: %.*s\n", transportName(kind_),
                 static_cast<int>(why.size()), why.data());
}

}  // namespace velmor::load
