#pragma once

namespace velmor {

class MessageBuilder;
class Room;
class RoomRegistry;

// What the online users hear of the live rooms. Main loop only.

// A room's entry of the room list: name; flags (has password, navigation); and for a room
// without password the member count, raised by 32000 and followed by the user limit when
// the limit differs from the configured one of the room's type.
void writeRoomEntry(const Room& room, MessageBuilder& builder);
// RoomList: the count and the entries of the live rooms in registry order. Entries that
// would make the message outgrow a frame are left out (and not counted).
void writeRoomList(const RoomRegistry& rooms, MessageBuilder& builder);
// Tells every online user that the room's lock changed (RoomLockChanged), at once for the
// first change of a tick; further changes in the same tick are told by the tick, the final
// state only, so that a frame of toggles cannot make the server talk to everyone for each.
// Nothing for a room not yet announced: its RoomOpened carries the lock as it stands.
void announceLock(Room& room);

}  // namespace velmor
