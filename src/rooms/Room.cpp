#include "rooms/Room.h"

#include "model/ChatLine.h"
#include "core/ServerCore.h"

namespace velmor {

namespace {
constexpr std::uint32_t kResetLeadMs = 3000;
}

Room::Room(const RoomRecord& roomRecord, ServerCore& serverCore)
    : record(roomRecord),
      hasPassword(roomRecord.password[0] != '\0'),
      announcedHasPassword(hasPassword),
      resetTime(serverCore.clock - kResetLeadMs),
      memberCheckTime(serverCore.clock),
      core(serverCore) {}

Room::~Room() {
  releaseRelayState();
  for (FileRecord* file : files) FileRecord::release(file);
}

void Room::releaseRelayState() {
  for (ChatLine* line : chatQueue) ChatLine::release(line);
  chatQueue.clear();
  for (ChatLine*& line : recentLines) {
    ChatLine::release(line);
    line = nullptr;
  }
  objects.clear();
  staleObjects = 0;
}

}  // namespace velmor
