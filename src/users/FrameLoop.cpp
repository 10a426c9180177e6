#include "users/FrameLoop.h"

#include <algorithm>
#include <cstring>
#include <string_view>
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

// Whether his further requests wait for his queries in flight (MessageDispatch).
bool mustWait(const User& user, const MessageDispatch& dispatch) {
  return dispatch.waitAtQueryBound && user.queriesAtBound();
}

// How one complete frame ended: handled to its end, stopped (the rest of the read is
// dropped), or held at `heldAt` because his queries in flight reached their bound.
struct FrameEnd {
  enum Kind { Done, Stopped, Held } kind = Done;
  std::uint32_t heldAt = 0;
};

FrameEnd handleFrame(User& user, const char* frame, std::uint32_t frameEnd,
                     const MessageDispatch& dispatch) {
  if (frameEnd <= kFrameHeader) return {};  // an empty frame is skipped
  MessageReader reader;
  reader.startFrame(frame, frameEnd);
  do {
    const std::uint8_t type = reader.u8();
    if (!dispatch.handle(dispatch.context, type, user, reader)) return {FrameEnd::Stopped};
    if (!reader.ok()) return {FrameEnd::Stopped};
    if (mustWait(user, dispatch) && reader.position() < frameEnd)
      return {FrameEnd::Held, reader.position()};
  } while (reader.position() < frameEnd);
  return {};
}

void append(std::vector<char>& buffer, const char* data, std::size_t n) {
  const std::size_t held = buffer.size();
  buffer.resize(held + n);
  if (n != 0) std::memcpy(buffer.data() + held, data, n);
}

void keepPartial(std::vector<char>& partial, const char* data, std::size_t length) {
  if (length >= kFrameHeader) partial.reserve(frameLengthAt(data) + kFrameHeader);
  partial.assign(data, data + length);
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

void releasePartial(std::vector<char>& partial) {
  if (partial.capacity() > kKeptPartialCapacity) {
    std::vector<char>().swap(partial);
  } else {
    partial.clear();
  }
}

// A stop dropped the rest of the read from `data` on: the frame the read cut at its end is
// dropped too, up to its last byte in the reads to come, so that the next read is not
// parsed from the middle of a frame.
void skipCutFrame(User::Input& input, const char* data, std::size_t length) {
  std::size_t offset = 0;
  while (length - offset >= kFrameHeader) {
    const std::size_t frameEnd = frameLengthAt(data + offset) + kFrameHeader;
    if (frameEnd > length - offset) {
      input.skipLeft = static_cast<std::uint32_t>(frameEnd - (length - offset));
      return;
    }
    offset += frameEnd;
  }
  if (offset < length) {  // a lone byte of a frame's length: the next read gives the rest
    input.skipHeaderHalf = true;
    input.skipHeaderLow = static_cast<std::uint8_t>(data[offset]);
  }
}

// Drops what is left of a frame cut by an earlier stop; the bytes used.
std::size_t skipRestOfCutFrame(User::Input& input, const char* data, std::size_t length) {
  if (input.skipHeaderHalf) {
    input.skipHeaderHalf = false;
    const char header[kFrameHeader] = {static_cast<char>(input.skipHeaderLow), data[0]};
    input.skipLeft = static_cast<std::uint32_t>(frameLengthAt(header) + kFrameHeader - 1);
  }
  const std::size_t used = std::min<std::size_t>(input.skipLeft, length);
  input.skipLeft -= static_cast<std::uint32_t>(used);
  return used;
}

// His queries reached their bound: the rest of the frame in hand (`frameRest`, whole messages,
// which need no separator) becomes a frame of its own, and with the rest of the read it waits
// in `held` for the frame loop's next turn.
void holdRest(User::Input& input, std::string_view frameRest, const char* rest,
              std::size_t restLength) {
  std::vector<char> held;
  held.reserve(kFrameHeader + frameRest.size() + restLength);
  if (!frameRest.empty()) {
    const char header[kFrameHeader] = {static_cast<char>(frameRest.size() & 0xFF),
                                       static_cast<char>(frameRest.size() >> 8)};
    append(held, header, kFrameHeader);
    append(held, frameRest.data(), frameRest.size());
  }
  append(held, rest, restLength);
  input.held = std::move(held);
}

std::string_view restOf(const char* frame, std::uint32_t frameEnd, const FrameEnd& end) {
  if (end.kind != FrameEnd::Held) return {};
  return std::string_view(frame + end.heldAt, frameEnd - end.heldAt);
}

}  // namespace

bool receiveChunk(User& user, const char* data, std::size_t length,
                  const MessageDispatch& dispatch) {
  User::Input& input = user.input();
  if (!input.held.empty()) {  // what is held goes first: a later read waits behind it
    append(input.held, data, length);
    return true;
  }
  if (length != 0 && (input.skipLeft != 0 || input.skipHeaderHalf)) {
    const std::size_t used = skipRestOfCutFrame(input, data, length);
    data += used;
    length -= used;
  }
  if (length == 0) return true;
  std::vector<char>& partial = input.partialFrame;
  if (!partial.empty()) {
    const std::size_t used = completePartial(partial, data, length);
    data += used;
    length -= used;
    if (partial.size() < kFrameHeader ||
        partial.size() < frameLengthAt(partial.data()) + kFrameHeader) {
      return true;  // the frame is still unfinished
    }
    const auto frameEnd = static_cast<std::uint32_t>(partial.size());
    const FrameEnd end = handleFrame(user, partial.data(), frameEnd, dispatch);
    if (end.kind == FrameEnd::Held ||
        (end.kind == FrameEnd::Done && length != 0 && mustWait(user, dispatch)))
      holdRest(input, restOf(partial.data(), frameEnd, end), data, length);
    releasePartial(partial);
    if (end.kind == FrameEnd::Stopped) {
      skipCutFrame(input, data, length);
      return false;
    }
    if (!input.held.empty()) return true;
  }

  std::size_t offset = 0;
  while (length - offset >= kFrameHeader) {
    const auto frameEnd = static_cast<std::uint32_t>(frameLengthAt(data + offset) + kFrameHeader);
    if (frameEnd > length - offset) break;
    const char* frame = data + offset;
    offset += frameEnd;
    const FrameEnd end = handleFrame(user, frame, frameEnd, dispatch);
    if (end.kind == FrameEnd::Stopped) {
      skipCutFrame(input, data + offset, length - offset);
      return false;
    }
    if (end.kind == FrameEnd::Held || (offset < length && mustWait(user, dispatch))) {
      holdRest(input, restOf(frame, frameEnd, end), data + offset, length - offset);
      return true;
    }
  }
  if (offset < length) keepPartial(partial, data + offset, length - offset);
  return true;
}

}  // namespace velmor
