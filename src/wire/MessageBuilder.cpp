#include "wire/MessageBuilder.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "wire/BufferPool.h"

namespace velmor {

namespace {
constexpr std::size_t kHeader = 2;
}

MessageBuilder::MessageBuilder()
    : buffer_(BufferPool::acquire()), capacity_(BufferPool::kBlockSize) {}

MessageBuilder::~MessageBuilder() {
  if (capacity_ == BufferPool::kBlockSize) {
    BufferPool::release(buffer_);
  } else {
    std::free(buffer_);
  }
}

void MessageBuilder::clear() {
  frameStart_ = 0;
  messageStart_ = position_ = kHeader;
  messages_ = 0;
  frames_ = 1;
  messageTooBig_ = false;
  overflowed_ = false;
}

void MessageBuilder::reserve(std::size_t needed) {
  if (needed <= capacity_) return;
  std::size_t capacity = capacity_;
  while (capacity < needed) capacity *= 2;
  char* grown;
  if (capacity_ == BufferPool::kBlockSize) {
    grown = static_cast<char*>(std::malloc(capacity));
    if (grown == nullptr) throw std::bad_alloc();
    std::memcpy(grown, buffer_, position_);
    BufferPool::release(buffer_);
  } else {
    grown = static_cast<char*>(std::realloc(buffer_, capacity));
    if (grown == nullptr) throw std::bad_alloc();
  }
  buffer_ = grown;
  capacity_ = capacity;
}

void MessageBuilder::writeFrameLength(std::size_t frameStart, std::size_t end) {
  std::size_t payload = end - frameStart - kHeader;
  buffer_[frameStart] = static_cast<char>(payload & 0xFF);
  buffer_[frameStart + 1] = static_cast<char>((payload >> 8) & 0xFF);
}

bool MessageBuilder::fit(std::size_t n) {
  if (messageTooBig_) return false;
  // Two spare bytes: a split moves the message up to make room for a frame header.
  reserve(position_ + n + kHeader);
  std::size_t payload = position_ - frameStart_ - kHeader;
  if (payload + n <= wire::kMaxFramePayload) return true;
  if (messageStart_ == position_) {
    // Nothing of this message written yet: close the frame here.
    writeFrameLength(frameStart_, position_);
    frameStart_ = position_;
    position_ += kHeader;
    messageStart_ = position_;
    ++frames_;
    return true;
  }
  if (messageStart_ > frameStart_ + kHeader) {
    // Move the message up by a header's width and close the frame just before it.
    std::memmove(buffer_ + messageStart_ + kHeader, buffer_ + messageStart_,
                 position_ - messageStart_);
    writeFrameLength(frameStart_, messageStart_);
    frameStart_ = messageStart_;
    messageStart_ += kHeader;
    position_ += kHeader;
    ++frames_;
    payload = position_ - frameStart_ - kHeader;
    if (payload + n <= wire::kMaxFramePayload) return true;
  }
  // The message alone outgrows a frame: it can never be sent.
  messageTooBig_ = true;
  overflowed_ = true;
  return false;
}

void MessageBuilder::dropOversizedMessage() {
  if (!messageTooBig_) return;
  position_ = messageStart_;
  --messages_;
  messageTooBig_ = false;
}

void MessageBuilder::put(const void* bytes, std::size_t n) {
  if (!fit(n)) return;
  std::memcpy(buffer_ + position_, bytes, n);
  position_ += n;
}

MessageBuilder& MessageBuilder::beginCode(std::uint16_t code) {
  dropOversizedMessage();
  messageStart_ = position_;
  ++messages_;
  if (code >= 0xFF) {
    const std::uint8_t type[2] = {wire::kExtendedCodePrefix,
                                  static_cast<std::uint8_t>(code & 0xFF)};
    put(type, 2);
  } else {
    const std::uint8_t type = static_cast<std::uint8_t>(code);
    put(&type, 1);
  }
  return *this;
}

MessageBuilder& MessageBuilder::beginType(std::uint8_t type) {
  dropOversizedMessage();
  messageStart_ = position_;
  ++messages_;
  put(&type, 1);
  return *this;
}

MessageBuilder& MessageBuilder::u8(std::uint8_t value) {
  put(&value, 1);
  return *this;
}

MessageBuilder& MessageBuilder::u16(std::uint16_t value) {
  const std::uint8_t bytes[2] = {static_cast<std::uint8_t>(value),
                                 static_cast<std::uint8_t>(value >> 8)};
  put(bytes, 2);
  return *this;
}

MessageBuilder& MessageBuilder::u32(std::uint32_t value) {
  const std::uint8_t bytes[4] = {
      static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
      static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
  put(bytes, 4);
  return *this;
}

MessageBuilder& MessageBuilder::string(std::string_view text) {
  return blob(text.data(), text.size());
}

MessageBuilder& MessageBuilder::blob(const void* bytes, std::size_t length) {
  if (length > wire::kMaxWireString) length = wire::kMaxWireString;
  // Length and bytes are fitted together so that a frame split never falls between them.
  if (!fit(2 + length)) return *this;
  buffer_[position_] = static_cast<char>(length & 0xFF);
  buffer_[position_ + 1] = static_cast<char>((length >> 8) & 0xFF);
  if (length > 0) std::memcpy(buffer_ + position_ + 2, bytes, length);
  position_ += 2 + length;
  return *this;
}

void MessageBuilder::dropLastMessage() {
  if (messages_ == 0) return;
  position_ = messageStart_;
  --messages_;
  messageTooBig_ = false;
}

void MessageBuilder::finish() {
  dropOversizedMessage();
  writeFrameLength(frameStart_, position_);
}

}  // namespace velmor
