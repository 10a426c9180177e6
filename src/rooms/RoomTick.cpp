#include "rooms/RoomTick.h"

#include "protocol/Login.h"
#include "wire/MessageBuilder.h"
#include "users/Sending.h"
#include "rooms/Relay.h"
#include "rooms/RoomEntry.h"
#include "rooms/RoomRegistry.h"
#include "core/ServerCore.h"

namespace velmor {

namespace {

constexpr std::uint64_t kSweepPeriodMs = 5000;
constexpr std::uint64_t kTouchPeriodMs = 3600000;

void announceNewRooms(ServerCore& core) {
  if (core.newRooms.empty()) return;
  MessageBuilder opened;
  for (Room* room : core.newRooms) {
    opened.begin(wire::ServerCode::RoomOpened);
    writeRoomEntry(*room, core, opened);
    room->announcedHasPassword = room->hasPassword;
    room->lockAnnouncementDue = 0;
  }
  core.newRooms.clear();
  broadcastOnline(core, opened);
}

void processLiveRooms(ServerCore& core, std::uint64_t now) {
  for (std::size_t i = 0; i < core.liveRooms.size();) {
    Room& room = *core.liveRooms[i];
    room.roomNumber = static_cast<std::uint32_t>(i);
    room.lockAnnouncedThisTick = 0;
    if (room.lockAnnouncementDue) announceLock(core, room);
    if (!room.members.empty()) {
      if (now - room.lastUpdateTime >= core.roomUpdateInterval) {
        relayUpdate(room, now);
        room.lastUpdateTime = now;
      } else if (room.chatPending) {
        MessageBuilder chat;
        deliverChat(room, chat);
        sendToMembers(room, chat);
      }
    } else if (room.memberLeft) {
      relayUpdate(room, now);  // the emptied room tells its followers once more
      room.lastUpdateTime = now;
      room.memberLeft = 0;
    } else if (now - room.lastUpdateTime > core.roomidletime && !room.record.neverSleeps) {
      unload(core, room, static_cast<std::uint32_t>(i));
      continue;  // the next room moved into position i
    }
    ++i;
  }
}

void sweepExpiredRooms(ServerCore& core, std::uint32_t wallNow) {
  const auto t = static_cast<std::int64_t>(wallNow);
  for (std::size_t i = 0; i < core.roomDirectory.size();) {
    const RoomRecord& record = *core.roomDirectory[i];
    const std::int64_t age = t - static_cast<std::int64_t>(record.lastAccessed);
    if (age >= 0 && age > static_cast<std::int64_t>(core.roomExpiryTime)) {
      auto* expired = new VelmorRoomQuery(QueryKind::DeleteRoom);
      expired->record = record;
      core.postQuery(nullptr, expired);
      core.storedRoomMap.erase(record.lowerName);
      core.roomDirectory.erase(core.roomDirectory.begin() + static_cast<std::ptrdiff_t>(i));
      continue;
    }
    ++i;
  }
}

}  // namespace

void roomTick(ServerCore& core, std::uint64_t now, std::uint32_t wallNow) {
  announceNewRooms(core);
  processLiveRooms(core, now);
  if (core.sweepRequested.exchange(false, std::memory_order_acq_rel)) core.sweepTime = 0;
  if (now - core.sweepTime > kSweepPeriodMs) {
    sweepExpiredRooms(core, wallNow);
    core.sweepTime = now;
  }
  if (now - core.touchTime > kTouchPeriodMs) {
    for (const auto& room : core.liveRooms) touch(core, *room);
    core.touchTime = now;
  }
  admitWaitingUsers(core);
}

}  // namespace velmor
