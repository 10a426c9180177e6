#pragma once

namespace velmor {

class RoomRegistry;
class User;

// A user's requests to enter or leave a room, of which the last one wins. A live room is
// entered at once. A stored room is loaded for him first (LoadRoom), one load at a time: a
// request for the room being loaded, with the same password, is served by that load; one for
// another stored room waits (the latest only) and is made when the load completes. A load
// whose request is no longer his latest still makes its room live, and places nobody: the
// user is never pulled into a room after he asked for another or left. Main loop only.

// EnterRoom: the room named `name` (any letter case), with the password.
void requestEnterRoom(RoomRegistry& rooms, User& user, const char* name, const char* password);
// LeaveRoom: a newer request than any load in flight (leaving itself is the caller's).
void requestLeaveRoom(User& user);
// His load completed (placed him or not): the request that waited for it, if any, is made.
void resumeRoomRequests(RoomRegistry& rooms, User& user);

}  // namespace velmor
