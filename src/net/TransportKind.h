#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace velmor {

class WebFolder;

// The doors a connection may come in by. Every door carries the same protocol bytes; they
// differ in what wraps them on the socket.
enum class TransportKind : std::uint8_t { Tcp, Tls, WebSocket, SecureWebSocket };
inline constexpr std::size_t kTransportKinds = 4;

// The label of a door in the metrics and on the status screen.
const char* transportName(TransportKind kind);

// An IPv4 network (address and mask in network byte order).
struct AddressRange {
  std::uint32_t address = 0;
  std::uint32_t mask = 0;
  bool contains(std::uint32_t candidate) const { return (candidate & mask) == (address & mask); }
};

// "a.b.c.d" or "a.b.c.d/n"; false for anything else.
bool parseAddressRange(const std::string& text, AddressRange& range);

// What the doors apply to every connection, set by the application before it listens.
// Main loop only.
struct DoorPolicy {
  std::vector<AddressRange> trustedProxies;   // their connections name the client's address
  std::vector<std::string> websocketOrigins;  // empty: any Origin
  // What a plain GET on the WebSocket port may fetch; null: no pages (426, as before).
  std::shared_ptr<const WebFolder> web;
  bool trusts(std::uint32_t address) const {
    for (const AddressRange& range : trustedProxies)
      if (range.contains(address)) return true;
    return false;
  }
};

}  // namespace velmor
