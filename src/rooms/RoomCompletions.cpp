#include "rooms/RoomCompletions.h"

#include "base/FixedText.h"
#include "wire/MessageBuilder.h"
#include "users/Sending.h"
#include "users/User.h"
#include "rooms/RoomRegistry.h"
#include "core/ServerCore.h"

namespace velmor {

using wire::ServerCode;

void enterLiveRoom(Room& room, User& user, const char* password, bool banCheckForAll) {
  if (room.members.size() >= room.record.maxUsers) {
    sendCode(user, ServerCode::RoomFull);
    return;
  }
  // Leadership belongs to the room the user is in, never to the one he asks to enter: only
  // an administrator passes a room's bans.
  if (banCheckForAll || !user.isAdmin) {
    if (const BanEntry* ban = findBan(room, user)) {
      MessageBuilder banned;
      banned.begin(ServerCode::Banned).string(fieldText(ban->name));
      sendTo(user, banned);
      return;
    }
  }
  if (!join(room, user, password)) sendCode(user, ServerCode::WrongRoomPassword);
}

void completeLoadRoom(ServerCore& core, User& user, VelmorRoomQuery& query) {
  if (query.result != queryresult::kRoomLoaded) {
    if (query.result != 0) sendCode(user, static_cast<ServerCode>(query.result));
    return;
  }
  lowerName(query.record.lowerName, query.record.name);
  Room* room = findLiveRoom(core, query.record.lowerName);
  if (room != nullptr && user.room == room) return;  // a second load of the room he is in
  if (room == nullptr) {
    if (!removeStoredRoom(core, query.record.lowerName)) return;  // deleted meanwhile
    room = &makeLive(core, query.record);
    if (query.files) {
      room->files = std::move(*query.files);  // the list's references pass to the room
      query.files.reset();
    }
  }
  enterLiveRoom(*room, user, query.suppliedPassword, true);
}

void completeCreateRoom(ServerCore& core, User* creator, const VelmorRoomQuery& query) {
  // The stored room joins the registries even when its creator went away meanwhile: the
  // row exists, and the room must be found by the next who looks for it.
  if (query.result == queryresult::kRoomCreated) {
    RoomRecord record = query.record;
    lowerName(record.lowerName, record.name);
    addStoredRoom(core, record);
  }
  if (creator != nullptr) sendCode(*creator, static_cast<ServerCode>(query.result));
}

void completeSaveRoom(ServerCore& core, VelmorRoomQuery& query) {
  if (query.room == nullptr) return;  // a live room saved at shutdown
  addStoredRoom(core, query.room->record);
  delete query.room;
  query.room = nullptr;
}

}  // namespace velmor
