#include "wire/MessageBuilder.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "wire/BufferPool.h"

#ifdef VELMOR_CHECK_INVARIANTS
#include <cstdio>

#include "wire/Schema.h"
#endif

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
#ifdef VELMOR_CHECK_INVARIANTS
  checkedCode_ = kNotChecked;
#endif
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

#ifdef VELMOR_CHECK_INVARIANTS
namespace {

// The end of the group opened at pattern[0] ('[' or '(').
std::size_t groupEnd(std::string_view pattern) {
  int depth = 0;
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] == '[' || pattern[i] == '(') ++depth;
    if ((pattern[i] == ']' || pattern[i] == ')') && --depth == 0) return i;
  }
  return pattern.size();
}

// How many of `letters` the pattern (field letters, [optional part], (repeated part)*)
// takes from their start, or npos. Greedy, without backtracking: enough for the wire's
// definitions, whose optional and repeated parts never begin with the letter that follows
// them. Recurses only as deep as the pattern nests.
std::size_t consume(std::string_view pattern, std::string_view letters) {
  std::size_t at = 0;
  for (std::size_t i = 0; i < pattern.size();) {
    const char c = pattern[i];
    if (c == '[' || c == '(') {
      const std::size_t end = i + groupEnd(pattern.substr(i));
      const std::string_view inner = pattern.substr(i + 1, end - i - 1);
      const bool repeated = c == '(';
      do {
        const std::size_t taken = consume(inner, letters.substr(at));
        if (taken == std::string_view::npos || taken == 0) break;
        at += taken;
      } while (repeated);
      i = end + (repeated ? 2 : 1);  // past ")*" or "]"
      continue;
    }
    if (at >= letters.size() || letters[at] != c) return std::string_view::npos;
    ++at;
    ++i;
  }
  return at;
}

// Whether `letters` is all of one of the pattern's alternatives (separated by '|').
bool matchesPattern(std::string_view pattern, std::string_view letters) {
  for (;;) {
    const std::size_t bar = pattern.find('|');
    if (consume(pattern.substr(0, bar), letters) == letters.size()) return true;
    if (bar == std::string_view::npos) return false;
    pattern = pattern.substr(bar + 1);
  }
}

}  // namespace

void MessageBuilder::checkMessage() {
  const std::uint32_t code = checkedCode_;
  checkedCode_ = kNotChecked;
  if (code == kNotChecked) return;
  const wire::MessageInfo* message = wire::findMessage(static_cast<std::uint16_t>(code));
  if (message != nullptr && matchesPattern(message->pattern, written_)) return;
  std::fprintf(stderr,
               "MessageBuilder: message 0x%X (%s) written as \"%s\", its definition is \"%s\"\n",
               static_cast<unsigned>(code), message != nullptr ? message->name : "no such code",
               written_.c_str(), message != nullptr ? message->pattern : "");
  std::abort();
}
#endif

MessageBuilder& MessageBuilder::beginCode(std::uint16_t code) {
  checkMessage();
#ifdef VELMOR_CHECK_INVARIANTS
  checkedCode_ = code;
  written_.clear();
#endif
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
  checkMessage();
  dropOversizedMessage();
  messageStart_ = position_;
  ++messages_;
  put(&type, 1);
  return *this;
}

MessageBuilder& MessageBuilder::u8(std::uint8_t value) {
  noteField('b');
  put(&value, 1);
  return *this;
}

MessageBuilder& MessageBuilder::u16(std::uint16_t value) {
  const std::uint8_t bytes[2] = {static_cast<std::uint8_t>(value),
                                 static_cast<std::uint8_t>(value >> 8)};
  noteField('w');
  put(bytes, 2);
  return *this;
}

MessageBuilder& MessageBuilder::u32(std::uint32_t value) {
  const std::uint8_t bytes[4] = {
      static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
      static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
  noteField('d');
  put(bytes, 4);
  return *this;
}

MessageBuilder& MessageBuilder::string(std::string_view text) {
  return blob(text.data(), text.size());
}

MessageBuilder& MessageBuilder::blob(const void* bytes, std::size_t length) {
  noteField('s');
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
#ifdef VELMOR_CHECK_INVARIANTS
  checkedCode_ = kNotChecked;  // taken back: nothing to check
#endif
  if (messages_ == 0) return;
  position_ = messageStart_;
  --messages_;
  messageTooBig_ = false;
}

void MessageBuilder::finish() {
  checkMessage();
  dropOversizedMessage();
  writeFrameLength(frameStart_, position_);
}

}  // namespace velmor
