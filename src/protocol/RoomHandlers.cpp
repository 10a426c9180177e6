// Room, channel and moderation requests.
#include <algorithm>
#include <cstring>

#include "db/Queries.h"
#include "base/FixedText.h"
#include "protocol/Dispatch.h"
#include "protocol/Login.h"
#include "wire/MessageBuilder.h"
#include "model/Names.h"
#include "users/Sending.h"
#include "users/User.h"
#include "rooms/RoomCompletions.h"
#include "rooms/RoomRegistry.h"
#include "core/ServerCore.h"

namespace velmor {

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
  auto entry = core.onlineMap.find(key);
  return entry == core.onlineMap.end() ? nullptr : entry->second;
}

BanEntry makeBan(const User& target, const User& issuer, const char* reason, std::uint32_t mask) {
  BanEntry ban;
  copyText(ban.name, fieldText(target.name));
  copyText(ban.issuer, fieldText(issuer.name));
  copyText(ban.reason, std::string_view(reason, strnlen(reason, sizeof(ban.reason) - 1)));
  ban.address = target.address;
  ban.mask = mask;
  return ban;
}

void sendWithReason(User& user, ServerCode code, const char* reason) {
  MessageBuilder message;
  message.begin(code).string(reason);
  sendTo(user, message);
}

// A ban list reply: as many entries as fit in one frame.
void sendBanList(User& user, ServerCode code, const std::vector<BanEntry>& bans) {
  std::size_t room = wire::kMaxFramePayload - 3;
  std::size_t count = 0;
  for (const BanEntry& ban : bans) {
    const std::size_t size =
        2 + strnlen(ban.name, 32) + 2 + strnlen(ban.issuer, 32) + 2 + strnlen(ban.reason, 64) + 4;
    if (size > room) break;
    room -= size;
    ++count;
  }
  MessageBuilder reply;
  reply.begin(code).u16(static_cast<std::uint16_t>(count));
  for (std::size_t i = 0; i < count; ++i) {
    reply.string(fieldText(bans[i].name))
        .string(fieldText(bans[i].issuer))
        .string(fieldText(bans[i].reason));
    reply.u32(bans[i].mask);
  }
  sendTo(user, reply);
}

// Removes the first entry of the exact name.
void unban(std::vector<BanEntry>& bans, const char* name) {
  auto entry = std::find_if(bans.begin(), bans.end(),
                            [name](const BanEntry& ban) { return same(ban.name, name); });
  if (entry != bans.end()) bans.erase(entry);
}

}  // namespace

bool handleCreateRoom(User& user, MessageReader& reader) {
  char name[32] = {};
  char password[32] = {};
  char leaderPassword[32] = {};
  reader.string(name);
  reader.string(password);
  reader.string(leaderPassword);
  const std::uint8_t navigation = reader.u8();
  if (!reader.ok() || name[0] == '\0' || leaderPassword[0] == '\0' ||
      same(password, leaderPassword)) {
    return false;
  }
  ServerCore& core = *user.core;
  if (!core.userscancreateroom && !user.isAdmin) {
    sendCode(user, ServerCode::RoomCreationDenied);
    return false;
  }
  if (!user.isMember) {
    sendCode(user, ServerCode::MembersOnly);
    return true;
  }
  char key[32];
  if (!checkName(name, key)) return false;
  if (core.storedRoomMap.contains(key) || core.liveRoomMap.contains(key)) {
    sendCode(user, ServerCode::RoomExists);
    return true;
  }
  auto* create = new VelmorRoomQuery(QueryKind::CreateRoom);
  create->record = makeRoomRecord(name, fieldText(user.name), password, leaderPassword, 0,
                                  navigation != 0, false);
  core.postQuery(&user, create);
  return true;
}

bool handleEnterRoom(User& user, MessageReader& reader) {
  char name[32] = {};
  char password[32] = {};
  reader.string(name);
  reader.string(password);
  if (!reader.ok() || name[0] == '\0') return false;
  char key[32];
  lowerName(key, fieldText(name));
  if (user.room != nullptr && same(user.room->record.lowerName, key)) return true;
  ServerCore& core = *user.core;
  if (Room* room = findLiveRoom(core, key)) {
    enterLiveRoom(*room, user, password, false);
    return true;
  }
  if (!core.storedRoomMap.contains(key)) {
    sendCode(user, ServerCode::NoSuchRoom);
    return true;
  }
  auto* load = new VelmorRoomQuery(QueryKind::LoadRoom);
  copyText(load->record.name, fieldText(name));
  copyText(load->suppliedPassword, fieldText(password));
  core.postQuery(&user, load);
  return true;
}

