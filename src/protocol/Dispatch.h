#pragma once

#include <cstdint>

namespace velmor {

class MessageReader;
class ServerCore;
class User;
struct MessageDispatch;

// A request handler: reads its fields from the reader (positioned after the type) and
// acts on the user and the server's components. False stops the chunk: the rest of the
// received bytes is dropped.
using RequestHandler = bool (*)(ServerCore& core, User& user, MessageReader& reader);

// Applies the login gate and the type range, then runs the type's handler.
// False when the message stops the chunk.
bool dispatchMessage(ServerCore& core, std::uint8_t type, User& user, MessageReader& reader);
// The frame loop's dispatch into the handlers, for the server's users.
MessageDispatch requestDispatch(ServerCore& core);

// Puts `handler` in place for a type of 1..41 and returns the one it replaced. Only tests
// call it, to observe what the frame loop dispatches.
RequestHandler replaceHandler(std::uint8_t type, RequestHandler handler);

// Handlers, grouped by family in their own files.
bool handleLogin(ServerCore& core, User& user, MessageReader& reader);
bool handleLoginProof(ServerCore& core, User& user, MessageReader& reader);
bool handleRegister(ServerCore& core, User& user, MessageReader& reader);
bool handleStatusRequest(ServerCore& core, User& user, MessageReader& reader);
bool handleCreateRoom(ServerCore& core, User& user, MessageReader& reader);
bool handleEnterRoom(ServerCore& core, User& user, MessageReader& reader);
bool handleLeaveRoom(ServerCore& core, User& user, MessageReader& reader);
bool handleListRooms(ServerCore& core, User& user, MessageReader& reader);
bool handleClaimLeader(ServerCore& core, User& user, MessageReader& reader);
bool handleSetRoomPasswords(ServerCore& core, User& user, MessageReader& reader);
bool handleJoinChannel(ServerCore& core, User& user, MessageReader& reader);
bool handleLeaveChannel(ServerCore& core, User& user, MessageReader& reader);
bool handleRoomKick(ServerCore& core, User& user, MessageReader& reader);
bool handleRoomBan(ServerCore& core, User& user, MessageReader& reader);
bool handleServerKick(ServerCore& core, User& user, MessageReader& reader);
bool handleServerBan(ServerCore& core, User& user, MessageReader& reader);
bool handleListRoomBans(ServerCore& core, User& user, MessageReader& reader);
bool handleListServerBans(ServerCore& core, User& user, MessageReader& reader);
bool handleRoomUnban(ServerCore& core, User& user, MessageReader& reader);
bool handleServerUnban(ServerCore& core, User& user, MessageReader& reader);
bool handlePosition(ServerCore& core, User& user, MessageReader& reader);
bool handleObjectReport(ServerCore& core, User& user, MessageReader& reader);
bool handleAppearance(ServerCore& core, User& user, MessageReader& reader);
bool handleLocalChat(ServerCore& core, User& user, MessageReader& reader);
bool handleRoomChat(ServerCore& core, User& user, MessageReader& reader);
bool handleRepeatLocalChat(ServerCore& core, User& user, MessageReader& reader);
bool handleRepeatRoomChat(ServerCore& core, User& user, MessageReader& reader);
bool handleWhisper(ServerCore& core, User& user, MessageReader& reader);
bool handlePrivateMessage(ServerCore& core, User& user, MessageReader& reader);
bool handleEnemyReport(ServerCore& core, User& user, MessageReader& reader);
bool handleRoomRefresh(ServerCore& core, User& user, MessageReader& reader);
bool handleCreateFile(ServerCore& core, User& user, MessageReader& reader);
bool handleReadFile(ServerCore& core, User& user, MessageReader& reader);
bool handleWriteFile(ServerCore& core, User& user, MessageReader& reader);
bool handleSetFileAccess(ServerCore& core, User& user, MessageReader& reader);
bool handleListFiles(ServerCore& core, User& user, MessageReader& reader);
bool handleDeleteFile(ServerCore& core, User& user, MessageReader& reader);
bool handleFileChunk(ServerCore& core, User& user, MessageReader& reader);
bool handleFileChunkRequest(ServerCore& core, User& user, MessageReader& reader);

}  // namespace velmor
