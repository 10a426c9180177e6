#pragma once

#include <uv.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "Transport.h"
#include "client/FrameDecoder.h"
#include "client/RequestWriter.h"

namespace velmor::load {

// One simulated client on the generator's loop: a TCP connection from its own source
// address in 127.0.0.0/8, requests written from a reused buffer, and every complete frame
// handed to `onFrame` in place (no copy unless a frame was cut by a read). Owned by its
// scenario; loop thread only. Its handle is closed by close() and freed by libuv's close
// callback, after which the client may be destroyed (closed() is true).
// With a transport other than tcp, a Transport of its own sits between the socket and the
// frames (TLS, WebSocket); the client counts as connected once its handshakes are done.
class LoadClient final : private TransportSink {
 public:
  using FrameHandler = std::function<void(LoadClient&, std::string_view payload)>;
  using EventHandler = std::function<void(LoadClient&)>;

  // `transports` (nullptr: bare tcp) must outlive the client.
  LoadClient(uv_loop_t* loop, std::uint32_t sourceAddress, std::size_t index,
             const TransportFactory* transports = nullptr);
  ~LoadClient();
  LoadClient(const LoadClient&) = delete;
  LoadClient& operator=(const LoadClient&) = delete;

  void connect(std::uint16_t port, EventHandler onConnected, EventHandler onClosed);
  void setFrameHandler(FrameHandler handler) { onFrame_ = std::move(handler); }
  // Builds one frame with `write` and sends it.
  template <typename F>
  void send(F&& write) {
    writer_.clear();
    writer_.beginFrame();
    write(writer_);
    writer_.endFrame();
    sendBytes(writer_.bytes());
  }
  void sendBytes(std::string_view bytes);
  void close();

  std::size_t index() const { return index_; }
  bool connected() const { return connected_; }
  bool closed() const { return closed_; }
  bool closedByServer() const { return closedByServer_; }
  std::uint64_t framesReceived() const { return frames_; }

  // Scenario state.
  int phase = 0;
  int room = 0;
  int slot = 0;
  std::uint64_t counter = 0;

 private:
  static void onConnect(uv_connect_t* request, int status);
  static void onAllocate(uv_handle_t* handle, std::size_t suggested, uv_buf_t* buf);
  static void onRead(uv_stream_t* stream, ssize_t nread, const uv_buf_t* buf);
  static void onClose(uv_handle_t* handle);
  void consume(const char* data, std::size_t length);
  void writeToSocket(std::string_view bytes) override;
  void receiveStream(const char* data, std::size_t length) override;
  void transportOpen() override;
  void transportFailed(std::string_view why) override;

  uv_tcp_t* tcp_;
  const TransportFactory* transports_;
  std::unique_ptr<Transport> transport_;  // nothing for bare tcp
  uv_connect_t connectRequest_{};
  std::size_t index_;
  std::uint16_t port_ = 0;
  std::uint32_t source_;
  bool socketOpen_ = false;
  bool connected_ = false;  // the protocol may be spoken
  bool closed_ = false;
  bool closing_ = false;
  bool closedByServer_ = false;
  std::uint64_t frames_ = 0;
  EventHandler onConnected_;
  EventHandler onClosed_;
  FrameHandler onFrame_;
  client::RequestWriter writer_;
  std::string pending_;  // a frame cut by the end of a read
  char readBuffer_[65536];
};

}  // namespace velmor::load
