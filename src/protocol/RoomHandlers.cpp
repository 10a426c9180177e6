// Room, channel and moderation requests.
#include <algorithm>
#include <cstring>
#include <optional>

#include "base/FixedText.h"
#include "core/ServerCore.h"
#include "model/Names.h"
#include "protocol/BanListReply.h"
#include "protocol/Dispatch.h"
#include "rooms/Room.h"
#include "rooms/RoomQueries.h"
#include "rooms/RoomRegistry.h"
#include "rooms/RoomRequests.h"
#include "rooms/UserRooms.h"
#include "users/Sending.h"
#include "users/User.h"
#include "wire/MessageBuilder.h"

namespace velmor {

std::size_t firstSentBan(const std::vector<BanEntry>& bans, std::size_t framePayload) {
  std::size_t room = framePayload - 3;  // the type byte and the count
  std::size_t first = bans.size();
  while (first > 0) {
    const BanEntry& ban = bans[first - 1];
    const std::size_t size =
        2 + strnlen(ban.name, 32) + 2 + strnlen(ban.issuer, 32) + 2 + strnlen(ban.reason, 64) + 4;
    if (size > room) break;
    room -= size;
    --first;
  }
  return first;
}

namespace {

using wire::ServerCode;

constexpr std::size_t kDirectoryPage = 20;

bool same(const char* a, const char* b) {
  return std::strcmp(a, b) == 0;
}

// Kick and ban targets are online users; the map is keyed by lower-case names, so the
// name is lowered before the lookup.
User* findOnline(ServerCore& core, const char (&name)[32]) {
  char key[32];
  lowerName(key, fieldText(name));
  return core.online.find(fieldText(key));
}

BanEntry makeBan(const User& target, const User& issuer, const char* reason, std::uint32_t mask) {
  BanEntry ban;
  copyText(ban.name, fieldText(target.identity().name));
  copyText(ban.issuer, fieldText(issuer.identity().name));
  copyText(ban.reason, std::string_view(reason, strnlen(reason, sizeof(ban.reason) - 1)));
  ban.address = target.address();
  ban.mask = mask;
  return ban;
}

void sendWithReason(User& user, ServerCode code, const char* reason) {
  MessageBuilder message;
  message.begin(code).string(reason);
  sendTo(user, message);
}

// A ban list reply: one frame, holding the newest entries that fit, in list order (an
// administrator who just banned sees his ban, and may lift it; the older entries beyond the
// frame stay in force, and the database lists them).
void sendBanList(User& user, ServerCode code, const BanList& list) {
  const std::vector<BanEntry>& bans = list.entries();
  const std::size_t first = firstSentBan(bans, wire::kMaxFramePayload);
  MessageBuilder reply;
  reply.begin(code).u16(static_cast<std::uint16_t>(bans.size() - first));
  for (std::size_t i = first; i < bans.size(); ++i) {
    reply.string(fieldText(bans[i].name))
        .string(fieldText(bans[i].issuer))
        .string(fieldText(bans[i].reason));
    reply.u32(bans[i].mask);
  }
  sendTo(user, reply);
}

// Why the user cannot create a room of the key now; nothing when he can. Creations in flight
// count as rooms.
std::optional<ServerCode> creationRefusal(ServerCore& core, const User& user, const char* key) {
  RoomRegistry& rooms = core.rooms;
  if (rooms.isStored(key) || rooms.findLive(key) != nullptr || rooms.isFallingAsleep(key))
    return ServerCode::RoomExists;
  if (rooms.roomCount() >= RoomRegistry::kMaxStoredRooms)
    return ServerCode::RoomCreateFailed;  // ListRooms could not reach it
  if (!user.rights().isAdmin &&
      rooms.roomsCreatedBy(fieldText(user.identity().nameKey)) >= RoomRegistry::kMaxRoomsPerCreator)
    return ServerCode::RoomCreateFailed;  // his share is used up
  if (!core.storageTakes(user))
    return ServerCode::RoomCreateFailed;  // as the failing storage would answer it
  return std::nullopt;
}

}  // namespace

bool handleCreateRoomRequest(ServerCore& core, User& user, const wire::CreateRoomRequest& request) {
  char name[32] = {};
  char password[32] = {};
  char leaderPassword[32] = {};
  copyText(name, request.name);
  copyText(password, request.password);
  copyText(leaderPassword, request.leaderPassword);
  const std::uint8_t navigation = request.navigation;
  if (name[0] == '\0' || leaderPassword[0] == '\0' || same(password, leaderPassword)) {
    return false;
  }
  if (!core.settings.userscancreateroom && !user.rights().isAdmin) {
    sendCode(user, ServerCode::RoomCreationDenied);
    return false;
  }
  if (!user.rights().isMember) {
    sendCode(user, ServerCode::MembersOnly);
    return true;
  }
  char key[32];
  if (!checkName(name, key)) return false;
  if (const std::optional<ServerCode> refusal = creationRefusal(core, user, key)) {
    sendCode(user, *refusal);
    return true;
  }
  core.queries().post(
      &user, new CreateRoomQuery(core.rooms,
                                 makeRoomRecord(name, fieldText(user.identity().name), password,
                                                leaderPassword, 0, navigation != 0, false)));
  return true;
}

bool handleEnterRoom(ServerCore& core, User& user, const wire::EnterRoom& request) {
  char name[32] = {};
  char password[32] = {};
  copyText(name, request.room);
  copyText(password, request.password);
  if (name[0] == '\0') return false;
  requestEnterRoom(core.rooms, user, name, password);
  return true;
}

bool handleLeaveRoom(ServerCore&, User& user, const wire::LeaveRoom&) {
  requestLeaveRoom(user);
  if (user.room() != nullptr) user.room()->leave(user, LeaveReason::Request);
  return true;
}

bool handleListRooms(ServerCore& core, User& user, const wire::ListRooms& request) {
  const std::uint16_t first = request.firstIndex;
  const RoomDirectory& directory = core.rooms.directory();
  MessageBuilder reply;
  reply.begin(ServerCode::RoomDirectory).u16(first);
  if (first < directory.size()) {
    const std::size_t count = std::min(directory.size() - first, kDirectoryPage);
    reply.u16(static_cast<std::uint16_t>(count));
    directory.page(first, count, [&reply](const RoomRecord& room) {
      reply.string(fieldText(room.name)).string(fieldText(room.creatorName));
    });
  } else {
    reply.u16(0);
  }
  sendTo(user, reply);
  return true;
}

bool handleClaimLeader(ServerCore&, User& user, const wire::ClaimLeader& request) {
  char password[32] = {};
  copyText(password, request.password);
  if (user.room() != nullptr && !user.room()->setLeader(user, password))
    sendCode(user, ServerCode::WrongRoomPassword);
  return true;
}

bool handleSetRoomPasswords(ServerCore&, User& user, const wire::SetRoomPasswords& request) {
  char password[32] = {};
  char leaderPassword[32] = {};
  copyText(password, request.password);
  copyText(leaderPassword, request.leaderPassword);
  if (user.room() != nullptr && user.room()->setPasswords(user, password, leaderPassword))
    sendCode(user, ServerCode::RoomPasswordsChanged);
  return true;
}

namespace {

// The room the user asks to follow, or null with the refusal answered (or nothing to do: he
// follows it already, as his current channel or not).
Room* roomToFollow(ServerCore& core, User& user, const char (&name)[32], const char* password) {
  if (user.channels().count >= User::kMaxChannels) {
    sendCode(user, ServerCode::TooManyChannels);
    return nullptr;
  }
  char key[32];
  lowerName(key, fieldText(name));
  Room* room = core.rooms.findLive(key);
  if (room == nullptr) {
    sendCode(user, ServerCode::NoSuchRoom);
    return nullptr;
  }
  if (room->serial() == user.channels().current) return nullptr;
  // The room's bans hold for following it as for entering it.
  const BanEntry* ban = user.rights().isAdmin ? nullptr : room->findBan(user);
  if (ban != nullptr) {
    sendBanned(user, *ban);
    return nullptr;
  }
  if (!room->admitsFollower(password)) {
    sendCode(user, ServerCode::WrongRoomPassword);
    return nullptr;
  }
  return room->follows(user) ? nullptr : room;
}

}  // namespace

bool handleJoinChannel(ServerCore& core, User& user, const wire::JoinChannel& request) {
  char name[32] = {};
  char password[32] = {};
  copyText(name, request.room);
  copyText(password, request.password);
  Room* room = roomToFollow(core, user, name, password);
  if (room == nullptr) return true;
  UserRooms::dropCurrentChannel(user);
  if (room->awaitsAnnouncement()) core.rooms.announceNewRooms();  // its number, known first
  MessageBuilder joined;
  joined.begin(ServerCode::ChannelJoined).u16(static_cast<std::uint16_t>(room->number()));
  sendTo(user, joined);
  room->follow(user);
  return true;
}

bool handleLeaveChannel(ServerCore&, User& user, const wire::LeaveChannel& request) {
  char name[32] = {};
  copyText(name, request.room);
  UserRooms::leaveChannelNamed(user, name);
  return true;
}

namespace {

// A kick or ban of a room's member; mask is 0 for a kick.
bool roomSanction(ServerCore& core, User& user, std::string_view targetName,
                  std::string_view reasonText, std::uint32_t mask, bool ban) {
  char target[32] = {};
  char reason[64] = {};
  copyText(target, targetName);
  copyText(reason, reasonText);
  if (!user.rights().isMember) {
    sendCode(user, ServerCode::MembersOnly);
    return true;
  }
  User* victim = findOnline(core, target);
  if (victim == nullptr || victim->room() == nullptr || victim->rights().isLeader ||
      victim->rights().isAdmin) {
    return true;
  }
  if (!user.rights().isAdmin && !(user.rights().isLeader && user.room() == victim->room()))
    return true;
  sendWithReason(*victim, ban ? ServerCode::BannedFromRoom : ServerCode::KickedFromRoom, reason);
  Room& room = *victim->room();
  if (ban) {
    room.ban(*victim, makeBan(*victim, user, reason, mask));
  } else {
    room.kick(*victim);
  }
  return true;
}

bool serverSanction(ServerCore& core, User& user, std::string_view targetName,
                    std::string_view reasonText, std::uint32_t mask, bool ban) {
  char target[32] = {};
  char reason[64] = {};
  copyText(target, targetName);
  copyText(reason, reasonText);
  if (!user.rights().isAdmin) return true;
  if (!user.rights().isMember) {
    sendCode(user, ServerCode::MembersOnly);
    return true;
  }
  User* victim = findOnline(core, target);
  if (victim == nullptr) return true;
  sendWithReason(*victim, ban ? ServerCode::BannedFromServer : ServerCode::KickedFromServer,
                 reason);
  if (ban) core.serverBans.add(makeBan(*victim, user, reason, mask));
  core.takeOffline(*victim);
  return true;
}

// The shared checks of the ban list and unban requests; false when the request is ignored.
bool mayManageBans(User& user, bool roomList) {
  if (!user.rights().isMember) {
    sendCode(user, ServerCode::MembersOnly);
    return false;
  }
  if (roomList && user.room() == nullptr) return false;
  return user.rights().isLeader || user.rights().isAdmin;
}

}  // namespace

bool handleRoomKick(ServerCore& core, User& user, const wire::RoomKick& request) {
  return roomSanction(core, user, request.user, request.reason, 0, false);
}
bool handleRoomBan(ServerCore& core, User& user, const wire::RoomBan& request) {
  return roomSanction(core, user, request.user, request.reason, request.mask, true);
}
bool handleServerKick(ServerCore& core, User& user, const wire::ServerKick& request) {
  return serverSanction(core, user, request.user, request.reason, 0, false);
}
bool handleServerBan(ServerCore& core, User& user, const wire::ServerBan& request) {
  return serverSanction(core, user, request.user, request.reason, request.mask, true);
}

bool handleListRoomBans(ServerCore&, User& user, const wire::ListRoomBans&) {
  if (mayManageBans(user, true)) sendBanList(user, ServerCode::RoomBanList, user.room()->banList());
  return true;
}

bool handleListServerBans(ServerCore& core, User& user, const wire::ListServerBans&) {
  if (!user.rights().isAdmin) return false;
  if (mayManageBans(user, false))
    sendBanList(user, ServerCode::ServerBanList, core.serverBans.list());
  return true;
}

bool handleRoomUnban(ServerCore&, User& user, const wire::RoomUnban& request) {
  char name[32] = {};
  copyText(name, request.name);
  if (mayManageBans(user, true)) user.room()->unban(fieldText(name));
  return true;
}

bool handleServerUnban(ServerCore& core, User& user, const wire::ServerUnban& request) {
  char name[32] = {};
  copyText(name, request.name);
  if (!user.rights().isAdmin) return false;
  if (mayManageBans(user, false)) core.serverBans.removeNamed(fieldText(name));
  return true;
}

}  // namespace velmor
