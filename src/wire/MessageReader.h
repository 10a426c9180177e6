#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace velmor {

// Reads the fields of the messages of one frame, in place. A read that would pass the
// frame end fails: the reader then underflows (frameEnd becomes 0), the value read is 0,
// a string destination is left untouched and the position does not move; every later
// read of the frame fails too. The frame is always complete in memory when it is read,
// so no read can leave the received bytes. Part of a User; main loop only.
class MessageReader {
 public:
  void startFrame(const char* frame, std::uint32_t frameEnd) {
    frame_ = frame;
    frameEnd_ = frameEnd;
    position_ = 2;
  }

  bool ok() const { return frameEnd_ != 0; }
  std::uint32_t position() const { return position_; }
  std::uint32_t frameEnd() const { return frameEnd_; }
  bool atFrameEnd() const { return position_ >= frameEnd_; }

  std::uint8_t u8();
  std::uint16_t u16();
  std::uint32_t u32();

  // A wire string into a fixed field: at most capacity - 1 bytes are kept and
  // terminated; the whole declared length is skipped. False on underflow.
  bool string(char* field, std::size_t capacity);
  template <std::size_t N>
  bool string(char (&field)[N]) {
    return string(field, N);
  }
  // A wire string (or blob) seen in place; empty on underflow.
  std::string_view view();
  // Skips a wire string. False on underflow.
  bool skipString();
  // n raw bytes in place, or nullptr on underflow.
  const char* bytes(std::size_t n);

 private:
  bool take(std::size_t n) {
    if (frameEnd_ == 0 || position_ + n > frameEnd_) {
      frameEnd_ = 0;
      return false;
    }
    return true;
  }

  const char* frame_ = nullptr;
  std::uint32_t frameEnd_ = 0;
  std::uint32_t position_ = 0;
};

}  // namespace velmor
