#include "client/RequestWriter.h"

#include <algorithm>

namespace velmor::client {

void RequestWriter::clear() {
  buffer_.clear();
  frameStart_ = kNoFrame;
}

RequestWriter& RequestWriter::beginFrame() {
  frameStart_ = buffer_.size();
  return u16(0);
}

bool RequestWriter::endFrame() {
  if (frameStart_ == kNoFrame) return false;
  const std::size_t payload = buffer_.size() - frameStart_ - 2;
  buffer_[frameStart_] = static_cast<char>(payload & 0xFF);
  buffer_[frameStart_ + 1] = static_cast<char>((payload >> 8) & 0xFF);
  frameStart_ = kNoFrame;
  return payload <= wire::kMaxFramePayload;
}

RequestWriter& RequestWriter::u8(std::uint8_t value) {
  buffer_.push_back(static_cast<char>(value));
  return *this;
}

RequestWriter& RequestWriter::u16(std::uint16_t value) {
  u8(static_cast<std::uint8_t>(value & 0xFF));
  return u8(static_cast<std::uint8_t>(value >> 8));
}

RequestWriter& RequestWriter::u32(std::uint32_t value) {
  u16(static_cast<std::uint16_t>(value & 0xFFFF));
  return u16(static_cast<std::uint16_t>(value >> 16));
}

RequestWriter& RequestWriter::string(std::string_view text) {
  const std::size_t length = std::min<std::size_t>(text.size(), wire::kMaxWireString);
  u16(static_cast<std::uint16_t>(length));
  return raw(text.substr(0, length));
}

RequestWriter& RequestWriter::raw(std::string_view bytes) {
  buffer_.append(bytes);
  return *this;
}

RequestWriter& RequestWriter::login(const LoginFields& f) {
  return RequestWriters::login(f.version, f.profileWord1, f.profileWord2, f.profileShort,
                               f.loginWord, f.appearanceWord, f.appearanceByte, f.appearanceShort1,
                               f.appearanceShort2, f.ignored, f.name, f.appearanceText, f.password);
}

}  // namespace velmor::client
