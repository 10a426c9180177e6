#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "wire/MessageCatalogue.h"

namespace velmor {

// Builds one batch of outgoing frames: messages are appended back to back and frames
// are closed automatically so that no frame payload exceeds 65535 bytes and no message
// is ever split across two frames.
//
//   buffer: [len|msg msg msg][len|msg msg] ... [len|msg msg ...)
//            ^frame start     ^frame start    ^frameStart_   ^messageStart_  ^position_
//
// The buffer starts as a block of the buffer pool and doubles when a write needs more;
// a builder can be cleared and reused, keeping its buffer (the relay's pooled builders).
// A single message larger than a frame cannot be sent: it is dropped whole when the
// next message begins or the batch is finished, and overflowed() tells.
// With VELMOR_CHECK_INVARIANTS (debug and asan builds) each catalogue message is checked when it
// ends against the fields its definition gives it (wire/Schema.h): a builder that writes another
// layout aborts. Owned by its user; main loop only (the pool is not shared across threads).
class MessageBuilder {
 public:
  MessageBuilder();
  ~MessageBuilder();
  MessageBuilder(const MessageBuilder&) = delete;
  MessageBuilder& operator=(const MessageBuilder&) = delete;

  // Starts over with no message, keeping the buffer.
  void clear();

  MessageBuilder& begin(wire::ServerCode code) {
    return beginCode(static_cast<std::uint16_t>(code));
  }
  // A code below 255 is one byte; 255 and above go out as 0xFF and the low byte.
  MessageBuilder& beginCode(std::uint16_t code);
  // A raw type byte (the compact relay steps).
  MessageBuilder& beginType(std::uint8_t type);

  MessageBuilder& u8(std::uint8_t value);
  MessageBuilder& u16(std::uint16_t value);
  MessageBuilder& u32(std::uint32_t value);
  MessageBuilder& i8(std::int8_t value) { return u8(static_cast<std::uint8_t>(value)); }
  // u16 byte count and the bytes, cut to 65000.
  MessageBuilder& string(std::string_view text);
  MessageBuilder& blob(const void* bytes, std::size_t length);

  // Takes the message begun last back out, when it was the last thing written
  // (an opening message that nothing followed).
  void dropLastMessage();

  // Closes the last frame (writes its payload length). Further messages may follow.
  void finish();

  bool hasMessage() const { return messages_ > 0; }
  std::size_t messageCount() const { return messages_; }
  std::size_t frameCount() const { return frames_; }
  bool overflowed() const { return overflowed_; }
  // The finished frames (call finish() first).
  const char* data() const { return buffer_; }
  std::size_t size() const { return position_; }
  std::size_t capacity() const { return capacity_; }

 private:
  // Makes room for n more bytes of the current message, closing the frame before the
  // message when the frame would outgrow its limit. False: the message alone is too big.
  bool fit(std::size_t n);
  void reserve(std::size_t needed);
  void writeFrameLength(std::size_t frameStart, std::size_t end);
  void dropOversizedMessage();
  void put(const void* bytes, std::size_t n);

#ifdef VELMOR_CHECK_INVARIANTS
  // The fields written since the message began, one letter each, and its code (none for a
  // compact step, which is not checked).
  void noteField(char letter) {
    if (checkedCode_ != kNotChecked) written_ += letter;
  }
  void checkMessage();
  static constexpr std::uint32_t kNotChecked = 0x10000;
  std::uint32_t checkedCode_ = kNotChecked;
  std::string written_;
#else
  void noteField(char) {}
  void checkMessage() {}
#endif

  char* buffer_;
  std::size_t capacity_;
  std::size_t frameStart_ = 0;
  std::size_t messageStart_ = 2;
  std::size_t position_ = 2;
  std::size_t messages_ = 0;
  std::size_t frames_ = 1;
  bool messageTooBig_ = false;  // the current message was dropped
  bool overflowed_ = false;
};

}  // namespace velmor
