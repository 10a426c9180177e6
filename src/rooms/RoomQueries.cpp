#include "rooms/RoomQueries.h"

#include "base/FixedText.h"
#include "db/FileDatabase.h"
#include "db/MainDatabase.h"
#include "rooms/Room.h"
#include "rooms/RoomRegistry.h"
#include "rooms/RoomRequests.h"
#include "users/Sending.h"
#include "users/User.h"

namespace velmor {

using wire::ServerCode;

bool LoadRoomQuery::execute(Storage& storage) {
  storage.main.loadRoom(*this);
  return true;
}

Room* LoadRoomQuery::liveRoom(bool& full) {
  lowerName(record.lowerName, record.name);
  full = false;
  if (Room* room = rooms_.findLive(record.lowerName)) return room;
  if (Room* room = rooms_.wake(record.lowerName)) return room;  // slept since: as it was
  if (!rooms_.isStored(record.lowerName)) {
    full = rooms_.isFallingAsleep(record.lowerName);
    return nullptr;  // deleted meanwhile, or falling asleep with no room left to wake it
  }
  if (!rooms_.canMakeLive(record)) {
    full = true;
    return nullptr;
  }
  rooms_.removeStored(record.lowerName);
  Room* room = &rooms_.makeLive(record);
  if (files) {
    room->setFiles(std::move(*files));
    files.reset();
  }
  return room;
}

bool LoadRoomQuery::complete() {
  auto& user = *static_cast<User*>(owner);  // not cancelled, so he is still here and online
  const bool latest = request == user.roomRequests.latest;
  if (result == queryresult::kRoomLoaded) {
    bool full = false;
    Room* room = liveRoom(full);
    if (latest && room == nullptr) {
      // Expired and swept meanwhile; or as many rooms are live as a room list can name.
      sendCode(user, full ? ServerCode::RoomFull : ServerCode::NoSuchRoom);
    } else if (latest && user.room != room) {
      room->enter(user, suppliedPassword, true);
    }
  } else if (latest && result != 0) {
    sendCode(user, static_cast<ServerCode>(result));
  }
  resumeRoomRequests(rooms_, user);
  return false;
}

bool CreateRoomQuery::execute(Storage& storage) {
  storage.main.createRoom(*this);
  return true;
}

bool CreateRoomQuery::complete() {
  if (result == queryresult::kRoomCreated) {
    RoomRecord stored = record;
    lowerName(stored.lowerName, stored.name);
    rooms_.addStored(stored);
  }
  if (owner != nullptr) sendCode(*static_cast<User*>(owner), static_cast<ServerCode>(result));
  return false;
}

SaveRoomQuery::SaveRoomQuery(RoomRegistry& rooms, const RoomRecord& saved,
                             std::unique_ptr<Room> slept)
    : VelmorRoomQuery(QueryKind::SaveRoom), rooms_(rooms), slept_(std::move(slept)) {
  record = saved;  // the worker reads this copy, never the room
}

SaveRoomQuery::~SaveRoomQuery() {
  // Given up unstored at the stop: the registry forgets the sleeping room.
  if (slept_) rooms_.forgetSleeping(*this);
}

bool SaveRoomQuery::execute(Storage& storage) {
  unavailable = !storage.main.saveRoom(record);
  return true;
}

bool SaveRoomQuery::complete() {
  if (slept_) rooms_.returnToDirectory(*this, std::move(slept_));
  return false;
}

std::string SaveRoomQuery::unstoredText() const {
  return "passwords and last access of room " + std::string(recordName());
}

bool TouchRoomQuery::execute(Storage& storage) {
  unavailable = !storage.main.touchRoom(record);
  return false;
}

std::string TouchRoomQuery::unstoredText() const {
  return "last access of room " + std::string(recordName());
}

bool DeleteRoomQuery::execute(Storage& storage) {
  // An expired room goes with its files, so that a later room of the name starts empty.
  const bool row = storage.main.deleteRoom(record);
  const bool files = storage.files.deleteRoomFiles(fieldText(record.name));
  unavailable = !(row && files);
  return true;
}

bool DeleteRoomQuery::complete() {
  rooms_.deletionDone();
  return false;
}

std::string DeleteRoomQuery::unstoredText() const {
  return "deletion of the expired room " + std::string(recordName());
}

}  // namespace velmor
