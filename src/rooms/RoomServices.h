#pragma once

#include <cstdint>

#include "base/Clock.h"
#include "base/TrafficCounters.h"
#include "db/Queries.h"
#include "users/OnlineUsers.h"

namespace velmor {

// The settings the rooms go by; constant after start-up.
struct RoomLimits {
  std::uint32_t chatroommaxusers = 64;
  std::uint32_t navroommaxusers = 32;
  std::uint32_t roomUpdateInterval = 50;   // ms between two relay passes of a room
  std::uint32_t tickInterval = 20;         // ms between two ticks of the rooms
  std::uint32_t enemyupdateinterval = 500; // ms
  std::uint32_t roomidletime = 600000;     // ms a live room without members stays awake
  std::uint32_t roomExpiryTime = 604800;   // s a stored room stays unused before deletion
};

// What live rooms and the relay reach beyond themselves: the clock, the users online (the
// relay's other users, the announcements), the traffic counters, where queries go, the
// limits, and the relay's count of passes. Owned by the ServerCore (or a test, which can
// build rooms and users on it without databases, a worker thread or a socket). Main loop.
struct RoomServices {
  ServerClock& clock;
  OnlineUsers& online;
  TrafficCounters& traffic;
  QueryPoster& queries;
  RoomLimits limits;
  // The relay passes run so far; the running pass is number relayPasses. A user whose
  // relay.servedPass equals it was sent a frame by this pass.
  std::uint64_t relayPasses = 0;
};

}  // namespace velmor
