#include "rooms/RoomRegistry.h"

#include <algorithm>

#include "rooms/Membership.h"
#include "rooms/RoomQueries.h"
#include "users/Sending.h"
#include "users/User.h"
#include "wire/MessageBuilder.h"

namespace velmor {

using wire::ServerCode;

RoomRegistry::RoomRegistry(RoomServices& services, std::atomic<bool>& sweepRequest)
    : services_(services),
      sweepRequested_(sweepRequest),
      schedule_(services.limits.roomUpdateInterval, services.limits.tickInterval) {}

RoomRegistry::~RoomRegistry() = default;

Room& RoomRegistry::makeLive(const RoomRecord& record) {
  auto room = std::make_unique<Room>(record, services_, ++lastSerial_);
  Room& live = *room;
  // Idle time counts from the moment the room woke, not from the loop's epoch.
  live.lastUpdateTime = services_.clock.nowMs();
  live.roomNumber = static_cast<std::uint32_t>(live_.size());
  live_.push_back(std::move(room));
  new_.push_back(&live);
  liveMap_[live.record.lowerName] = &live;
  services_.traffic.rooms.add(1);
  return live;
}

void RoomRegistry::addStored(const RoomRecord& record) {
  auto stored = std::make_unique<RoomRecord>(record);
  storedMap_[stored->lowerName] = stored.get();
  directory_.push_back(std::move(stored));
}

bool RoomRegistry::removeStored(const char* lowerName) {
  auto entry = storedMap_.find(std::string_view(lowerName));
  if (entry == storedMap_.end()) return false;
  const RoomRecord* record = entry->second;
  storedMap_.erase(entry);
  std::erase_if(directory_, [record](const auto& stored) { return stored.get() == record; });
  return true;
}

const RoomRecord* RoomRegistry::findStored(const char* lowerName) const {
  auto entry = storedMap_.find(std::string_view(lowerName));
  return entry == storedMap_.end() ? nullptr : entry->second;
}

Room* RoomRegistry::findLive(const char* lowerName) const {
  auto entry = liveMap_.find(std::string_view(lowerName));
  return entry == liveMap_.end() ? nullptr : entry->second;
}

std::unique_ptr<Room> RoomRegistry::removeLive(Room& room) {
  if (auto entry = liveMap_.find(std::string_view(room.record.lowerName)); entry != liveMap_.end())
    liveMap_.erase(entry);
  services_.traffic.rooms.sub(1);
  schedule_.release(room);
  std::erase(new_, &room);
  auto live = std::find_if(live_.begin(), live_.end(),
                           [&room](const auto& entry) { return entry.get() == &room; });
  std::unique_ptr<Room> taken = std::move(*live);
  const auto position = static_cast<std::uint16_t>(live - live_.begin());
  live_.erase(live);
  MessageBuilder closed;
  closed.begin(ServerCode::RoomClosed).u16(position);
  broadcastOnline(services_.online, closed);
  return taken;
}

void RoomRegistry::unload(Room& room) {
  // The list is taken over first, so that each follower leaves it at no cost.
  const std::vector<User*> followers = std::move(room.channelMembers);
  room.channelMembers.clear();
  for (User* follower : followers) stopFollowing(*follower, room);
  std::unique_ptr<Room> slept = removeLive(room);
  slept->releaseRelayState();
  slept->noteUse();  // stored as used until it slept
  const RoomRecord saved = slept->record;
  auto* save = new SaveRoomQuery(*this, saved, std::move(slept));
  fallingAsleep_[saved.lowerName] = save;
  services_.queries.post(nullptr, save);
}

bool RoomRegistry::isFallingAsleep(const char* lowerName) const {
  return fallingAsleep_.find(std::string_view(lowerName)) != fallingAsleep_.end();
}

Room* RoomRegistry::wake(const char* lowerName) {
  auto entry = fallingAsleep_.find(std::string_view(lowerName));
  if (entry == fallingAsleep_.end()) return nullptr;
  std::unique_ptr<Room> slept = entry->second->takeRoom();
  fallingAsleep_.erase(entry);
  // A fresh live room (its bans, like those of any room that slept, are gone), with the
  // record and the files the sleeping one held.
  Room& live = makeLive(slept->record);
  live.files = std::move(slept->files);
  return &live;
}

void RoomRegistry::returnToDirectory(const SaveRoomQuery& save, std::unique_ptr<Room> slept) {
  forgetSleeping(save);
  addStored(slept->record);
}

void RoomRegistry::forgetSleeping(const SaveRoomQuery& save) {
  auto entry = fallingAsleep_.find(std::string_view(save.record.lowerName));
  if (entry != fallingAsleep_.end() && entry->second == &save) fallingAsleep_.erase(entry);
}

void RoomRegistry::saveAll() {
  for (const auto& room : live_) {
    if (!room->members.empty()) room->noteUse();
    services_.queries.post(nullptr, new SaveRoomQuery(*this, room->record, nullptr));
  }
}

void RoomRegistry::touch(Room& room) {
  if (!room.members.empty()) room.noteUse();  // in use all along, joined or not
  if (room.lastAccessSaved) return;
  services_.queries.post(nullptr, new TouchRoomQuery(room.record));
  // The time stays in the record: a room that sleeps later still carries its real last
  // access to the directory and the expiry sweep.
  room.lastAccessSaved = true;
}

}  // namespace velmor
