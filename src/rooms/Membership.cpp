#include "rooms/Membership.h"

#include <algorithm>
#include <cstring>

#include "base/FixedText.h"
#include "rooms/Room.h"
#include "users/Sending.h"
#include "users/User.h"
#include "wire/MessageBuilder.h"

namespace velmor {

using wire::ServerCode;

namespace {

void sendRoomExited(User& user, const Room& room) {
  MessageBuilder frame;
  frame.begin(ServerCode::RoomExited).u16(static_cast<std::uint16_t>(room.roomNumber));
  sendTo(user, frame);
}

// The departed member's chat lines leave the queue; later members' lines move down a seat.
// A line queued several times (a line and its repeats) is one record, moved once.
void renumberChat(Room& room, std::uint16_t slot) {
  for (Ref<ChatLine>& line : room.chatQueue) line->renumbered = 0;
  std::erase_if(room.chatQueue, [slot](Ref<ChatLine>& line) {
    if (line->renumbered) return false;
    if (line->senderSlot == slot) return true;  // the queue's reference goes with it
    if (line->senderSlot > slot) {
      --line->senderSlot;
      line->renumbered = 1;
    }
    return false;
  });
  std::erase_if(room.enemyReports, [slot](EnemyReport& report) {
    if (report.reporterSlot == slot) return true;
    if (report.reporterSlot > slot) --report.reporterSlot;
    return false;
  });
}

// A user who had received the room's state leaves it: the members hear of his seat; he
// hears RoomExited unless he follows the room as a channel (then the channel goes on).
void noteDeparture(Room& room, User& user, std::uint16_t slot) {
  room.departedSlots.push_back(slot);
  room.relay.membersDeparted = 1;
  if (user.channels.current == room.serial) {
    room.relay.channelMembersChanged = 1;
    sendRoomExited(user, room);
  } else if (!followsChannel(user, room)) {
    sendRoomExited(user, room);
  }
}

}  // namespace

bool join(Room& room, User& user, const char* password) {
  if (user.room == &room) return true;  // already a member: his seat and state stay
  if (room.members.size() >= Room::kMaxMembers) return false;
  const bool leader = room.record.leaderPassword[0] != '\0' &&
                      std::strcmp(room.record.leaderPassword, password) == 0;
  if (!leader && room.hasPassword && std::strcmp(room.record.password, password) != 0) {
    return false;
  }
  if (user.room != nullptr) leave(user);  // his previous room, and his leadership there
  user.rights.isLeader = leader ? 1 : 0;
  user.roomSlot = static_cast<std::uint16_t>(room.members.size());
  user.room = &room;
  room.members.push_back(&user);
  room.services.traffic.roomMembers.add(1);
  if (room.members.size() == 1 && room.services.activity != nullptr)
    room.services.activity->roomOccupied(room);
  room.relay.membersJoined = 1;
  room.noteUse();

  // His relay state starts over: the room's state is due to him, he moves, and nothing of
  // his position was sent here yet (the first pass sends it whole).
  User::RelayState& relay = user.relay;
  relay.fullStateDue = 1;
  relay.motion = {};
  relay.lastActivity = relay.lastMoved = room.services.clock.ms();
  relay.lastSent.x = relay.lastSent.y = 0;
  relay.lastSent.layer = 0;
  return true;
}

bool leave(User& user) {
  Room* room = user.room;
  bool found = false;
  if (room != nullptr) {
    auto member = std::find(room->members.begin(), room->members.end(), &user);
    found = member != room->members.end();
    if (found) {
      const auto slot = static_cast<std::uint16_t>(member - room->members.begin());
      room->members.erase(member);
      room->services.traffic.roomMembers.sub(1);
      if (!user.relay.fullStateDue) noteDeparture(*room, user, slot);
      for (std::size_t i = slot; i < room->members.size(); ++i) --room->members[i]->roomSlot;
      renumberChat(*room, slot);
      room->relay.memberLeft = 1;
      room->noteUse();  // used until now
      if (room->members.empty() && room->services.activity != nullptr)
        room->services.activity->roomEmptied(*room);
    }
    if (user.relay.motion.quiet) --room->idleMembers;
  }
  user.relay.motion.quiet = 0;
  user.releaseTransfer();
  user.rights.isLeader = 0;  // leadership is of this room only
  user.room = nullptr;
  return found;
}

void enterLiveRoom(Room& room, User& user, const char* password, bool banCheckForAll) {
  if (room.members.size() >= room.record.maxUsers) {
    sendCode(user, ServerCode::RoomFull);
    return;
  }
  // Leadership belongs to the room the user is in, never to the one he asks to enter: only
  // an administrator passes a room's bans.
  if (banCheckForAll || !user.rights.isAdmin) {
    if (const BanEntry* ban = room.findBan(user)) {
      sendBanned(user, *ban);
      return;
    }
  }
  if (!join(room, user, password)) sendCode(user, ServerCode::WrongRoomPassword);
}

bool followsChannel(const User& user, const Room& room) {
  const auto& channels = user.channels;
  return std::find(channels.rooms, channels.rooms + channels.count, &room) !=
         channels.rooms + channels.count;
}

void addChannel(User& user, Room& room) {
  user.channels.rooms[user.channels.count++] = &room;
  room.channelMembers.push_back(&user);
  room.services.traffic.channelFollowers.add(1);
}

bool dropChannel(User& user, Room& room) {
  auto& channels = user.channels;
  Room** end = channels.rooms + channels.count;
  Room** found = std::find(channels.rooms, end, &room);
  if (found == end) return false;
  std::copy(found + 1, end, found);
  channels.rooms[--channels.count] = nullptr;
  std::erase(room.channelMembers, &user);
  room.services.traffic.channelFollowers.sub(1);
  return true;
}

void dropCurrentChannel(User& user) {
  auto& channels = user.channels;
  for (std::uint8_t i = 0; i < channels.count; ++i) {
    if (channels.rooms[i]->serial == channels.current) {
      dropChannel(user, *channels.rooms[i]);
      return;
    }
  }
}

void stopFollowing(User& user, Room& room) {
  if (user.channels.current == room.serial) user.channels.current = 0;
  if (!dropChannel(user, room)) return;
  MessageBuilder left;
  left.begin(ServerCode::ChannelLeft).u16(static_cast<std::uint16_t>(room.roomNumber)).u8(1);
  sendTo(user, left);
}

void dropAllChannels(User& user) {
  while (user.channels.count > 0) dropChannel(user, *user.channels.rooms[0]);
  user.channels.current = 0;
}

}  // namespace velmor
