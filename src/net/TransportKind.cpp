#include "net/TransportKind.h"

#include <arpa/inet.h>

#include <charconv>

namespace velmor {

const char* transportName(TransportKind kind) {
  switch (kind) {
    case TransportKind::Tcp:
      return "tcp";
    case TransportKind::Tls:
      return "tls";
    case TransportKind::WebSocket:
      return "ws";
    case TransportKind::SecureWebSocket:
      return "wss";
  }
  return "tcp";
}

bool parseAddressRange(const std::string& text, AddressRange& range) {
  const std::size_t slash = text.find('/');
  in_addr address{};
  if (inet_pton(AF_INET, text.substr(0, slash).c_str(), &address) != 1) return false;
  unsigned bits = 32;
  if (slash != std::string::npos) {
    const char* first = text.data() + slash + 1;
    const char* last = text.data() + text.size();
    const auto [end, error] = std::from_chars(first, last, bits);
    if (error != std::errc() || end != last || first == last || bits > 32) return false;
  }
  range.mask = bits == 0 ? 0 : htonl(~std::uint32_t{0} << (32 - bits));
  range.address = address.s_addr & range.mask;
  return true;
}

}  // namespace velmor
