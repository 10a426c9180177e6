#pragma once

#include "rooms/Room.h"
#include "rooms/RoomRecord.h"

namespace velmor {

class ServerCore;
class User;

// The room registries of the ServerCore: a room is either stored and asleep (room
// directory and stored-room map) or live (live-room list and map), never both.
// Main loop only.

// Builds a live room from a record, appends it to the live-room list and the new-room
// list and enters it in the live-room map.
Room& makeLive(ServerCore& core, const RoomRecord& record);
// Takes a user out of his room: later members move down a slot. The user's room
// becomes none.
void leaveRoom(Room& room, User& user);

// Appends a stored, sleeping room to the room directory and the stored-room map.
void addStoredRoom(ServerCore& core, const RoomRecord& record);

}  // namespace velmor
