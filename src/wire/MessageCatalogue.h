#pragma once

// The message catalogue of the wire protocol, shared by the server and the client-side
// codec. The two directions are numbered apart: the same byte means different things
// client-to-server and server-to-client. Server codes of 0x100 and above travel as the
// two bytes 0xFF and the low byte.

#include <cstdint>

namespace velmor::wire {

// Client-to-server message types (one byte, 1..41).
enum class ClientType : std::uint8_t {
  Login = 1,
  Position = 2,
  ObjectReport = 3,
  Appearance = 4,
  LocalChat = 5,
  RepeatLocalChat = 6,
  Whisper = 7,
  RoomChat = 8,
  RepeatRoomChat = 9,
  PrivateMessage = 10,
  CreateRoomRequest = 11,
  Nop = 12,
  JoinChannel = 13,
  LeaveChannel = 14,
  EnterRoom = 15,
  LoginProof = 16,
  Register = 17,
  KeepAlive = 18,
  RoomKick = 19,
  RoomBan = 20,
  ServerKick = 21,
  ServerBan = 22,
  ListRoomBans = 23,
  ListServerBans = 24,
  RoomUnban = 25,
  ServerUnban = 26,
  ClaimLeader = 27,
  CreateFile = 28,
  ReadFile = 29,
  WriteFile = 30,
  SetFileAccess = 31,
  ListFiles = 32,
  DeleteFile = 33,
  LeaveRoom = 34,
  ListRooms = 35,
  SetRoomPasswords = 36,
  FileChunk = 37,
  FileChunkRequest = 38,
  EnemyReport = 39,
  RoomRefresh = 40,
  StatusRequest = 41,
};

inline constexpr std::uint8_t kFirstClientType = 1;
inline constexpr std::uint8_t kLastClientType = 41;

// Server-to-client codes.
enum class ServerCode : std::uint16_t {
  VersionRejected = 0x01,
  KickedFromServer = 0x03,
  BannedFromServer = 0x04,
  ConnectionRefused = 0x05,
  StatusText = 0x06,
  ObjectName = 0x07,
  ObjectInfo = 0x08,
  MemberUpdate = 0x09,
  MemberInfo = 0x0A,
  MemberPosition = 0x0B,
  ObjectPosition = 0x0C,
  ObjectBatch = 0x0D,
  MemberLeft = 0x0E,
  MemberMoving = 0x0F,
  MemberStopped = 0x10,
  MemberRelayFlags = 0x11,
  MemberActive = 0x12,
  MemberIdle = 0x13,
  ObjectMoving = 0x14,
  ObjectStopped = 0x15,
  ObjectFlags = 0x16,
  ObjectStale = 0x17,
  ObjectFresh = 0x18,
  LocalLine = 0x19,
  LocalLineRepeat = 0x1A,
  RoomLine = 0x1B,
  RecentLines = 0x1C,
  WhisperLine = 0x1E,
  PrivateMessageNotice = 0x1F,
  MemberLeaderState = 0x20,
  ChannelLeaderState = 0x21,
  RoomCreated = 0x22,
  RoomCreateFailed = 0x23,
  RoomState = 0x24,
  RoomFull = 0x25,
  RoomList = 0x27,
  MemberList = 0x28,
  ChannelMemberLeft = 0x29,
  ChannelMemberJoined = 0x2A,
  RoomExited = 0x2B,
  RoomClosed = 0x2C,
  RoomOpened = 0x2D,
  RoomLockChanged = 0x2E,
  RoomMemberCount = 0x2F,
  ChannelJoined = 0x30,
  ChannelLeft = 0x31,
  ServerInfo = 0x32,
  AdminGranted = 0x33,
  LoginChallenge = 0x34,
  GuestWelcome = 0x35,
  LoginReplaced = 0x36,
  ServerPasswordWrong = 0x37,
  KickedFromRoom = 0x38,
  BannedFromRoom = 0x39,
  RoomBanList = 0x3A,
  ServerBanList = 0x3B,
  Banned = 0x3C,
  FileContent = 0x3D,
  FileUnchanged = 0x3E,
  FileList = 0x3F,
  RoomLeft = 0x40,
  RoomDirectory = 0x41,
  FileChunkData = 0x42,
  FileChunkAck = 0x43,
  EnemySighting = 0x44,
  RoomReset = 0x45,
  RoomExists = 0x100,
  NoSuchRoom = 0x101,
  RoomExistsLocked = 0x102,
  WrongRoomPassword = 0x103,
  LoginProofRejected = 0x104,
  Registered = 0x105,
  RegistrationFailed = 0x106,
  NameInUse = 0x107,
  RoomCreationDenied = 0x108,
  RoomPasswordsChanged = 0x109,
  FileExists = 0x10A,
  FileCreated = 0x10B,
  FileNotFound = 0x10C,
  FileAccessDenied = 0x10D,
  FileSaved = 0x10E,
  MembersOnly = 0x10F,
  FileDeleted = 0x110,
  FileTooLarge = 0x111,
  TooManyFiles = 0x112,
  NotRoomOwner = 0x113,
  TooManyChannels = 0x114,
};

// Prefix byte of the codes of 0x100 and above.
inline constexpr std::uint8_t kExtendedCodePrefix = 0xFF;
inline constexpr std::uint16_t kFirstExtendedCode = 0x100;

// Compact steps of a relay batch. Before an ObjectBatch in the same frame they are member
// steps: 0x55 + (dx + 3) + 7 * (dy + 3) for dx, dy in -3..3 (layer unchanged); that type
// alone keeps the direction, +49 carries an i8 direction step, +98 the u16 direction.
// After an ObjectBatch they are object steps: 0x55 + (dx + 6) + 13 * (dy + 6) for dx, dy
// in -6..6 (third value unchanged).
inline constexpr std::uint8_t kCompactStepBase = 0x55;
inline constexpr int kMemberStepRange = 3;
inline constexpr int kMemberStepSpan = 2 * kMemberStepRange + 1;                 // 7
inline constexpr int kMemberStepCount = kMemberStepSpan * kMemberStepSpan;       // 49
inline constexpr std::uint8_t kMemberStepNoMove = kCompactStepBase + 3 + 7 * 3;  // 0x6D
inline constexpr std::uint8_t kLastMemberStep =
    kCompactStepBase + 3 * kMemberStepCount - 1;  // 0xE7
inline constexpr int kObjectStepRange = 6;
inline constexpr int kObjectStepSpan = 2 * kObjectStepRange + 1;                  // 13
inline constexpr std::uint8_t kObjectStepNoMove = kCompactStepBase + 6 + 13 * 6;  // 0xA9
inline constexpr std::uint8_t kLastObjectStep =
    kCompactStepBase + kObjectStepSpan * kObjectStepSpan - 1;  // 0xFD

constexpr std::uint8_t memberStepType(int dx, int dy) {
  return static_cast<std::uint8_t>(kCompactStepBase + (dx + kMemberStepRange) +
                                   kMemberStepSpan * (dy + kMemberStepRange));
}
constexpr std::uint8_t objectStepType(int dx, int dy) {
  return static_cast<std::uint8_t>(kCompactStepBase + (dx + kObjectStepRange) +
                                   kObjectStepSpan * (dy + kObjectStepRange));
}

// Limits of the wire encoding.
inline constexpr std::uint32_t kMaxFramePayload = 65535;
inline constexpr std::uint32_t kMaxWireString = 65000;  // longer text is cut when sent

// Room-list entry flags (RoomList, RoomOpened).
inline constexpr std::uint8_t kRoomHasPassword = 0x01;
inline constexpr std::uint8_t kRoomNavigation = 0x02;
inline constexpr std::uint16_t kRoomLimitDiffers = 32000;  // added to the member count

}  // namespace velmor::wire
