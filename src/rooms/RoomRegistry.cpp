#include "rooms/RoomRegistry.h"

#include <algorithm>
#include <memory>

#include "protocol/User.h"
#include "server/ServerCore.h"

namespace velmor {

Room& makeLive(ServerCore& core, const RoomRecord& record) {
  auto room = std::make_unique<Room>(record, core);
  Room& live = *room;
  live.roomNumber = static_cast<std::uint32_t>(core.liveRooms.size());
  core.liveRooms.push_back(std::move(room));
  core.newRooms.push_back(&live);
  core.liveRoomMap[live.record.lowerName] = &live;
  core.roomCount.add(1);
  return live;
}

void leaveRoom(Room& room, User& user) {
  auto member = std::find(room.members.begin(), room.members.end(), &user);
  if (member != room.members.end()) {
    member = room.members.erase(member);
    for (; member != room.members.end(); ++member) --(*member)->roomSlot;
  }
  user.room = nullptr;
}

void addStoredRoom(ServerCore& core, const RoomRecord& record) {
  auto stored = std::make_unique<RoomRecord>(record);
  core.storedRoomMap[stored->lowerName] = stored.get();
  core.roomDirectory.push_back(std::move(stored));
}

}  // namespace velmor
