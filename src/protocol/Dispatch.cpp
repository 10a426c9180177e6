#include "protocol/Dispatch.h"

#include <array>

#include "core/ServerCore.h"
#include "users/FrameLoop.h"
#include "users/User.h"
#include "wire/MessageCatalogue.h"

namespace velmor {

namespace {

using wire::ClientType;

bool ignoreMessage(ServerCore&, User&, MessageReader&) {
  return true;
}

// A type whose handler is not there cannot be parsed, so nothing after it can be
// found: it stops the chunk.
bool notHandled(ServerCore&, User&, MessageReader&) {
  return false;
}

constexpr std::array<RequestHandler, wire::kLastClientType + 1> makeTable() {
  std::array<RequestHandler, wire::kLastClientType + 1> table{};
  for (auto& handler : table) handler = notHandled;
  table[static_cast<std::size_t>(ClientType::Login)] = handleLogin;
  table[static_cast<std::size_t>(ClientType::LoginProof)] = handleLoginProof;
  table[static_cast<std::size_t>(ClientType::Register)] = handleRegister;
  table[static_cast<std::size_t>(ClientType::StatusRequest)] = handleStatusRequest;
  table[static_cast<std::size_t>(ClientType::CreateRoomRequest)] = handleCreateRoom;
  table[static_cast<std::size_t>(ClientType::EnterRoom)] = handleEnterRoom;
  table[static_cast<std::size_t>(ClientType::LeaveRoom)] = handleLeaveRoom;
  table[static_cast<std::size_t>(ClientType::ListRooms)] = handleListRooms;
  table[static_cast<std::size_t>(ClientType::ClaimLeader)] = handleClaimLeader;
  table[static_cast<std::size_t>(ClientType::SetRoomPasswords)] = handleSetRoomPasswords;
  table[static_cast<std::size_t>(ClientType::JoinChannel)] = handleJoinChannel;
  table[static_cast<std::size_t>(ClientType::LeaveChannel)] = handleLeaveChannel;
  table[static_cast<std::size_t>(ClientType::RoomKick)] = handleRoomKick;
  table[static_cast<std::size_t>(ClientType::RoomBan)] = handleRoomBan;
  table[static_cast<std::size_t>(ClientType::ServerKick)] = handleServerKick;
  table[static_cast<std::size_t>(ClientType::ServerBan)] = handleServerBan;
  table[static_cast<std::size_t>(ClientType::ListRoomBans)] = handleListRoomBans;
  table[static_cast<std::size_t>(ClientType::ListServerBans)] = handleListServerBans;
  table[static_cast<std::size_t>(ClientType::RoomUnban)] = handleRoomUnban;
  table[static_cast<std::size_t>(ClientType::ServerUnban)] = handleServerUnban;
  table[static_cast<std::size_t>(ClientType::Position)] = handlePosition;
  table[static_cast<std::size_t>(ClientType::ObjectReport)] = handleObjectReport;
  table[static_cast<std::size_t>(ClientType::Appearance)] = handleAppearance;
  table[static_cast<std::size_t>(ClientType::LocalChat)] = handleLocalChat;
  table[static_cast<std::size_t>(ClientType::RoomChat)] = handleRoomChat;
  table[static_cast<std::size_t>(ClientType::RepeatLocalChat)] = handleRepeatLocalChat;
  table[static_cast<std::size_t>(ClientType::RepeatRoomChat)] = handleRepeatRoomChat;
  table[static_cast<std::size_t>(ClientType::Whisper)] = handleWhisper;
  table[static_cast<std::size_t>(ClientType::PrivateMessage)] = handlePrivateMessage;
  table[static_cast<std::size_t>(ClientType::EnemyReport)] = handleEnemyReport;
  table[static_cast<std::size_t>(ClientType::RoomRefresh)] = handleRoomRefresh;
  table[static_cast<std::size_t>(ClientType::CreateFile)] = handleCreateFile;
  table[static_cast<std::size_t>(ClientType::ReadFile)] = handleReadFile;
  table[static_cast<std::size_t>(ClientType::WriteFile)] = handleWriteFile;
  table[static_cast<std::size_t>(ClientType::SetFileAccess)] = handleSetFileAccess;
  table[static_cast<std::size_t>(ClientType::ListFiles)] = handleListFiles;
  table[static_cast<std::size_t>(ClientType::DeleteFile)] = handleDeleteFile;
  table[static_cast<std::size_t>(ClientType::FileChunk)] = handleFileChunk;
  table[static_cast<std::size_t>(ClientType::FileChunkRequest)] = handleFileChunkRequest;
  table[static_cast<std::size_t>(ClientType::Nop)] = ignoreMessage;
  table[static_cast<std::size_t>(ClientType::KeepAlive)] = ignoreMessage;
  return table;
}

// Constant in the server; tests replace entries to observe the dispatch.
auto handlers = makeTable();

// Before admission only Login and KeepAlive pass, and LoginProof while a login is pending.
bool passesLoginGate(const User& user, std::uint8_t type) {
  if (user.presence().loggedIn()) return true;
  return type == static_cast<std::uint8_t>(ClientType::Login) ||
         type == static_cast<std::uint8_t>(ClientType::KeepAlive) ||
         (type == static_cast<std::uint8_t>(ClientType::LoginProof) && user.login().loginPending);
}

bool dispatchWithCore(void* core, std::uint8_t type, User& user, MessageReader& reader) {
  return dispatchMessage(*static_cast<ServerCore*>(core), type, user, reader);
}

}  // namespace

bool dispatchMessage(ServerCore& core, std::uint8_t type, User& user, MessageReader& reader) {
  if (!passesLoginGate(user, type)) return false;
  if (type < wire::kFirstClientType || type > wire::kLastClientType) return false;
  return handlers[type](core, user, reader);
}

MessageDispatch requestDispatch(ServerCore& core) {
  return MessageDispatch{dispatchWithCore, &core, !core.storageFailing()};
}

RequestHandler replaceHandler(std::uint8_t type, RequestHandler handler) {
  RequestHandler previous = handlers[type];
  handlers[type] = handler;
  return previous;
}

}  // namespace velmor
