#include "rooms/RoomQueries.h"

#include <optional>

#include "base/Console.h"
#include "base/FixedText.h"
#include "db/FileDatabase.h"
#include "db/MainDatabase.h"
#include "model/BanCoding.h"
#include "rooms/Room.h"
#include "rooms/RoomRegistry.h"
#include "rooms/RoomRequests.h"
#include "users/Sending.h"
#include "users/User.h"

namespace velmor {

using wire::ServerCode;

namespace {

// The reply to a load that brought no room; a loaded room is answered by entering it.
std::optional<ServerCode> refusalCode(LoadOutcome outcome) {
  switch (outcome) {
    case LoadOutcome::Loaded:
      return std::nullopt;
    case LoadOutcome::NoSuchRoom:
      return ServerCode::NoSuchRoom;
    case LoadOutcome::WrongPassword:
      return ServerCode::WrongRoomPassword;
  }
  return std::nullopt;
}

// The reply to a creation.
ServerCode replyCode(CreateOutcome outcome) {
  switch (outcome) {
    case CreateOutcome::Created:
      return ServerCode::RoomCreated;
    case CreateOutcome::Exists:
      return ServerCode::RoomExists;
    case CreateOutcome::ExistsLocked:
      return ServerCode::RoomExistsLocked;
    case CreateOutcome::Failed:
      return ServerCode::RoomCreateFailed;
  }
  return ServerCode::RoomCreateFailed;
}

}  // namespace

LoadOutcome LoadRoomQuery::execute(Storage& storage) {
  return storage.main.loadRoom(*this);
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
  if (!rooms_.makeWayFor(record)) {
    full = true;
    return nullptr;
  }
  rooms_.removeStored(record.lowerName);
  Room* room = &rooms_.makeLive(record);
  if (files) {
    room->setFiles(std::move(*files));
    files.reset();
  }
  BanList stored;
  if (!decodeBans(bans, stored)) {
    consoleWrite("The stored bans of room %s are damaged: those after the damage are lost.\n",
                 record.name);
  }
  room->setBans(std::move(stored));
  return room;
}

bool LoadRoomQuery::complete(LoadOutcome outcome) {
  auto& user = *static_cast<User*>(owner());  // not cancelled, so he is still here and online
  const bool latest = request == user.roomRequests().latest;
  if (outcome == LoadOutcome::Loaded) {
    bool full = false;
    Room* room = liveRoom(full);
    if (latest && room == nullptr) {
      // Expired and swept meanwhile; or as many rooms are live as a room list can name.
      sendCode(user, full ? ServerCode::RoomFull : ServerCode::NoSuchRoom);
    } else if (latest && user.room() != room) {
      room->enter(user, suppliedPassword, true);
    }
  } else if (const std::optional<ServerCode> refusal = refusalCode(outcome); latest && refusal) {
    sendCode(user, *refusal);
  }
  resumeRoomRequests(rooms_, user);
  return false;
}

CreateOutcome CreateRoomQuery::execute(Storage& storage) {
  const CreateOutcome outcome = storage.main.createRoom(*this);
  created_ = outcome == CreateOutcome::Created;
  // Files left under the name by a room deleted before its files went with it are not the
  // new room's.
  if (created_) filesCleared_ = storage.files.deleteRoomFiles(recordName());
  return outcome;
}

void CreateRoomQuery::rolledBack(std::uint8_t databases) {
  if ((databases & kFileDatabase) != 0) filesCleared_ = false;
  if ((databases & kMainDatabase) != 0) {
    created_ = false;
    RoomCreation::rolledBack(databases);
  }
}

VelmorBaseQuery* CreateRoomQuery::takeFollowUp() {
  if (!created_ || filesCleared_) return nullptr;
  filesCleared_ = true;  // taken
  return new ClearRoomFilesQuery(recordName());
}

CreateRoomQuery::CreateRoomQuery(RoomRegistry& rooms, const RoomRecord& created) : rooms_(rooms) {
  record = created;
  lowerName(creatorKey_, fieldText(created.creatorName));
  rooms_.creationPosted(fieldText(creatorKey_));
}

CreateRoomQuery::~CreateRoomQuery() {
  rooms_.creationEnded(fieldText(creatorKey_));
}

bool CreateRoomQuery::complete(CreateOutcome outcome) {
  if (outcome == CreateOutcome::Created) {
    RoomRecord stored = record;
    lowerName(stored.lowerName, stored.name);
    rooms_.addStored(stored);
  }
  if (owner() != nullptr) sendCode(*static_cast<User*>(owner()), replyCode(outcome));
  return false;
}

SaveRoomQuery::SaveRoomQuery(RoomRegistry& rooms, const RoomRecord& saved, std::string savedBans,
                             std::unique_ptr<Room> slept)
    : rooms_(rooms), slept_(std::move(slept)) {
  record = saved;  // the worker reads these copies, never the room
  bans = std::move(savedBans);
}

SaveRoomQuery::~SaveRoomQuery() {
  // Given up unstored at the stop: the registry forgets the sleeping room.
  if (slept_) rooms_.forgetSleeping(*this);
}

StoreOutcome SaveRoomQuery::execute(Storage& storage) {
  const bool row = storage.main.saveRoom(record);
  return storeOutcome(storage.main.saveRoomBans(record, bans) && row);
}

bool SaveRoomQuery::complete() {
  if (slept_) rooms_.returnToDirectory(*this, std::move(slept_));
  return false;
}

std::string SaveRoomQuery::unstoredText() const {
  return "passwords, last access and bans of room " + std::string(recordName());
}

StoreOutcome SaveRoomBansQuery::execute(Storage& storage) {
  return storeOutcome(storage.main.saveRoomBans(record, bans));
}

std::string SaveRoomBansQuery::unstoredText() const {
  return "bans of room " + std::string(recordName());
}

ClearRoomFilesQuery::ClearRoomFilesQuery(std::string_view roomName) {
  copyText(this->roomName, roomName);
}

StoreOutcome ClearRoomFilesQuery::execute(Storage& storage) {
  return storeOutcome(storage.files.deleteRoomFiles(roomWorkedOn()));
}

std::string ClearRoomFilesQuery::unstoredText() const {
  return "removal of old files under the new room " + std::string(roomWorkedOn());
}

StoreOutcome TouchRoomQuery::execute(Storage& storage) {
  return storeOutcome(storage.main.touchRoom(record));
}

std::string TouchRoomQuery::unstoredText() const {
  return "last access of room " + std::string(recordName());
}

StoreOutcome DeleteRoomQuery::execute(Storage& storage) {
  // An expired room goes with its files, so that a later room of the name starts empty.
  const bool row = storage.main.deleteRoom(record);
  const bool files = storage.files.deleteRoomFiles(fieldText(record.name));
  return storeOutcome(row && files);
}

bool DeleteRoomQuery::complete() {
  rooms_.services().traffic.expiredRoomsDeleted.add(1);
  rooms_.deletionDone(record);
  return false;
}

std::string DeleteRoomQuery::unstoredText() const {
  return "deletion of the expired room " + std::string(recordName());
}

}  // namespace velmor
