// The rooms' periodic processing, every 20 ms.
#include "rooms/Relay.h"
#include "rooms/RoomEntry.h"
#include "rooms/RoomQueries.h"
#include "rooms/RoomRegistry.h"
#include "users/Sending.h"
#include "wire/MessageBuilder.h"

namespace velmor {

namespace {
constexpr std::uint64_t kSweepPeriodMs = 5000;
constexpr std::uint64_t kTouchPeriodMs = 3600000;
}  // namespace

void RoomRegistry::tick(std::uint64_t now, std::uint32_t wallNow) {
  schedule_.startTick();
  announceNewRooms();
  processLiveRooms(now);
  if (sweepRequested_.exchange(false, std::memory_order_acq_rel)) sweepTime_ = 0;
  if (now - sweepTime_ > kSweepPeriodMs) {
    sweepExpired(wallNow);
    sweepTime_ = now;
  }
  if (now - touchTime_ > kTouchPeriodMs) {
    for (const auto& room : live_) touch(*room);
    touchTime_ = now;
  }
}

void RoomRegistry::announceNewRooms() {
  if (new_.empty()) return;
  MessageBuilder opened;
  for (Room* room : new_) {
    opened.begin(wire::ServerCode::RoomOpened);
    writeRoomEntry(*room, opened);
    room->awaitingAnnouncement = 0;
    room->announcedHasPassword = room->hasPassword;
    room->lockAnnouncementDue = 0;
  }
  new_.clear();
  broadcastOnline(services_.online, opened);
}

void RoomRegistry::processLiveRooms(std::uint64_t now) {
  const std::uint32_t updateInterval = services_.limits.roomUpdateInterval;
  for (std::size_t i = 0; i < live_.size();) {
    Room& room = *live_[i];
    room.roomNumber = static_cast<std::uint32_t>(i);
    room.lockAnnouncedThisTick = 0;
    if (room.lockAnnouncementDue) announceLock(room);
    if (!room.members.empty()) {
      schedule_.hold(room);
      if (schedule_.inPhase(room) && now - room.lastUpdateTime >= updateInterval) {
        relayUpdate(room, now);
        room.lastUpdateTime = now;
      } else if (room.relay.chatPending) {
        deliverChatBetweenPasses(room);
      }
    } else {
      schedule_.release(room);
      if (room.relay.memberLeft) {
        relayUpdate(room, now);  // the emptied room tells its followers once more
        room.lastUpdateTime = now;
        room.relay.memberLeft = 0;
      } else if (now - room.lastUpdateTime > services_.limits.roomidletime &&
                 !room.record.neverSleeps) {
        unload(room);
        continue;  // the next room moved into position i
      }
    }
    ++i;
  }
}

void RoomRegistry::sweepExpired(std::uint32_t wallNow) {
  const auto t = static_cast<std::int64_t>(wallNow);
  for (std::size_t i = 0; i < directory_.size();) {
    const RoomRecord& record = *directory_[i];
    const std::int64_t age = t - static_cast<std::int64_t>(record.lastAccessed);
    if (age >= 0 && age > static_cast<std::int64_t>(services_.limits.roomExpiryTime)) {
      services_.queries.post(nullptr, new DeleteRoomQuery(record));
      if (auto entry = storedMap_.find(std::string_view(record.lowerName));
          entry != storedMap_.end()) {
        storedMap_.erase(entry);
      }
      directory_.erase(directory_.begin() + static_cast<std::ptrdiff_t>(i));
      continue;
    }
    ++i;
  }
}

}  // namespace velmor
