#include "users/User.h"

#include <algorithm>
#include <iterator>

#include "db/Queries.h"
#include "net/GenericServer.h"
#include "protocol/Dispatch.h"
#include "model/ChatLine.h"
#include "core/ServerCore.h"

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
}  // namespace

User::User(uv_stream_t* client, uv_stream_t* server, ServerCore* serverCore)
    : ClientData(client, server), relayCounter(serverCore->relaySequence - 1), core(serverCore) {
  core->userCount.add(1);
}

User::~User() {
  core->forgetUser(*this);  // which forgets the login's grants too
  releaseTransfer();
  core->userCount.sub(1);
}

void User::releaseTransfer() {
  FileRecord::release(download);
  FileRecord::release(upload);
  download = upload = nullptr;
}

void User::clearLoginGrants() {
  isMember = isAdmin = isLeader = 0;
  delete accountRecord;
  accountRecord = nullptr;
  ChatLine::release(lastChat);
  lastChat = nullptr;
  std::fill(std::begin(chatTimes), std::end(chatTimes), 0u);
}

bool User::sendFrames(const char* data, std::size_t length, std::size_t frames) {
  if (owner == nullptr || !owner->write(client, data, length)) return false;
  core->packetsSent.add(frames);
  core->bytesSent.add(length);
  return true;
}

bool User::handleData(const char* data, std::size_t length) {
  if (length == 0) return true;

  if (!partial_.empty()) {
    const std::size_t used = completePartial(data, length);
    data += used;
    length -= used;
    if (partial_.size() < kFrameHeader ||
        partial_.size() < frameLengthAt(partial_.data()) + kFrameHeader) {
      return true;  // the frame is still unfinished
    }
    const bool carryOn = handleFrame(partial_.data(), static_cast<std::uint32_t>(partial_.size()));
    if (partial_.capacity() > kKeptPartialCapacity) {
      std::vector<char>().swap(partial_);
    } else {
      partial_.clear();
    }
    if (!carryOn) return false;
  }

  std::size_t offset = 0;
  while (length - offset >= kFrameHeader) {
    const std::size_t frameEnd = frameLengthAt(data + offset) + kFrameHeader;
    if (frameEnd > length - offset) break;
    if (!handleFrame(data + offset, static_cast<std::uint32_t>(frameEnd))) return false;
    offset += frameEnd;
  }
  if (offset < length) keepPartial(data + offset, length - offset);
  return true;
}

void User::keepPartial(const char* data, std::size_t length) {
  if (length >= kFrameHeader) partial_.reserve(frameLengthAt(data) + kFrameHeader);
  partial_.assign(data, data + length);
}

std::size_t User::completePartial(const char* data, std::size_t length) {
  std::size_t used = 0;
  if (partial_.size() < kFrameHeader) {
    used = std::min(kFrameHeader - partial_.size(), length);
    partial_.insert(partial_.end(), data, data + used);
    if (partial_.size() < kFrameHeader) return used;
    partial_.reserve(frameLengthAt(partial_.data()) + kFrameHeader);
  }
  const std::size_t total = frameLengthAt(partial_.data()) + kFrameHeader;
  const std::size_t take = std::min(total - partial_.size(), length - used);
  partial_.insert(partial_.end(), data + used, data + used + take);
  return used + take;
}

bool User::handleFrame(const char* frame, std::uint32_t frameEnd) {
  if (frameEnd <= kFrameHeader) return true;  // an empty frame is skipped
  reader.startFrame(frame, frameEnd);
  do {
    const std::uint8_t type = reader.u8();
    if (!dispatchMessage(type, *this, reader)) return false;
    if (!reader.ok()) return false;
  } while (reader.position() < frameEnd);
  return true;
}

}  // namespace velmor
