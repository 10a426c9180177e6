#include "net/ProxyHeader.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>
#include <string>

namespace velmor {

namespace {
constexpr char kV1Signature[] = "PROXY ";
constexpr std::size_t kV1Length = sizeof(kV1Signature) - 1;
constexpr char kV2Signature[] = "\r\n\r\n\0\r\nQUIT\n";
constexpr std::size_t kV2Length = 12;
constexpr std::size_t kV2Fixed = 16;  // signature, version and command, family, length
constexpr std::size_t kV1MaxLine = 107;

bool prefixOf(const char* data, std::size_t length, const char* signature, std::size_t size) {
  return std::memcmp(data, signature, std::min(length, size)) == 0;
}
}  // namespace

bool ProxyHeader::startsWithSignature(const char* data, std::size_t length) {
  return (length >= kV1Length && prefixOf(data, length, kV1Signature, kV1Length)) ||
         (length >= kV2Length && prefixOf(data, length, kV2Signature, kV2Length));
}

ProxyHeader::State ProxyHeader::take(const char* data, std::size_t length, std::size_t& used) {
  const std::size_t heldBefore = held_;
  const std::size_t taken = std::min(length, kMaxBytes - held_);
  std::memcpy(bytes_ + held_, data, taken);
  held_ += taken;
  std::size_t headerLength = 0;
  State state = State::Refused;
  if (prefixOf(bytes_, held_, kV2Signature, kV2Length)) {
    state = parseV2(headerLength);
  } else if (prefixOf(bytes_, held_, kV1Signature, kV1Length)) {
    state = parseV1(headerLength);
  }
  if (state == State::Reading && held_ == kMaxBytes) state = State::Refused;
  used = state == State::Done ? headerLength - heldBefore : taken;
  return state;
}

ProxyHeader::State ProxyHeader::parseV1(std::size_t& headerLength) {
  // "PROXY TCP4 <source> <destination> <source port> <destination port>\r\n", or
  // "PROXY UNKNOWN ...\r\n".
  const char* end = static_cast<const char*>(std::memchr(bytes_, '\n', held_));
  if (end == nullptr) return held_ >= kV1MaxLine ? State::Refused : State::Reading;
  headerLength = static_cast<std::size_t>(end - bytes_) + 1;
  if (headerLength > kV1MaxLine || headerLength < 2 || end[-1] != '\r') return State::Refused;
  const std::string line(static_cast<const char*>(bytes_ + kV1Length), end - 1);
  if (line.rfind("UNKNOWN", 0) == 0) return State::Done;
  if (line.rfind("TCP4 ", 0) != 0) return State::Refused;
  const std::size_t space = line.find(' ', 5);
  if (space == std::string::npos) return State::Refused;
  in_addr address{};
  if (inet_pton(AF_INET, line.substr(5, space - 5).c_str(), &address) != 1) return State::Refused;
  client_ = address.s_addr;
  return State::Done;
}

ProxyHeader::State ProxyHeader::parseV2(std::size_t& headerLength) {
  if (held_ < kV2Fixed) return State::Reading;
  const auto byte = [this](std::size_t i) { return static_cast<std::uint8_t>(bytes_[i]); };
  const std::size_t addressLength = (std::size_t{byte(14)} << 8) | byte(15);
  headerLength = kV2Fixed + addressLength;
  if (headerLength > kMaxBytes || (byte(12) >> 4) != 2) return State::Refused;
  if (held_ < headerLength) return State::Reading;
  const unsigned command = byte(12) & 0x0F;
  if (command == 0) return State::Done;  // LOCAL: the proxy's own connection (a health check)
  if (command != 1) return State::Refused;
  const unsigned family = byte(13) >> 4;
  if (family == 1 && addressLength >= 12) {  // IPv4: source, destination, the two ports
    std::memcpy(&client_, bytes_ + kV2Fixed, 4);
  } else if (family == 2 && addressLength >= 36) {  // IPv6: only a mapped IPv4 address fits
    static const unsigned char kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
    if (std::memcmp(bytes_ + kV2Fixed, kMapped, sizeof(kMapped)) != 0) return State::Refused;
    std::memcpy(&client_, bytes_ + kV2Fixed + 12, 4);
  } else if (family != 0) {
    return State::Refused;
  }
  return State::Done;
}

}  // namespace velmor