bool handleLeaveRoom(User& user, MessageReader&) {
  if (user.room == nullptr) return true;
  leave(*user.room, user);
  sendCode(user, ServerCode::RoomLeft);
  return true;
}

bool handleListRooms(User& user, MessageReader& reader) {
  const std::uint16_t first = reader.u16();
  const auto& directory = user.core->roomDirectory;
  MessageBuilder reply;
  reply.begin(ServerCode::RoomDirectory).u16(first);
  if (first < directory.size()) {
    const std::size_t count = std::min(directory.size() - first, kDirectoryPage);
    reply.u16(static_cast<std::uint16_t>(count));
    for (std::size_t i = first; i < first + count; ++i) {
      reply.string(fieldText(directory[i]->name)).string(fieldText(directory[i]->creatorName));
    }
  } else {
    reply.u16(0);
  }
  sendTo(user, reply);
  return true;
}

bool handleClaimLeader(User& user, MessageReader& reader) {
  char password[32] = {};
  reader.string(password);
  if (!reader.ok()) return false;
  Room* room = user.room;
  if (room == nullptr) return true;
  std::uint8_t leader = 0;
  // An unset leader password admits nobody, as at joining.
  if (room->record.leaderPassword[0] != '\0' && same(password, room->record.leaderPassword)) {
    leader = 1;
  } else if (room->hasPassword && !same(password, room->record.password)) {
    sendCode(user, ServerCode::WrongRoomPassword);
    return true;
  }
  if (leader == user.isLeader) return true;
  user.isLeader = leader;
  user.appearanceChanged = 1;
  user.presenceChanged = 1;
  room->memberStateChanged = 1;
  return true;
}

bool handleSetRoomPasswords(User& user, MessageReader& reader) {
  char password[32] = {};
  char leaderPassword[32] = {};
  reader.string(password);
  reader.string(leaderPassword);
  // A truncated request changes nothing: missing fields must not unlock the room.
  if (!reader.ok()) return false;
  Room* room = user.room;
  if (room == nullptr) return true;
  if (leaderPassword[0] == '\0' ? same(password, room->record.leaderPassword)
                                : same(leaderPassword, password)) {
    return true;
  }
  if (!user.isAdmin && !user.isLeader && !same(user.name, room->record.creatorName)) return true;
  const std::uint8_t hasPassword = password[0] != '\0' ? 1 : 0;
  if (hasPassword != room->hasPassword) {
    room->hasPassword = hasPassword;
    announceLock(*user.core, *room);
  }
  copyText(room->record.password, fieldText(password));
  if (leaderPassword[0] != '\0') copyText(room->record.leaderPassword, fieldText(leaderPassword));
  sendCode(user, ServerCode::RoomPasswordsChanged);
  return true;
}

bool handleJoinChannel(User& user, MessageReader& reader) {
  char name[32] = {};
  char password[32] = {};
  reader.string(name);
  reader.string(password);
  if (!reader.ok()) return false;
  if (user.channelCount >= User::kMaxChannels) {
    sendCode(user, ServerCode::TooManyChannels);
    return true;
  }
  char key[32];
  lowerName(key, fieldText(name));
  Room* room = findLiveRoom(*user.core, key);
  if (room == nullptr) {
    sendCode(user, ServerCode::NoSuchRoom);
    return true;
  }
  if (room == user.currentChannel) return true;
  if (room->hasPassword && !same(password, room->record.password) &&
      !same(password, room->record.leaderPassword)) {
    sendCode(user, ServerCode::WrongRoomPassword);
    return true;
  }
  if (followsChannel(user, room)) return true;
  if (user.currentChannel != nullptr) dropChannel(user, *user.currentChannel);
  MessageBuilder joined;
  joined.begin(ServerCode::ChannelJoined).u16(static_cast<std::uint16_t>(room->roomNumber));
  sendTo(user, joined);
  user.chatChannels[user.channelCount++] = room;
  room->channelMembers.push_back(&user);
  user.currentChannel = room;
  room->channelMembersChanged = 1;
  return true;
}

