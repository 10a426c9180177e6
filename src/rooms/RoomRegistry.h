#pragma once

#include <cstdint>

#include "rooms/Room.h"
#include "model/RoomRecord.h"

namespace velmor {

class ServerCore;
class User;

// The room registries of the ServerCore and the operations on live rooms. A room is either
// stored and asleep (room directory and stored-room map) or live (live-room list and map),
// never both. Main loop only.

// Builds a live room from a record and adds it to the live-room list, the new-room list and
// the live-room map. Its idle time counts from now.
Room& makeLive(ServerCore& core, const RoomRecord& record);
// Appends a stored, sleeping room to the room directory and the stored-room map.
void addStoredRoom(ServerCore& core, const RoomRecord& record);
// Takes a stored room out of the directory and the map; false when it is not there.
bool removeStoredRoom(ServerCore& core, const char* lowerName);
// The live room of a lower-case name, or null.
Room* findLiveRoom(const ServerCore& core, const char* lowerName);

// Admits the user with the password (the leader password makes him leader). False when the
// room holds 255 members or the password is wrong.
bool join(Room& room, User& user, const char* password);
// Takes the user out of the room; later members move down a slot. True when he was a
// member. The user's room becomes none.
bool leave(Room& room, User& user);
// The first ban of the room that matches the user's address or, exactly, his name.
const BanEntry* findBan(const Room& room, const User& user);
// Removes a live room from the registries and tells every online user (RoomClosed with
// the position it had). The room itself is not destroyed.
void removeLive(ServerCore& core, Room& room);
// Puts an idle room to sleep: tells its channel members, removes it, and hands it to a
// SaveRoom query, whose completion returns its record to the directory.
void unload(ServerCore& core, Room& room, std::uint32_t position);
// Writes the live room's passwords and last access to the database; the room stays live.
void saveRoom(ServerCore& core, const Room& room);
// Writes the time of the room's last join to the database unless it is there already.
void touch(ServerCore& core, Room& room);

// Tells every online user that the room's lock changed (RoomLockChanged), at once for the
// first change of a tick; further changes in the same tick are told by the tick, the final
// state only, so that a frame of toggles cannot make the server talk to everyone for each.
void announceLock(ServerCore& core, Room& room);

// A user's chat channels.
bool followsChannel(const User& user, const Room* room);
// Removes the room from the user's channels and the user from the room's channel members;
// false when the user did not follow it.
bool dropChannel(User& user, Room& room);

}  // namespace velmor
