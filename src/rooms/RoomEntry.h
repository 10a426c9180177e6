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
}  // namespace velmor
