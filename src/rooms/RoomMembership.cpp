// Being in a room, and following rooms as chat channels: the room's members and followers,
// and the user's room, seat, leadership and channels, which are set here and nowhere else.
#include <algorithm>
#include <cstring>

#include "base/FixedText.h"
#include "rooms/Room.h"
#include "rooms/UserRooms.h"
#include "users/Sending.h"
#include "users/User.h"
#include "wire/MessageBuilder.h"

namespace velmor {

using wire::ServerCode;

namespace {

void sendRoomExited(User& user, const Room& room) {
  MessageBuilder frame;
  frame.begin(ServerCode::RoomExited).u16(static_cast<std::uint16_t>(room.number()));
  sendTo(user, frame);
}

void sendChannelLeft(User& user, const Room& room, bool notMember) {
  MessageBuilder left;
  left.begin(ServerCode::ChannelLeft)
      .u16(static_cast<std::uint16_t>(room.number()))
      .u8(notMember ? 1 : 0);
  sendTo(user, left);
}

}  // namespace

bool Room::join(User& user, const char* password) {
  if (user.room() == this) return true;  // already a member: his seat and state stay
  if (members_.size() >= kMaxMembers) return false;
  const bool leader =
      record_.leaderPassword[0] != '\0' && std::strcmp(record_.leaderPassword, password) == 0;
  if (!leader && hasPassword_ && std::strcmp(record_.password, password) != 0) return false;
  if (user.room() != nullptr) user.room()->leave(user, LeaveReason::MovedOn);
  user.rights_.isLeader = leader ? 1 : 0;
  user.roomSlot_ = static_cast<std::uint16_t>(members_.size());
  user.room_ = this;
  members_.push_back(&user);
  services_.traffic.roomMembers.add(1);
  if (members_.size() == 1 && services_.activity != nullptr)
    services_.activity->roomOccupied(*this);
  pending_.membersJoined = 1;
  noteUse();

  // His relay state starts over: the room's state is due to him, he moves, and nothing of
  // his position was sent here yet (the first pass sends it whole).
  User::RelayState& relay = user.relay_;
  relay.fullStateDue = 1;
  relay.motion = {};
  relay.lastActivity = relay.lastMoved = services_.clock.ms();
  relay.lastSent.x = relay.lastSent.y = 0;
  relay.lastSent.layer = 0;
  checkInvariants();
  return true;
}

void Room::enter(User& user, const char* password, bool banCheckForAll) {
  if (members_.size() >= record_.maxUsers) {
    sendCode(user, ServerCode::RoomFull);
    return;
  }
  // Leadership belongs to the room the user is in, never to the one he asks to enter: only
  // an administrator passes a room's bans.
  if (banCheckForAll || !user.rights().isAdmin) {
    if (const BanEntry* ban = findBan(user)) {
      sendBanned(user, *ban);
      return;
    }
  }
  if (!join(user, password)) sendCode(user, ServerCode::WrongRoomPassword);
}

// What happens when a user leaves a room, whatever the reason: his seat goes (later members
// move down one), his lines and reports leave the queues, the members hear of it at the next
// pass (the emptied room's last pass included), the room counts as used until now, and an
// emptied room gives its relay phase back and waits to sleep.
void Room::leave(User& user, LeaveReason reason) {
  auto member = std::find(members_.begin(), members_.end(), &user);
  if (member != members_.end()) {
    const auto slot = static_cast<std::uint16_t>(member - members_.begin());
    members_.erase(member);
    services_.traffic.roomMembers.sub(1);
    if (!user.relay().fullStateDue) noteDeparture(user, slot);
    for (std::size_t i = slot; i < members_.size(); ++i) --members_[i]->roomSlot_;
    renumberQueues(slot);
    pending_.membersDeparted = 1;
    noteUse();  // used until now
    if (members_.empty() && services_.activity != nullptr) services_.activity->roomEmptied(*this);
  }
  if (user.relay().motion.quiet) --idleMembers_;
  UserRooms::endMembership(user);
  if (reason == LeaveReason::Request) sendCode(user, ServerCode::RoomLeft);
  checkInvariants();
}

// A user who had received the room's state leaves it: the members hear of his seat; he
// hears RoomExited unless he follows the room as a channel (then the channel goes on).
void Room::noteDeparture(User& user, std::uint16_t slot) {
  departedSlots_.push_back(slot);
  if (user.channels().current == serial_) {
    pending_.channelMembersChanged = 1;
    sendRoomExited(user, *this);
  } else if (!follows(user)) {
    sendRoomExited(user, *this);
  }
}

// The departed member's chat lines and enemy reports leave the queues; later members' move
// down a seat. A line queued several times (a line and its repeats) is one record, moved once.
void Room::renumberQueues(std::uint16_t slot) {
  for (Ref<ChatLine>& line : chatQueue_) line->renumbered = 0;
  std::erase_if(chatQueue_, [slot](Ref<ChatLine>& line) {
    if (line->renumbered) return false;
    if (line->senderSlot == slot) return true;  // the queue's reference goes with it
    if (line->senderSlot > slot) {
      --line->senderSlot;
      line->renumbered = 1;
    }
    return false;
  });
  std::erase_if(enemyReports_, [slot](EnemyReport& report) {
    if (report.reporterSlot == slot) return true;
    if (report.reporterSlot > slot) --report.reporterSlot;
    return false;
  });
}

void Room::kick(User& victim) {
  leave(victim, LeaveReason::Kicked);
}

void Room::ban(User& victim, const BanEntry& entry) {
  if (victim.room() == this) leave(victim, LeaveReason::Banned);
  banList_.add(entry);
  stopFollowing(victim);  // banned from it, he does not follow it (a kick leaves that)
  if (services_.activity != nullptr) services_.activity->bansChanged(*this);
  checkInvariants();
}

void Room::unban(std::string_view name) {
  if (banList_.removeNamed(name) != 0 && services_.activity != nullptr)
    services_.activity->bansChanged(*this);
}

// --- channels ---------------------------------------------------------------------------------

bool Room::follows(const User& user) const {
  const auto& channels = user.channels();
  return std::find(channels.rooms, channels.rooms + channels.count, this) !=
         channels.rooms + channels.count;
}

void Room::follow(User& user) {
  user.channels_.rooms[user.channels_.count++] = this;
  channelMembers_.push_back(&user);
  services_.traffic.channelFollowers.add(1);
  user.channels_.current = serial_;
  pending_.channelMembersChanged = 1;
  checkInvariants();
}

bool Room::unfollow(User& user) {
  User::Channels& channels = user.channels_;
  Room** end = channels.rooms + channels.count;
  Room** found = std::find(channels.rooms, end, this);
  if (found == end) return false;
  std::copy(found + 1, end, found);
  channels.rooms[--channels.count] = nullptr;
  std::erase(channelMembers_, &user);
  services_.traffic.channelFollowers.sub(1);
  checkInvariants();
  return true;
}

void Room::stopFollowing(User& user) {
  if (user.channels().current == serial_) user.channels_.current = 0;
  if (unfollow(user)) sendChannelLeft(user, *this, true);
}

void Room::dropFollowers() {
  // The list is taken over first, so that each follower leaves it at no cost.
  const std::vector<User*> followers = std::move(channelMembers_);
  channelMembers_.clear();
  for (User* follower : followers) stopFollowing(*follower);
}

// --- the user's side ---------------------------------------------------------------------------

void UserRooms::reportPosition(User& user, const User::Position& position, std::uint32_t now) {
  if (position == user.position()) {
    UserRooms::noteReport(user, now);  // a report all the same: an idle member is back
    return;
  }
  user.relay_.lastActivity = now;
  if (user.room() != nullptr) {
    user.room()->moved(user, position, now);
    return;
  }
  user.relay_.presenceChanged = 0;
  user.relay_.lastMoved = now;
  user.position_ = position;
}

void UserRooms::reportAppearance(User& user, const User::Appearance& appearance) {
  if (user.room() != nullptr) {
    user.room()->appearanceChanged(user, appearance);
    return;
  }
  user.appearance_ = appearance;
  user.relay_.presenceChanged = 0;
}

void UserRooms::noteReport(User& user, std::uint32_t now) {
  user.relay_.lastActivity = now;
  if (user.room() != nullptr) user.room()->noteActivity(user);
}

void UserRooms::endMembership(User& user) {
  user.relay_.motion.quiet = 0;
  user.releaseTransfer();
  user.rights_.isLeader = 0;
  user.room_ = nullptr;
}

void UserRooms::leaveRoom(User& user, LeaveReason reason) {
  if (user.room() != nullptr) {
    user.room()->leave(user, reason);
  } else {
    UserRooms::endMembership(user);
  }
}

void UserRooms::dropCurrentChannel(User& user) {
  auto& channels = user.channels();
  for (std::uint8_t i = 0; i < channels.count; ++i) {
    if (channels.rooms[i]->serial() == channels.current) {
      channels.rooms[i]->unfollow(user);
      return;
    }
  }
}

void UserRooms::dropAllChannels(User& user) {
  while (user.channels().count > 0) user.channels().rooms[0]->unfollow(user);
  user.channels_.current = 0;
}

bool UserRooms::leaveChannelNamed(User& user, const char* name) {
  for (std::uint8_t i = 0; i < user.channels().count; ++i) {
    Room& room = *user.channels().rooms[i];
    if (std::strcmp(room.record().name, name) != 0) continue;
    room.unfollow(user);
    sendChannelLeft(user, room, &room != user.room());
    return true;
  }
  return false;
}

}  // namespace velmor
