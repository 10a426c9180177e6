#include "rooms/RelaySchedule.h"

#include <algorithm>

#include "rooms/Room.h"

namespace velmor {

RelaySchedule::RelaySchedule(std::uint32_t updateInterval, std::uint32_t tickInterval) {
  const std::uint32_t phases =
      tickInterval == 0
          ? 1
          : std::max<std::uint32_t>(1, (updateInterval + tickInterval - 1) / tickInterval);
  rooms_.resize(phases);
}

bool RelaySchedule::inPhase(const Room& room) const {
  return room.holdsRelayPhase && room.relayPhase == current_;
}

void RelaySchedule::hold(Room& room) {
  if (room.holdsRelayPhase) return;
  const auto least =
      std::min_element(rooms_.begin(), rooms_.end(),
                       [](const auto& a, const auto& b) { return a.size() < b.size(); });
  room.relayPhase = static_cast<std::uint32_t>(least - rooms_.begin());
  room.phaseSlot = static_cast<std::uint32_t>(least->size());
  room.holdsRelayPhase = true;
  least->push_back(&room);
}

void RelaySchedule::release(Room& room) {
  if (!room.holdsRelayPhase) return;
  std::vector<Room*>& phase = rooms_[room.relayPhase];
  Room* last = phase.back();
  phase[room.phaseSlot] = last;
  last->phaseSlot = room.phaseSlot;
  phase.pop_back();
  room.holdsRelayPhase = false;
}

}  // namespace velmor
