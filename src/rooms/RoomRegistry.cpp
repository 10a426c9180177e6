#include "rooms/RoomRegistry.h"

#include <algorithm>
#include <cstring>

#include "base/FixedText.h"
#include "model/BanCoding.h"
#include "rooms/RoomQueries.h"
#include "users/Sending.h"
#include "users/User.h"
#include "wire/MessageBuilder.h"

namespace velmor {

using wire::ServerCode;

namespace {

// RoomList: the type byte and the count, then per room at most its name, the flags, the
// member count and the user limit.
constexpr std::size_t kRoomListHead = 1 + 2;
std::size_t largestEntry(const RoomRecord& record) {
  return 2 + strnlen(record.name, sizeof(record.name)) + 1 + 2 + 2;
}

}  // namespace

RoomRegistry::RoomRegistry(RoomServices& services, std::atomic<bool>& sweepRequest)
    : services_(services),
      roomListBytes_(kRoomListHead),
      sweepRequested_(sweepRequest),
      schedule_(services.limits.roomUpdateInterval, services.limits.tickInterval) {
  services_.activity = this;
}

RoomRegistry::~RoomRegistry() {
  services_.activity = nullptr;
}

bool RoomRegistry::canMakeLive(const RoomRecord& record) const {
  return roomListBytes_ + largestEntry(record) <= wire::kMaxFramePayload;
}

Room& RoomRegistry::makeLive(const RoomRecord& record) {
  auto room = std::make_unique<Room>(record, services_, ++lastSerial_);
  Room& live = *room;
  // Idle time, and the hour to its first save, count from the moment the room woke.
  live.lastUpdateTime_ = services_.clock.nowMs();
  live.touchedAt_ = live.lastUpdateTime_;
  live.roomNumber_ = static_cast<std::uint32_t>(live_.size());
  live_.push_back(std::move(room));
  new_.push_back(&live);
  liveMap_[live.record_.lowerName] = &live;
  roomListBytes_ += largestEntry(live.record_);
  services_.traffic.rooms.add(1);
  queueSleep(live);  // empty until someone enters
  return live;
}

void RoomRegistry::addStored(const RoomRecord& record) {
  countCreator(record, 1);
  directory_.add(record);
}

bool RoomRegistry::removeStored(const char* lowerName) {
  return directory_.remove(lowerName);
}

const RoomRecord* RoomRegistry::findStored(const char* lowerName) const {
  return directory_.find(lowerName);
}

std::size_t RoomRegistry::roomCount() const {
  return directory_.size() + live_.size() + fallingAsleep_.size() + expiryBacklog() +
         creationsInFlight_;
}

Room* RoomRegistry::addAtStart(const RoomRecord& record, bool live) {
  if (!live || !canMakeLive(record)) {
    addStored(record);
    return nullptr;
  }
  countCreator(record, 1);
  return &makeLive(record);
}

std::size_t RoomRegistry::roomsCreatedBy(std::string_view creatorKey) const {
  auto entry = roomsByCreator_.find(creatorKey);
  return entry == roomsByCreator_.end() ? 0 : entry->second;
}

void RoomRegistry::creationPosted(std::string_view creatorKey) {
  ++creationsInFlight_;
  countCreator(creatorKey, 1);
}

void RoomRegistry::creationEnded(std::string_view creatorKey) {
  if (creationsInFlight_ > 0) --creationsInFlight_;
  countCreator(creatorKey, -1);
}

void RoomRegistry::countCreator(const RoomRecord& record, int change) {
  char key[32];
  lowerName(key, fieldText(record.creatorName));
  countCreator(fieldText(key), change);
}

void RoomRegistry::countCreator(std::string_view creatorKey, int change) {
  if (change > 0) {
    ++roomsByCreator_[std::string(creatorKey)];
    return;
  }
  auto entry = roomsByCreator_.find(creatorKey);
  if (entry != roomsByCreator_.end() && --entry->second == 0) roomsByCreator_.erase(entry);
}

bool RoomRegistry::makeWayFor(const RoomRecord& record) {
  if (canMakeLive(record)) return true;
  // The rooms it sends to sleep are ones clients were told of: announced first.
  announceNewRooms();
  std::vector<Room*> sleepers;
  std::size_t freed = 0;
  for (auto due = sleepQueue_.begin();
       due != sleepQueue_.end() &&
       roomListBytes_ - freed + largestEntry(record) > wire::kMaxFramePayload;
       ++due) {
    if (due->second->record_.neverSleeps) continue;
    sleepers.push_back(due->second);
    freed += largestEntry(due->second->record_);
  }
  sleepAll(sleepers);
  return canMakeLive(record);
}

Room* RoomRegistry::findLive(const char* lowerName) const {
  auto entry = liveMap_.find(std::string_view(lowerName));
  return entry == liveMap_.end() ? nullptr : entry->second;
}

std::unique_ptr<Room> RoomRegistry::removeLive(Room& room) {
  if (auto entry = liveMap_.find(std::string_view(room.record_.lowerName)); entry != liveMap_.end())
    liveMap_.erase(entry);
  services_.traffic.rooms.sub(1);
  schedule_.release(room);
  cancelSleep(room);
  if (room.awaitingAnnouncement_) std::erase(new_, &room);
  std::erase(chatDue_, &room);
  std::erase(lockDue_, &room);
  std::erase(emptied_, &room);
  roomListBytes_ -= largestEntry(room.record_);
  // Its number is its place: the tick keeps the numbers right while it walks the list.
  auto live = live_.begin() + room.roomNumber_;
  if (room.roomNumber_ >= live_.size() || live->get() != &room) {
    live = std::find_if(live_.begin(), live_.end(),
                        [&room](const auto& entry) { return entry.get() == &room; });
  }
  std::unique_ptr<Room> taken = std::move(*live);
  const auto position = static_cast<std::uint16_t>(live - live_.begin());
  live_.erase(live);
  MessageBuilder closed;
  closed.begin(ServerCode::RoomClosed).u16(position);
  broadcastOnline(services_.online, closed);
  return taken;
}

void RoomRegistry::unload(Room& room) {
  room.dropFollowers();
  std::unique_ptr<Room> slept = removeLive(room);
  slept->releaseRelayState();
  slept->noteUse();  // stored as used until it slept
  const RoomRecord saved = slept->record_;
  std::string bans = encodeBans(slept->banList_);
  auto* save = new SaveRoomQuery(*this, saved, std::move(bans), std::move(slept));
  fallingAsleep_[saved.lowerName] = save;
  services_.queries.post(nullptr, save);
}

bool RoomRegistry::isFallingAsleep(const char* lowerName) const {
  return fallingAsleep_.find(std::string_view(lowerName)) != fallingAsleep_.end();
}

Room* RoomRegistry::wake(const char* lowerName) {
  auto entry = fallingAsleep_.find(std::string_view(lowerName));
  if (entry == fallingAsleep_.end()) return nullptr;
  const RoomRecord record = entry->second->record;
  if (!makeWayFor(record)) return nullptr;
  entry = fallingAsleep_.find(std::string_view(lowerName));  // the way made adds sleepers
  std::unique_ptr<Room> slept = entry->second->takeRoom();
  fallingAsleep_.erase(entry);
  // A fresh live room, with the record, the files and the bans the sleeping one held.
  Room& live = makeLive(slept->record_);
  live.setFiles(slept->takeFiles());
  live.setBans(slept->takeBans());
  return &live;
}

void RoomRegistry::returnToDirectory(const SaveRoomQuery& save, std::unique_ptr<Room> slept) {
  forgetSleeping(save);
  directory_.add(slept->record_);
}

void RoomRegistry::forgetSleeping(const SaveRoomQuery& save) {
  auto entry = fallingAsleep_.find(std::string_view(save.record.lowerName));
  if (entry != fallingAsleep_.end() && entry->second == &save) fallingAsleep_.erase(entry);
}

void RoomRegistry::saveAll() {
  for (const auto& room : live_) {
    if (!room->members_.empty()) room->noteUse();
    services_.queries.post(
        nullptr, new SaveRoomQuery(*this, room->record_, encodeBans(room->banList_), nullptr));
  }
}

void RoomRegistry::roomOccupied(Room& room) {
  cancelSleep(room);
  schedule_.hold(room);
}

void RoomRegistry::roomEmptied(Room& room) {
  schedule_.release(room);
  emptied_.push_back(&room);
}

void RoomRegistry::bansChanged(Room& room) {
  services_.queries.post(nullptr, new SaveRoomBansQuery(room.record_, encodeBans(room.banList_)));
}

void RoomRegistry::chatQueued(Room& room) {
  chatDue_.push_back(&room);
}

void RoomRegistry::lockChangeLeft(Room& room) {
  lockDue_.push_back(&room);
}

void RoomRegistry::queueSleep(Room& room) {
  cancelSleep(room);
  if (room.record_.neverSleeps) return;
  room.sleepEntry_ =
      sleepQueue_.emplace(room.lastUpdateTime_ + services_.limits.roomidletime, &room);
  room.waitsToSleep_ = true;
}

void RoomRegistry::cancelSleep(Room& room) {
  if (!room.waitsToSleep_) return;
  sleepQueue_.erase(room.sleepEntry_);
  room.waitsToSleep_ = false;
}

void RoomRegistry::deletionDone(const RoomRecord& deleted) {
  countCreator(deleted, -1);
  if (deletesInFlight_ > 0) --deletesInFlight_;
  postDeletions();
  services_.traffic.expiredToDelete.set(expiryBacklog());
}

void RoomRegistry::touch(Room& room) {
  room.touchedAt_ = services_.clock.nowMs();
  if (!room.members_.empty()) room.noteUse();  // in use all along, joined or not
  if (room.lastAccessSaved_) return;
  services_.queries.post(nullptr, new TouchRoomQuery(room.record_));
  // The time stays in the record: a room that sleeps later still carries its real last
  // access to the directory and the expiry sweep.
  room.lastAccessSaved_ = true;
}

}  // namespace velmor
