#include "wire/MessageReader.h"

#include "base/FixedText.h"

namespace velmor {

namespace {
std::uint32_t byteAt(const char* p, std::size_t i) {
  return static_cast<std::uint8_t>(p[i]);
}
}  // namespace

std::uint8_t MessageReader::u8() {
  if (!take(1)) return 0;
  return static_cast<std::uint8_t>(byteAt(frame_ + position_++, 0));
}

std::uint16_t MessageReader::u16() {
  if (!take(2)) return 0;
  const char* p = frame_ + position_;
  position_ += 2;
  return static_cast<std::uint16_t>(byteAt(p, 0) | byteAt(p, 1) << 8);
}

std::uint32_t MessageReader::u32() {
  if (!take(4)) return 0;
  const char* p = frame_ + position_;
  position_ += 4;
  return byteAt(p, 0) | byteAt(p, 1) << 8 | byteAt(p, 2) << 16 | byteAt(p, 3) << 24;
}

const char* MessageReader::bytes(std::size_t n) {
  if (!take(n)) return nullptr;
  const char* p = frame_ + position_;
  position_ += static_cast<std::uint32_t>(n);
  return p;
}

std::string_view MessageReader::view() {
  const std::uint32_t start = position_;
  const std::uint16_t length = u16();
  if (!ok()) return {};
  const char* text = bytes(length);
  if (text == nullptr) {
    position_ = start;
    return {};
  }
  return std::string_view(text, length);
}

bool MessageReader::string(char* field, std::size_t capacity) {
  const std::uint32_t start = position_;
  const std::uint16_t length = u16();
  if (!ok()) return false;
  const char* text = bytes(length);
  if (text == nullptr) {
    position_ = start;
    return false;
  }
  copyText(field, capacity, std::string_view(text, length));
  return true;
}

bool MessageReader::skipString() {
  view();
  return ok();
}

}  // namespace velmor