bool handleLeaveChannel(User& user, MessageReader& reader) {
  char name[32] = {};
  reader.string(name);
  if (!reader.ok()) return false;
  for (std::uint8_t i = 0; i < user.channelCount; ++i) {
    Room& room = *user.chatChannels[i];
    if (!same(room.record.name, name)) continue;
    dropChannel(user, room);
    MessageBuilder left;
    left.begin(ServerCode::ChannelLeft)
        .u16(static_cast<std::uint16_t>(room.roomNumber))
        .u8(&room != user.room ? 1 : 0);
    sendTo(user, left);
    return true;
  }
  return true;
}

namespace {

bool roomSanction(User& user, MessageReader& reader, bool ban) {
  char target[32] = {};
  char reason[64] = {};
  reader.string(target);
  reader.string(reason);
  const std::uint32_t mask = ban ? reader.u32() : 0;
  if (!user.isMember) {
    sendCode(user, ServerCode::MembersOnly);
    return true;
  }
  User* victim = findOnline(*user.core, target);
  if (victim == nullptr || victim->room == nullptr || victim->isLeader || victim->isAdmin)
    return true;
  if (!user.isAdmin && !(user.isLeader && user.room == victim->room)) return true;
  sendWithReason(*victim, ban ? ServerCode::BannedFromRoom : ServerCode::KickedFromRoom, reason);
  Room& room = *victim->room;
  if (ban) room.banList.push_back(makeBan(*victim, user, reason, mask));
  leave(room, *victim);
  return true;
}

bool serverSanction(User& user, MessageReader& reader, bool ban) {
  char target[32] = {};
  char reason[64] = {};
  reader.string(target);
  reader.string(reason);
  const std::uint32_t mask = ban ? reader.u32() : 0;
  if (!user.isAdmin) return true;
  if (!user.isMember) {
    sendCode(user, ServerCode::MembersOnly);
    return true;
  }
  ServerCore& core = *user.core;
  User* victim = findOnline(core, target);
  if (victim == nullptr) return true;
  sendWithReason(*victim, ban ? ServerCode::BannedFromServer : ServerCode::KickedFromServer,
                 reason);
  if (ban) core.serverBans.push_back(makeBan(*victim, user, reason, mask));
  core.takeOffline(*victim);
  return true;
}

// The shared checks of the ban list and unban requests; false when the request is ignored.
bool mayManageBans(User& user, bool roomList) {
  if (!user.isMember) {
    sendCode(user, ServerCode::MembersOnly);
    return false;
  }
  if (roomList && user.room == nullptr) return false;
  return user.isLeader || user.isAdmin;
}

}  // namespace

bool handleRoomKick(User& user, MessageReader& reader) {
  return roomSanction(user, reader, false);
}
bool handleRoomBan(User& user, MessageReader& reader) {
  return roomSanction(user, reader, true);
}
bool handleServerKick(User& user, MessageReader& reader) {
  return serverSanction(user, reader, false);
}
bool handleServerBan(User& user, MessageReader& reader) {
  return serverSanction(user, reader, true);
}

bool handleListRoomBans(User& user, MessageReader&) {
  if (mayManageBans(user, true)) sendBanList(user, ServerCode::RoomBanList, user.room->banList);
  return true;
}

bool handleListServerBans(User& user, MessageReader&) {
  if (!user.isAdmin) return false;
  if (mayManageBans(user, false))
    sendBanList(user, ServerCode::ServerBanList, user.core->serverBans);
  return true;
}

bool handleRoomUnban(User& user, MessageReader& reader) {
  char name[32] = {};
  reader.string(name);
  if (mayManageBans(user, true)) unban(user.room->banList, name);
  return true;
}

bool handleServerUnban(User& user, MessageReader& reader) {
  char name[32] = {};
  reader.string(name);
  if (!user.isAdmin) return false;
  if (mayManageBans(user, false)) unban(user.core->serverBans, name);
  return true;
}

}  // namespace velmor
