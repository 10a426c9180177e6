// The rooms' periodic processing, every 20 ms.
#include <algorithm>

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
  ++services_.ticks;
  schedule_.startTick();
  announceNewRooms();
  processLiveRooms(now);
  if (sweepRequested_.exchange(false, std::memory_order_acq_rel)) sweepTime_ = 0;
  if (sweeping_ || now - sweepTime_ > kSweepPeriodMs) {
    sweeping_ = !sweepExpired(wallNow);
    if (!sweeping_) sweepTime_ = now;
  }
  postDeletions();
  services_.traffic.expiredToDelete.set(expiryBacklog());
  touchInTurn(now);
}

void RoomRegistry::announceNewRooms() {
  if (new_.empty()) return;
  MessageBuilder opened;
  for (Room* room : new_) {
    opened.begin(wire::ServerCode::RoomOpened);
    writeRoomEntry(*room, opened);
    room->announced();
  }
  new_.clear();
  broadcastOnline(services_.online, opened);
}

void RoomRegistry::processLiveRooms(std::uint64_t now) {
  const std::uint32_t updateInterval = services_.limits.roomUpdateInterval;
  for (Room* room : schedule_.roomsInPhase()) {
    if (now - room->lastUpdateTime_ < updateInterval) continue;  // got its phase just now
    relayUpdate(*room, now);
    room->lastUpdateTime_ = now;
  }
  // Lines of the other rooms go out between their passes.
  for (Room* room : chatDue_) {
    if (room->chatWaits() && !room->members_.empty()) deliverChatBetweenPasses(*room);
  }
  chatDue_.clear();
  for (Room* room : lockDue_) room->announceLock();
  lockDue_.clear();
  // A room emptied by its last member tells its followers once more, then waits to sleep.
  for (Room* room : emptied_) {
    if (!room->members_.empty() || !room->departuresWait()) continue;
    relayUpdate(*room, now);  // tells the departures, and clears them
    room->lastUpdateTime_ = now;
    queueSleep(*room);
  }
  emptied_.clear();
  sleepIdleRooms(now);
}

void RoomRegistry::sleepIdleRooms(std::uint64_t now) {
  // Idle means more than the idle time since the room's last pass.
  std::vector<Room*> sleepers;
  for (auto due = sleepQueue_.begin();
       due != sleepQueue_.end() && due->first < now && sleepers.size() < kSleepSlice;) {
    Room* room = due->second;
    ++due;
    if (room->record_.neverSleeps) {
      cancelSleep(*room);  // told since to stay awake
    } else {
      sleepers.push_back(room);
    }
  }
  sleepAll(sleepers);
}

void RoomRegistry::sleepAll(std::vector<Room*>& sleepers) {
  if (sleepers.empty()) return;
  // In the order of their numbers, each RoomClosed naming the place the room has when it
  // is sent; the numbers of the rooms behind are put right once, at the end.
  std::sort(sleepers.begin(), sleepers.end(),
            [](const Room* a, const Room* b) { return a->roomNumber_ < b->roomNumber_; });
  const std::uint32_t first = sleepers.front()->roomNumber_;
  for (std::size_t i = 0; i < sleepers.size(); ++i) {
    sleepers[i]->roomNumber_ -= static_cast<std::uint32_t>(i);
    unload(*sleepers[i]);
  }
  for (std::size_t p = first; p < live_.size(); ++p)
    live_[p]->roomNumber_ = static_cast<std::uint32_t>(p);
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
    if (now - room.touchedAt_ > kTouchPeriodMs) touch(room);
  }
}

}  // namespace velmor
