#pragma once

#include <cstdint>
#include <vector>

namespace velmor {

class Room;

// Spreads the relay passes of the rooms with members over the ticks. A room's pass is due
// every `updateInterval` ms and ticks come every `tickInterval` ms, so a room is relayed
// every `phases()` = ceil(updateInterval / tickInterval) ticks (3: every 60 ms at 50 and 20).
// Each room with members holds one of those phases, the one held by the fewest rooms when it
// got its first member, and is relayed only in the ticks of its phase. One tick thus relays
// about a `phases()`-th of the occupied rooms, instead of rooms that filled up together all
// relaying in one tick and none in the next two; and it looks at those rooms only, through
// the list each phase keeps of its rooms. Owned by the RoomRegistry; main loop only.
class RelaySchedule {
 public:
  RelaySchedule(std::uint32_t updateInterval, std::uint32_t tickInterval);

  std::uint32_t phases() const { return static_cast<std::uint32_t>(rooms_.size()); }
  // The phase of the tick that starts; called once at the start of every tick.
  void startTick() {
    current_ = static_cast<std::uint32_t>(ticks_ % rooms_.size());
    ++ticks_;
  }
  bool inPhase(const Room& room) const;
  // The rooms of the current tick's phase. Holding and releasing change it: not while it is
  // walked.
  const std::vector<Room*>& roomsInPhase() const { return rooms_[current_]; }

  // The room got members: it takes the least held phase. Nothing if it holds one already.
  void hold(Room& room);
  // The room has no members left (or goes away): it gives its phase back.
  void release(Room& room);
  std::uint32_t holders(std::uint32_t phase) const {
    return static_cast<std::uint32_t>(rooms_[phase].size());
  }

 private:
  std::vector<std::vector<Room*>> rooms_;  // the occupied rooms of each phase
  std::uint64_t ticks_ = 0;
  std::uint32_t current_ = 0;
};

}  // namespace velmor
