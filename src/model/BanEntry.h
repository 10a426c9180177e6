#pragma once

#include <cstdint>

namespace velmor {

// One ban: of the server ban list or of a room's ban list. Held by value.
struct BanEntry {
  char name[32] = {};    // the banned user's name
  char issuer[32] = {};  // who banned
  char reason[64] = {};
  std::uint32_t address = 0;  // IPv4, network byte order
  std::uint32_t mask = 0;     // network byte order; 0 never matches an address

  bool matchesAddress(std::uint32_t peer) const {
    return mask != 0 && (peer & mask) == (address & mask);
  }
};

}  // namespace velmor
