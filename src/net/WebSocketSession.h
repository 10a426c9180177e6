#pragma once

#include <http_parser.h>
#include <wslay/wslay.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "net/TransportKind.h"

namespace velmor {

// One connection's WebSocket layer, server side: the HTTP upgrade, then binary messages
// whose payloads are the protocol's byte stream. Before an upgrade, plain GET and HEAD
// requests fetch the door policy's web folder (the web client), any number on one
// connection, which stays on the handshake deadline all the while. Requests are parsed by
// http-parser, the frames by wslay: its event context reads (unmasking, fragments, control
// frames, close codes) without buffering messages, so a message's bytes go to the frame loop
// as they arrive; sending uses wslay's frame layer, which writes one frame into the caller's
// stream without queueing or copying it.
//
//   bytes in --> [ HTTP request ] --101--> [ wslay event: frames ] --payload--> deliver
//   send(frames) --> [ wslay frame: one binary message ] --> emit
//
// Owned by the connection's Transport; main loop only.
class WebSocketSession {
 public:
  // The longest message taken, and the longest frame: the longest protocol frame. A message
  // may hold several frames or a part of one; over this it is refused with close code 1009.
  static constexpr std::uint64_t kMaxMessageBytes = 65537;
  // The longest request taken; longer is refused with 431.
  static constexpr std::size_t kMaxRequestBytes = 8192;

  class Io {
   public:
    // Bytes for the peer (through the layers below), the two parts in this order; false when
    // the connection is gone.
    virtual bool emit(const char* head, std::size_t headLength, const char* body,
                      std::size_t bodyLength) = 0;
    bool emit(const char* data, std::size_t length) { return emit(data, length, nullptr, 0); }
    // Payload bytes of binary messages, for the application.
    virtual void deliver(const char* data, std::size_t length) = 0;
    // The connection is being closed: nothing more to read.
    virtual bool closing() const = 0;

   protected:
    ~Io() = default;
  };

  enum class Result {
    Going,   // all bytes taken
    Opened,  // the handshake completed; `used` bytes were taken, the rest are frames
    Close,   // the connection is to end once what was emitted is sent
  };

  explicit WebSocketSession(const DoorPolicy& policy);
  ~WebSocketSession();
  WebSocketSession(const WebSocketSession&) = delete;
  WebSocketSession& operator=(const WebSocketSession&) = delete;

  Result receive(const char* data, std::size_t length, std::size_t& used, Io& io);
  // One binary message holding the bytes. False if the session is not open or failed.
  bool send(const char* data, std::size_t length, Io& io);
  // Says goodbye with the close code (when open and not said yet).
  void close(std::uint16_t code, Io& io);

  bool open() const { return events_ != nullptr; }
  // The X-Forwarded-For header of the upgrade request, empty without one.
  const std::string& forwardedFor() const { return forwardedFor_; }

 private:
  Result readRequest(const char* data, std::size_t length, std::size_t& used, Io& io);
  Result answer(Io& io);
  Result serveFile(Io& io);
  void startRequest();
  Result refuse(const char* status, Io& io);
  Result readFrames(const char* data, std::size_t length, Io& io);
  void commitHeader();

  static int onUrl(http_parser* parser, const char* at, std::size_t length);
  static int onHeaderField(http_parser* parser, const char* at, std::size_t length);
  static int onHeaderValue(http_parser* parser, const char* at, std::size_t length);
  static int onHeadersComplete(http_parser* parser);
  static int onMessageComplete(http_parser* parser);
  static ssize_t onRecv(wslay_event_context_ptr, std::uint8_t* buf, std::size_t length, int,
                        void* self);
  static ssize_t onSend(wslay_event_context_ptr, const std::uint8_t* data, std::size_t length, int,
                        void* self);
  static void onFrameStart(wslay_event_context_ptr,
                           const wslay_event_on_frame_recv_start_arg* frame, void* self);
  static void onFrameChunk(wslay_event_context_ptr,
                           const wslay_event_on_frame_recv_chunk_arg* chunk, void* self);
  static ssize_t onFrameSend(const std::uint8_t* data, std::size_t length, int, void* self);

  const DoorPolicy& policy_;

  // The upgrade request, while it is read.
  http_parser parser_{};
  std::size_t requestBytes_ = 0;
  bool messageComplete_ = false;
  bool inValue_ = false;
  std::string field_, value_;
  std::string url_, upgrade_, connection_, key_, version_, origin_, forwardedFor_, ifNoneMatch_;

  // Once open.
  wslay_event_context_ptr events_ = nullptr;
  wslay_frame_context_ptr frames_ = nullptr;
  Io* io_ = nullptr;  // the caller's, while receive or send runs
  const char* input_ = nullptr;
  std::size_t inputLeft_ = 0;
  std::uint64_t messageBytes_ = 0;  // of the message being received
  bool frameIsData_ = false;        // the frame being received belongs to a message
  char header_[14];                 // a frame's header held until its payload comes
  std::size_t headerLength_ = 0;
  bool refusedMessage_ = false;
  bool emitFailed_ = false;
};

}  // namespace velmor
