#pragma once

namespace velmor {

class ServerCore;
class User;
class Room;
class VelmorRoomQuery;

// The checks of entering a live room, in order: full, banned (skipped for administrators
// unless `banCheckForAll`), then join; each refusal answered with its code.
void enterLiveRoom(Room& room, User& user, const char* password, bool banCheckForAll);

// Completions of the room queries, on the main loop.
void completeLoadRoom(ServerCore& core, User& user, VelmorRoomQuery& query);
// The creator may be gone (null): the room is registered all the same, without a reply.
void completeCreateRoom(ServerCore& core, User* creator, const VelmorRoomQuery& query);
// The room that went to sleep returns to the directory and is destroyed.
void completeSaveRoom(ServerCore& core, VelmorRoomQuery& query);

}  // namespace velmor
