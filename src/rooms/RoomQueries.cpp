#include "rooms/RoomQueries.h"

#include "base/FixedText.h"
#include "db/FileDatabase.h"
#include "db/MainDatabase.h"
#include "rooms/Membership.h"
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

Room* LoadRoomQuery::liveRoom() {
  lowerName(record.lowerName, record.name);
  if (Room* room = rooms_.findLive(record.lowerName)) return room;
  if (!rooms_.removeStored(record.lowerName)) return nullptr;  // deleted meanwhile
  Room* room = &rooms_.makeLive(record);
  if (files) {
    room->files = std::move(*files);
    files.reset();
  }
  return room;
}

bool LoadRoomQuery::complete() {
  auto& user = *static_cast<User*>(owner);  // not cancelled, so he is still here and online
  const bool latest = request == user.roomRequests.latest;
  if (result == queryresult::kRoomLoaded) {
    Room* room = liveRoom();
    if (latest && room != nullptr && user.room != room) {
      enterLiveRoom(*room, user, suppliedPassword, true);
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

SaveRoomQuery::~SaveRoomQuery() = default;

bool SaveRoomQuery::execute(Storage& storage) {
  storage.main.saveRoom(record);
  return true;
}

bool SaveRoomQuery::complete() {
  if (slept_) rooms_.returnToDirectory(std::move(slept_));
  return false;
}

bool TouchRoomQuery::execute(Storage& storage) {
  storage.main.touchRoom(record);
  return false;
}

bool DeleteRoomQuery::execute(Storage& storage) {
  // An expired room goes with its files, so that a later room of the name starts empty.
  storage.main.deleteRoom(record);
  storage.files.deleteRoomFiles(fieldText(record.name));
  return false;
}

}  // namespace velmor
