#pragma once

// Cuts the byte stream of one server connection into frames and decodes a frame's
// payload into messages. A FrameDecoder belongs to the code reading that connection (a
// test, a tool); one thread, no locking.
//
// Invariant of the stream buffer:
//
//     | consumed frames | unread bytes (whole frames, then an unfinished tail) |
//     0                 readPos_                                             size()
//
// feed() drops the consumed part and appends; nextFrame() moves readPos_ over one
// complete frame. The unfinished tail is never more than one frame (65537 bytes) plus what
// the caller feeds before draining.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "client/ServerMessage.h"

namespace velmor::client {

struct DecodeOptions {
  // MemberInfo (0x0A) has one layout for navigation rooms and another for chat rooms; the
  // frame does not say which, the caller knows what room it is in.
  bool navigationRoom = false;
};

class FrameDecoder {
 public:
  // Appends bytes as a socket read returned them. Invalidates earlier nextFrame() views.
  void feed(const char* data, std::size_t n);

  // Sets `payload` to the next complete frame's payload (possibly empty) and returns true,
  // or returns false when no complete frame is buffered. The view stays valid until the
  // next feed() or clear().
  bool nextFrame(std::string_view& payload);

  // Bytes buffered that do not yet make a complete frame, plus complete frames not taken.
  std::size_t pendingBytes() const { return buffer_.size() - readPos_; }
  void clear();

 private:
  std::string buffer_;
  std::size_t readPos_ = 0;
};

// Decodes one frame payload, message by message, appending to `messages`. Returns false
// at the first fault (an unknown code, a step byte outside its range, a field running
// past the end of the payload) with `error` naming the offset and the code; the messages
// before the fault stay appended. Never reads outside `payload`.
//
// Compact step bytes (0x55..0xFD) are member steps until an ObjectBatch has been decoded in
// this frame and object steps after it.
//
// FileSaved (0x10E) is bare after an access change and carries (string name, u32 last
// edited) after a completed write; the server sends either alone in a frame. It is decoded
// as bare when its code ends the payload, and with its fields otherwise; fields that do
// not fit are a fault like any other truncation.
bool decodeFrame(std::string_view payload, const DecodeOptions& options,
                 std::vector<ServerMessage>& messages, std::string& error);

}  // namespace velmor::client
