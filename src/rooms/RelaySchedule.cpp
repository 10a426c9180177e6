#include "rooms/RelaySchedule.h"

#include <algorithm>

#include "rooms/Room.h"

namespace velmor {

RelaySchedule::RelaySchedule(std::uint32_t updateInterval, std::uint32_t tickInterval) {
  const std::uint32_t phases =
      tickInterval == 0 ? 1 : std::max<std::uint32_t>(1, (updateInterval + tickInterval - 1) / tickInterval);
  holders_.assign(phases, 0);
}

bool RelaySchedule::inPhase(const Room& room) const { return room.relayPhase == current_; }

void RelaySchedule::hold(Room& room) {
  if (room.holdsRelayPhase) return;
  const auto least = std::min_element(holders_.begin(), holders_.end());
  room.relayPhase = static_cast<std::uint32_t>(least - holders_.begin());
  room.holdsRelayPhase = true;
  ++*least;
}

void RelaySchedule::release(Room& room) {
  if (!room.holdsRelayPhase) return;
  --holders_[room.relayPhase];
  room.holdsRelayPhase = false;
}

}  // namespace velmor
