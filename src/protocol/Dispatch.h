#pragma once

#include <cstdint>

namespace velmor {

class User;
class MessageReader;

// A request handler: reads its fields from the reader (positioned after the type) and
// acts. False stops the chunk: the rest of the received bytes is dropped.
using RequestHandler = bool (*)(User& user, MessageReader& reader);

// Applies the login gate and the type range, then runs the type's handler.
// False when the message stops the chunk.
bool dispatchMessage(std::uint8_t type, User& user, MessageReader& reader);

// Puts `handler` in place for a type of 1..41 and returns the one it replaced. Only tests
// call it, to observe what the frame loop dispatches.
RequestHandler replaceHandler(std::uint8_t type, RequestHandler handler);

// Handlers, grouped by family in their own files.
bool handleLogin(User& user, MessageReader& reader);
bool handleLoginProof(User& user, MessageReader& reader);
bool handleRegister(User& user, MessageReader& reader);
bool handleStatusRequest(User& user, MessageReader& reader);
bool handleCreateRoom(User& user, MessageReader& reader);
bool handleEnterRoom(User& user, MessageReader& reader);
bool handleLeaveRoom(User& user, MessageReader& reader);
bool handleListRooms(User& user, MessageReader& reader);
bool handleClaimLeader(User& user, MessageReader& reader);
bool handleSetRoomPasswords(User& user, MessageReader& reader);
bool handleJoinChannel(User& user, MessageReader& reader);
bool handleLeaveChannel(User& user, MessageReader& reader);
bool handleRoomKick(User& user, MessageReader& reader);
bool handleRoomBan(User& user, MessageReader& reader);
bool handleServerKick(User& user, MessageReader& reader);
bool handleServerBan(User& user, MessageReader& reader);
bool handleListRoomBans(User& user, MessageReader& reader);
bool handleListServerBans(User& user, MessageReader& reader);
bool handleRoomUnban(User& user, MessageReader& reader);
bool handleServerUnban(User& user, MessageReader& reader);
bool handlePosition(User& user, MessageReader& reader);
bool handleObjectReport(User& user, MessageReader& reader);
bool handleAppearance(User& user, MessageReader& reader);
bool handleLocalChat(User& user, MessageReader& reader);
bool handleRoomChat(User& user, MessageReader& reader);
bool handleRepeatLocalChat(User& user, MessageReader& reader);
bool handleRepeatRoomChat(User& user, MessageReader& reader);
bool handleWhisper(User& user, MessageReader& reader);
bool handlePrivateMessage(User& user, MessageReader& reader);
bool handleEnemyReport(User& user, MessageReader& reader);
bool handleRoomRefresh(User& user, MessageReader& reader);
bool handleCreateFile(User& user, MessageReader& reader);
bool handleReadFile(User& user, MessageReader& reader);
bool handleWriteFile(User& user, MessageReader& reader);
bool handleSetFileAccess(User& user, MessageReader& reader);
bool handleListFiles(User& user, MessageReader& reader);
bool handleDeleteFile(User& user, MessageReader& reader);
bool handleFileChunk(User& user, MessageReader& reader);
bool handleFileChunkRequest(User& user, MessageReader& reader);

}  // namespace velmor
