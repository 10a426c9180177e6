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
  if (sweeping_ || now - sweepTime_ > kSweepPeriodMs) {
    sweeping_ = !sweepExpired(wallNow);
    if (!sweeping_) sweepTime_ = now;
  }
  postDeletions();
  touchInTurn(now);
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

bool RoomRegistry::sweepExpired(std::uint32_t wallNow) {
  const auto t = static_cast<std::int64_t>(wallNow);
  for (std::size_t taken = 0; taken < kSweepSlice; ++taken) {
    const RoomRecord* oldest = directory_.oldest();
    if (oldest == nullptr) return true;
    const std::int64_t age = t - static_cast<std::int64_t>(oldest->lastAccessed);
    // Oldest first: once one is young enough, so are all the others.
    if (age < 0 || age <= static_cast<std::int64_t>(services_.limits.roomExpiryTime)) return true;
    expired_.push_back(*oldest);
    directory_.remove(expired_.back().lowerName);
  }
  return false;
}

void RoomRegistry::postDeletions() {
  while (!expired_.empty() && deletesInFlight_ < kDeletesInFlight) {
    services_.queries.post(nullptr, new DeleteRoomQuery(*this, expired_.front()));
    expired_.pop_front();
    ++deletesInFlight_;
  }
}

void RoomRegistry::touchInTurn(std::uint64_t now) {
  for (std::size_t looked = 0; looked < kTouchSlice && looked < live_.size(); ++looked) {
    if (touchCursor_ >= live_.size()) touchCursor_ = 0;
    Room& room = *live_[touchCursor_++];
    if (now - room.touchedAt > kTouchPeriodMs) touch(room);
  }
}

}  // namespace velmor
