#include "client/RequestLayout.h"

#include "wire/MessageCatalogue.h"

namespace velmor::client {
namespace {

constexpr RequestLayout layout(const char* name, const char* fields = "",
                               const char* fieldNames = "") {
  return {name, fields, fieldNames};
}

}  // namespace

RequestLayout requestLayout(std::uint8_t type) {
  using T = wire::ClientType;
  if (type < wire::kFirstClientType || type > wire::kLastClientType) return {};
  // No default: the compiler then names any request type this switch forgets.
  switch (static_cast<T>(type)) {
    case T::Login:
      return layout("Login", "bddwddbwwdsss",
                    "version profileWord1 profileWord2 profileShort loginWord appearanceWord "
                    "appearanceByte appearanceShort1 appearanceShort2 ignored name "
                    "appearanceText password");
    case T::Position:
      return layout("Position", "wwbbw", "x y layer flags direction");
    case T::ObjectReport:
      return layout("ObjectReport", "swwb", "name value1 value2 value3");
    case T::Appearance:
      return layout("Appearance", "dbwws",
                    "appearanceWord appearanceByte appearanceShort1 appearanceShort2 "
                    "appearanceText");
    case T::LocalChat:
      return layout("LocalChat", "s", "text");
    case T::RepeatLocalChat:
      return layout("RepeatLocalChat");
    case T::Whisper:
      return layout("Whisper", "ss", "recipient text");
    case T::RoomChat:
      return layout("RoomChat", "s", "text");
    case T::RepeatRoomChat:
      return layout("RepeatRoomChat");
    case T::PrivateMessage:
      return layout("PrivateMessage", "ss", "recipient text");
    case T::CreateRoomRequest:
      return layout("CreateRoomRequest", "sssb", "name password leaderPassword navigation");
    case T::Nop:
      return layout("Nop");
    case T::JoinChannel:
      return layout("JoinChannel", "ss", "room password");
    case T::LeaveChannel:
      return layout("LeaveChannel", "s", "room");
    case T::EnterRoom:
      return layout("EnterRoom", "ss", "room password");
    case T::LoginProof:
      return layout("LoginProof", "h", "proof");
    case T::Register:
      return layout("Register", "hh", "emailHash passwordHash");
    case T::KeepAlive:
      return layout("KeepAlive");
    case T::RoomKick:
      return layout("RoomKick", "ss", "user reason");
    case T::RoomBan:
      return layout("RoomBan", "ssd", "user reason mask");
    case T::ServerKick:
      return layout("ServerKick", "ss", "user reason");
    case T::ServerBan:
      return layout("ServerBan", "ssd", "user reason mask");
    case T::ListRoomBans:
      return layout("ListRoomBans");
    case T::ListServerBans:
      return layout("ListServerBans");
    case T::RoomUnban:
      return layout("RoomUnban", "s", "name");
    case T::ServerUnban:
      return layout("ServerUnban", "s", "name");
    case T::ClaimLeader:
      return layout("ClaimLeader", "s", "password");
    case T::CreateFile:
      return layout("CreateFile", "sbb", "name usersCanRead usersCanWrite");
    case T::ReadFile:
      return layout("ReadFile", "sd", "name versionHeld");
    case T::WriteFile:
      return layout("WriteFile", "dss", "totalLength name firstChunk");
    case T::SetFileAccess:
      return layout("SetFileAccess", "sbb", "name usersCanRead usersCanWrite");
    case T::ListFiles:
      return layout("ListFiles");
    case T::DeleteFile:
      return layout("DeleteFile", "s", "name");
    case T::LeaveRoom:
      return layout("LeaveRoom");
    case T::ListRooms:
      return layout("ListRooms", "w", "firstIndex");
    case T::SetRoomPasswords:
      return layout("SetRoomPasswords", "ss", "password leaderPassword");
    case T::FileChunk:
      return layout("FileChunk", "s", "chunk");
    case T::FileChunkRequest:
      return layout("FileChunkRequest", "d", "offset");
    case T::EnemyReport:
      return layout("EnemyReport", "wwb", "value1 value2 value3");
    case T::RoomRefresh:
      return layout("RoomRefresh");
    case T::StatusRequest:
      return layout("StatusRequest", "s", "adminPassword");
  }
  return {};
}

unsigned fixedFieldSize(char letter) {
  switch (letter) {
    case 'b':
      return 1;
    case 'w':
      return 2;
    case 'd':
      return 4;
    case 'h':
      return 16;
    default:
      return 0;
  }
}

}  // namespace velmor::client
