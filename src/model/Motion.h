#pragma once

#include <cstdint>

namespace velmor {

// How the relay last told a room about something that moves in it, a member or a named
// object: moving or stopped, and quiet or not (idle for a member, stale for an object).
// Both start moving and not quiet. The relay pass is the only writer (Relay.cpp).
struct Motion {
  std::uint8_t moving = 1;
  std::uint8_t quiet = 0;
};

}  // namespace velmor
