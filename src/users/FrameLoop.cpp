#include "users/FrameLoop.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "users/User.h"
#include "wire/MessageReader.h"

namespace velmor {

namespace {

constexpr std::size_t kFrameHeader = 2;
// A carried-over frame buffer larger than this is given back once its frame is handled,
// so that one big split frame does not pin 64 KB to an idle connection.
constexpr std::size_t kKeptPartialCapacity = 4096;

std::size_t frameLengthAt(const char* p) {
  return static_cast<std::size_t>(static_cast<std::uint8_t>(p[0]) | static_cast<std::uint8_t>(p[1])
                                                                        << 8);
}

// One complete frame; false when a stop ends the chunk.
bool handleFrame(User& user, const char* frame, std::uint32_t frameEnd,
                 const MessageDispatch& dispatch) {
  if (frameEnd <= kFrameHeader) return true;  // an empty frame is skipped
  MessageReader reader;
  reader.startFrame(frame, frameEnd);
  do {
    const std::uint8_t type = reader.u8();
    if (!dispatch.handle(dispatch.context, type, user, reader)) return false;
    if (!reader.ok()) return false;
  } while (reader.position() < frameEnd);
  return true;
}

void keepPartial(std::vector<char>& partial, const char* data, std::size_t length) {
  if (length >= kFrameHeader) partial.reserve(frameLengthAt(data) + kFrameHeader);
  partial.assign(data, data + length);
}

void append(std::vector<char>& partial, const char* data, std::size_t n) {
  const std::size_t held = partial.size();
  partial.resize(held + n);
  if (n != 0) std::memcpy(partial.data() + held, data, n);
}

// Adds what the chunk holds of the carried-over frame; the bytes used.
std::size_t completePartial(std::vector<char>& partial, const char* data, std::size_t length) {
  std::size_t used = 0;
  if (partial.size() < kFrameHeader) {
    used = std::min(kFrameHeader - partial.size(), length);
    append(partial, data, used);
    if (partial.size() < kFrameHeader) return used;
    partial.reserve(frameLengthAt(partial.data()) + kFrameHeader);
  }
  const std::size_t total = frameLengthAt(partial.data()) + kFrameHeader;
  const std::size_t take = std::min(total - partial.size(), length - used);
  append(partial, data + used, take);
  return used + take;
}

}  // namespace

bool receiveChunk(User& user, const char* data, std::size_t length,
                  const MessageDispatch& dispatch) {
  if (length == 0) return true;
  std::vector<char>& partial = user.partialFrame();
  if (!partial.empty()) {
    const std::size_t used = completePartial(partial, data, length);
    data += used;
    length -= used;
    if (partial.size() < kFrameHeader ||
        partial.size() < frameLengthAt(partial.data()) + kFrameHeader) {
      return true;  // the frame is still unfinished
    }
    const bool carryOn =
        handleFrame(user, partial.data(), static_cast<std::uint32_t>(partial.size()), dispatch);
    if (partial.capacity() > kKeptPartialCapacity) {
      std::vector<char>().swap(partial);
    } else {
      partial.clear();
    }
    if (!carryOn) return false;
  }

  std::size_t offset = 0;
  while (length - offset >= kFrameHeader) {
    const std::size_t frameEnd = frameLengthAt(data + offset) + kFrameHeader;
    if (frameEnd > length - offset) break;
    if (!handleFrame(user, data + offset, static_cast<std::uint32_t>(frameEnd), dispatch))
      return false;
    offset += frameEnd;
  }
  if (offset < length) keepPartial(partial, data + offset, length - offset);
  return true;
}

}  // namespace velmor
