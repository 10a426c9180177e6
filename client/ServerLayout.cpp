#include "client/ServerLayout.h"

#include "wire/MessageCatalogue.h"

namespace velmor::client {
namespace {

using Shape = LayoutShape;

constexpr ServerLayout flat(const char* name, const char* fields = "") {
  return {name, Shape::Flat, fields, ""};
}
constexpr ServerLayout shaped(const char* name, Shape shape) {
  return {name, shape, "", ""};
}

}  // namespace

ServerLayout serverLayout(std::uint16_t code) {
  using C = wire::ServerCode;
  // No default: the compiler then names any catalogue code this switch forgets.
  switch (static_cast<C>(code)) {
    case C::VersionRejected:
      return flat("VersionRejected");
    case C::KickedFromServer:
      return flat("KickedFromServer", "s");
    case C::BannedFromServer:
      return flat("BannedFromServer", "s");
    case C::ConnectionRefused:
      return flat("ConnectionRefused");
    case C::StatusText:
      return flat("StatusText", "bs");
    case C::ObjectName:
      return flat("ObjectName", "s");
    case C::ObjectInfo:
      return flat("ObjectInfo", "s");  // its ObjectPosition comes apart
    case C::MemberUpdate:
      return flat("MemberUpdate", "dbwwbs");
    case C::MemberInfo:
      // Navigation: name and identity, then the fields of MemberUpdate.
      return {"MemberInfo", Shape::MemberInfo, "sdwb",
              "sddw"
              "dbwwbs"};
    case C::MemberPosition:
      return flat("MemberPosition", "wwbbw");
    case C::ObjectPosition:
      return flat("ObjectPosition", "wwb");
    case C::ObjectBatch:
      return flat("ObjectBatch");
    case C::MemberLeft:
      return flat("MemberLeft", "b");
    case C::MemberMoving:
      return flat("MemberMoving", "b");
    case C::MemberStopped:
      return flat("MemberStopped");
    case C::MemberRelayFlags:
      return flat("MemberRelayFlags", "bb");
    case C::MemberActive:
      return flat("MemberActive", "b");
    case C::MemberIdle:
      return flat("MemberIdle", "b");
    case C::ObjectMoving:
      return flat("ObjectMoving", "b");
    case C::ObjectStopped:
      return flat("ObjectStopped");
    case C::ObjectFlags:
      return flat("ObjectFlags", "bb");
    case C::ObjectStale:
      return flat("ObjectStale", "b");
    case C::ObjectFresh:
      return flat("ObjectFresh", "b");
    case C::LocalLine:
      return flat("LocalLine", "bs");
    case C::LocalLineRepeat:
      return flat("LocalLineRepeat", "bb");
    case C::RoomLine:
      return flat("RoomLine", "bs");
    case C::RecentLines:
      return shaped("RecentLines", Shape::RecentLines);
    case C::WhisperLine:
      return flat("WhisperLine", "bs");
    case C::PrivateMessageNotice:
      return flat("PrivateMessageNotice", "ss");
    case C::MemberLeaderState:
      return flat("MemberLeaderState", "wb");
    case C::ChannelLeaderState:
      return flat("ChannelLeaderState", "wwb");
    case C::RoomCreated:
      return flat("RoomCreated");
    case C::RoomCreateFailed:
      return flat("RoomCreateFailed");
    case C::RoomState:
      return flat("RoomState", "wbsw");
    case C::RoomFull:
      return flat("RoomFull");
    case C::RoomList:
      return shaped("RoomList", Shape::RoomList);
    case C::MemberList:
      return shaped("MemberList", Shape::MemberList);
    case C::ChannelMemberLeft:
      return flat("ChannelMemberLeft", "ww");
    case C::ChannelMemberJoined:
      return flat("ChannelMemberJoined", "wsdwb");
    case C::RoomExited:
      return flat("RoomExited", "w");
    case C::RoomClosed:
      return flat("RoomClosed", "w");
    case C::RoomOpened:
      return shaped("RoomOpened", Shape::RoomOpened);
    case C::RoomLockChanged:
      return flat("RoomLockChanged", "wb");
    case C::RoomMemberCount:
      return flat("RoomMemberCount", "ww");
    case C::ChannelJoined:
      return flat("ChannelJoined", "w");
    case C::ChannelLeft:
      return flat("ChannelLeft", "wb");
    case C::ServerInfo:
      return flat("ServerInfo", "swwb");
    case C::AdminGranted:
      return flat("AdminGranted");
    case C::LoginChallenge:
      return flat("LoginChallenge", "ss");
    case C::GuestWelcome:
      return flat("GuestWelcome", "s");
    case C::LoginReplaced:
      return flat("LoginReplaced");
    case C::ServerPasswordWrong:
      return flat("ServerPasswordWrong");
    case C::KickedFromRoom:
      return flat("KickedFromRoom", "s");
    case C::BannedFromRoom:
      return flat("BannedFromRoom", "s");
    case C::RoomBanList:
      return shaped("RoomBanList", Shape::BanList);
    case C::ServerBanList:
      return shaped("ServerBanList", Shape::BanList);
    case C::Banned:
      return flat("Banned", "s");
    case C::FileContent:
      return flat("FileContent", "dssdb");  // length, blob, name, ...
    case C::FileUnchanged:
      return flat("FileUnchanged", "sdb");
    case C::FileList:
      return shaped("FileList", Shape::FileList);
    case C::RoomLeft:
      return flat("RoomLeft");
    case C::RoomDirectory:
      return shaped("RoomDirectory", Shape::RoomDirectory);
    case C::FileChunkData:
      return flat("FileChunkData", "s");
    case C::FileChunkAck:
      return flat("FileChunkAck");
    case C::EnemySighting:
      return flat("EnemySighting", "bwwb");
    case C::RoomReset:
      return flat("RoomReset");
    case C::RoomExists:
      return flat("RoomExists");
    case C::NoSuchRoom:
      return flat("NoSuchRoom");
    case C::RoomExistsLocked:
      return flat("RoomExistsLocked");
    case C::WrongRoomPassword:
      return flat("WrongRoomPassword");
    case C::LoginProofRejected:
      return flat("LoginProofRejected");
    case C::Registered:
      return flat("Registered");
    case C::RegistrationFailed:
      return flat("RegistrationFailed");
    case C::NameInUse:
      return flat("NameInUse");
    case C::RoomCreationDenied:
      return flat("RoomCreationDenied");
    case C::RoomPasswordsChanged:
      return flat("RoomPasswordsChanged");
    case C::FileExists:
      return flat("FileExists");
    case C::FileCreated:
      return flat("FileCreated");
    case C::FileNotFound:
      return flat("FileNotFound");
    case C::FileAccessDenied:
      return flat("FileAccessDenied");
    case C::FileSaved:
      return {"FileSaved", Shape::OptionalFlat, "sd", ""};  // name, last edited
    case C::MembersOnly:
      return flat("MembersOnly");
    case C::FileDeleted:
      return flat("FileDeleted");
    case C::FileTooLarge:
      return flat("FileTooLarge");
    case C::TooManyFiles:
      return flat("TooManyFiles");
    case C::NotRoomOwner:
      return flat("NotRoomOwner");
    case C::TooManyChannels:
      return flat("TooManyChannels");
  }
  return {};
}

}  // namespace velmor::client
