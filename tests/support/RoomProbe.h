#pragma once

#include <cstdint>
#include <vector>

#include "rooms/Room.h"

namespace velmor {

// A unit test's look inside a live room: the private state its verbs and the relay pass keep,
// to check it, and the few settings a test makes by hand (a pass's work raised, a check not
// due, a room told never to sleep). Tests only; main loop.
class RoomProbe {
 public:
  static PendingRelay& pending(Room& room) { return room.pending_; }
  static std::vector<Ref<ChatLine>>& chatQueue(Room& room) { return room.chatQueue_; }
  static const std::vector<std::uint32_t>& departedSlots(const Room& room) {
    return room.departedSlots_;
  }
  static const std::vector<ObjectEntry>& objects(const Room& room) { return room.objects_; }
  static const std::vector<EnemyReport>& enemyReports(const Room& room) {
    return room.enemyReports_;
  }
  static std::uint32_t& memberCheckTime(Room& room) { return room.memberCheckTime_; }
  static std::uint64_t lastUpdateTime(const Room& room) { return room.lastUpdateTime_; }
  static std::uint32_t relayPhase(const Room& room) { return room.relayPhase_; }
  static bool holdsRelayPhase(const Room& room) { return room.holdsRelayPhase_; }
  static RoomRecord& record(Room& room) { return room.record_; }
  static void setHasPassword(Room& room, bool locked) { room.hasPassword_ = locked ? 1 : 0; }
};

}  // namespace velmor
