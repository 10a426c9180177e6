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
  std::uint32_t roomUpdateInterval = 50;    // ms between two relay passes of a room
  std::uint32_t tickInterval = 20;          // ms between two ticks of the rooms
  std::uint32_t enemyupdateinterval = 500;  // ms
  std::uint32_t roomidletime = 600000;      // ms a live room without members stays awake
  std::uint32_t roomExpiryTime = 604800;    // s a stored room stays unused before deletion
};

class Room;

// What the rooms' periodic processing hears of its live rooms between two ticks, so that a
// tick attends to the rooms that need it instead of walking them all. Implemented by the
// RoomRegistry. Main loop only.
class RoomActivity {
 public:
  virtual void roomOccupied(Room& room) = 0;    // its first member joined
  virtual void roomEmptied(Room& room) = 0;     // its last member left
  virtual void chatQueued(Room& room) = 0;      // lines wait for delivery (none waited)
  virtual void lockChangeLeft(Room& room) = 0;  // a lock change waits for the next tick
  virtual void bansChanged(Room& room) = 0;     // a ban or an unban, to store

 protected:
  ~RoomActivity() = default;
};

// What live rooms and the relay reach beyond themselves: the clock, the users online (the
// relay's other users, the announcements), the traffic counters, where queries go, the
// limits, the relay's count of passes, and the registry's ear. Owned by the ServerCore (or a
// test, which can build rooms and users on it without databases, a worker thread or a
// socket). Main loop.
struct RoomServices {
  ServerClock& clock;
  OnlineUsers& online;
  TrafficCounters& traffic;
  QueryPoster& queries;
  RoomLimits limits;
  // The relay passes run so far; the running pass is number relayPasses. A user whose
  // relay.servedPass equals it was sent a frame by this pass.
  std::uint64_t relayPasses = 0;
  // The ticks run so far (the running one included).
  std::uint64_t ticks = 0;
  // Set by the RoomRegistry built on these services.
  RoomActivity* activity = nullptr;
};

}  // namespace velmor
