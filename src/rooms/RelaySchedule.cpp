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
  return room.holdsRelayPhase_ && room.relayPhase_ == current_;
}

void RelaySchedule::hold(Room& room) {
  if (room.holdsRelayPhase_) return;
  const auto least =
      std::min_element(rooms_.begin(), rooms_.end(),
                       [](const auto& a, const auto& b) { return a.size() < b.size(); });
  room.relayPhase_ = static_cast<std::uint32_t>(least - rooms_.begin());
  room.phaseSlot_ = static_cast<std::uint32_t>(least->size());
  room.holdsRelayPhase_ = true;
  least->push_back(&room);
}

void RelaySchedule::release(Room& room) {
  if (!room.holdsRelayPhase_) return;
  std::vector<Room*>& phase = rooms_[room.relayPhase_];
  Room* last = phase.back();
  phase[room.phaseSlot_] = last;
  last->phaseSlot_ = room.phaseSlot_;
  phase.pop_back();
  room.holdsRelayPhase_ = false;
}

}  // namespace velmor
