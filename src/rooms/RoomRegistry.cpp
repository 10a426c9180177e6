#include "rooms/RoomRegistry.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "base/FixedText.h"
#include "wire/MessageBuilder.h"
#include "users/Sending.h"
#include "users/User.h"
#include "model/ChatLine.h"
#include "core/ServerCore.h"
#include "server/VelmorServer.h"

namespace velmor {

using wire::ServerCode;

Room& makeLive(ServerCore& core, const RoomRecord& record) {
  auto room = std::make_unique<Room>(record, core);
  Room& live = *room;
  // Idle time counts from the moment the room woke, not from the loop's epoch.
  live.lastUpdateTime = core.now();
  live.roomNumber = static_cast<std::uint32_t>(core.liveRooms.size());
  core.liveRooms.push_back(std::move(room));
  core.newRooms.push_back(&live);
  core.liveRoomMap[live.record.lowerName] = &live;
  core.roomCount.add(1);
  return live;
}

void addStoredRoom(ServerCore& core, const RoomRecord& record) {
  auto stored = std::make_unique<RoomRecord>(record);
  core.storedRoomMap[stored->lowerName] = stored.get();
  core.roomDirectory.push_back(std::move(stored));
}

bool removeStoredRoom(ServerCore& core, const char* lowerName) {
  auto entry = core.storedRoomMap.find(lowerName);
  if (entry == core.storedRoomMap.end()) return false;
  const RoomRecord* record = entry->second;
  core.storedRoomMap.erase(entry);
  std::erase_if(core.roomDirectory,
                [record](const auto& stored) { return stored.get() == record; });
  return true;
}

Room* findLiveRoom(const ServerCore& core, const char* lowerName) {
  auto entry = core.liveRoomMap.find(lowerName);
  return entry == core.liveRoomMap.end() ? nullptr : entry->second;
}

bool join(Room& room, User& user, const char* password) {
  if (user.room == &room) return true;  // already a member: his seat and state stay
  if (room.members.size() >= Room::kMaxMembers) return false;
  const bool leader = room.record.leaderPassword[0] != '\0' &&
                      std::strcmp(room.record.leaderPassword, password) == 0;
  if (!leader && room.hasPassword && std::strcmp(room.record.password, password) != 0) {
    return false;
  }
  if (user.room != nullptr) leave(*user.room, user);  // which ends his leadership there
  user.isLeader = leader ? 1 : 0;
  user.roomSlot = static_cast<std::uint16_t>(room.members.size());
  user.room = &room;
  room.members.push_back(&user);
  room.membersJoined = 1;
  room.record.lastAccessed = room.core.wallSeconds();
  room.lastAccessSaved = false;

  ServerCore& core = room.core;
  user.fullStateDue = 1;
  user.relayMoving = 1;
  user.relayIdle = 0;
  user.lastActivity = user.lastMoved = core.clock;
  user.lastSentX = user.lastSentY = 0;
  user.lastSentPosLayer = 0;
  return true;
}

namespace {

void sendRoomExited(User& user, const Room& room) {
  MessageBuilder frame;
  frame.begin(ServerCode::RoomExited).u16(static_cast<std::uint16_t>(room.roomNumber));
  sendTo(user, frame);
}

// The departed member's chat lines leave the queue; later members' lines move down a slot.
// A line queued several times (a line and its repeats) is one record, moved once.
void renumberChat(Room& room, std::uint16_t slot) {
  for (ChatLine* line : room.chatQueue) line->renumbered = 0;
  std::erase_if(room.chatQueue, [slot](ChatLine* line) {
    if (line->renumbered) return false;
    if (line->senderSlot == slot) {
      ChatLine::release(line);
      return true;
    }
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

}  // namespace

bool leave(Room& room, User& user) {
  auto member = std::find(room.members.begin(), room.members.end(), &user);
  const bool found = member != room.members.end();
  if (found) {
    const auto slot = static_cast<std::uint16_t>(member - room.members.begin());
    room.members.erase(member);
    if (!user.fullStateDue) {
      room.departedSlots.push_back(slot);
      room.membersDeparted = 1;
      if (user.currentChannel == &room) {
        room.channelMembersChanged = 1;
        sendRoomExited(user, room);
      } else if (!followsChannel(user, &room)) {
        sendRoomExited(user, room);
      }
    }
    for (std::size_t i = slot; i < room.members.size(); ++i) --room.members[i]->roomSlot;
    renumberChat(room, slot);
    room.memberLeft = 1;
  }
  user.releaseTransfer();
  if (user.relayIdle) {
    --room.idleMembers;
    user.relayIdle = 0;
  }
  user.isLeader = 0;  // leadership is of this room only
  user.room = nullptr;
  return found;
}

const BanEntry* findBan(const Room& room, const User& user) {
  for (const BanEntry& entry : room.banList) {
    if (entry.matchesAddress(user.address) || std::strcmp(entry.name, user.name) == 0)
      return &entry;
  }
  return nullptr;
}

void removeLive(ServerCore& core, Room& room) {
  core.liveRoomMap.erase(room.record.lowerName);
  core.roomCount.sub(1);
  std::erase(core.newRooms, &room);
  auto live = std::find_if(core.liveRooms.begin(), core.liveRooms.end(),
                           [&room](const auto& entry) { return entry.get() == &room; });
  if (live == core.liveRooms.end()) return;
  const auto position = static_cast<std::uint16_t>(live - core.liveRooms.begin());
  live->release();  // the caller takes the room over
  core.liveRooms.erase(live);
  MessageBuilder closed;
  closed.begin(ServerCode::RoomClosed).u16(position);
  broadcastOnline(core, closed);
}

void unload(ServerCore& core, Room& room, std::uint32_t position) {
  if (!room.channelMembers.empty()) {
    MessageBuilder left;
    left.begin(ServerCode::ChannelLeft).u16(static_cast<std::uint16_t>(position)).u8(1);
    left.finish();
    for (User* follower : room.channelMembers) {
      if (follower->currentChannel == &room) follower->currentChannel = nullptr;
      auto* end = follower->chatChannels + follower->channelCount;
      auto* kept = std::remove(follower->chatChannels, end, &room);
      follower->channelCount = static_cast<std::uint8_t>(kept - follower->chatChannels);
      std::fill(kept, end, nullptr);
      follower->sendFrames(left.data(), left.size(), left.frameCount());
    }
    room.channelMembers.clear();
  }
  // A user who left this room's channel may still hold it as his current channel: no user
  // may keep a pointer to a room that is going away.
  core.server.forEachOpenClient([&room](ClientData& client) {
    auto& user = static_cast<User&>(client);
    if (user.currentChannel == &room) user.currentChannel = nullptr;
  });
  removeLive(core, room);
  room.releaseRelayState();
  auto* save = new VelmorRoomQuery(QueryKind::SaveRoom);
  save->record = room.record;  // the worker reads this copy, never the room
  save->room = &room;
  core.postQuery(nullptr, save);
}

void saveRoom(ServerCore& core, const Room& room) {
  auto* save = new VelmorRoomQuery(QueryKind::SaveRoom);
  save->record = room.record;  // no room attached: the completion has nothing to return
  core.postQuery(nullptr, save);
}

void touch(ServerCore& core, Room& room) {
  if (room.lastAccessSaved) return;
  auto* query = new VelmorRoomQuery(QueryKind::TouchRoom);
  query->record = room.record;
  core.postQuery(nullptr, query);
  // The time stays in the record: a room that sleeps later still carries its real last
  // access to the directory and the expiry sweep.
  room.lastAccessSaved = true;
}

void announceLock(ServerCore& core, Room& room) {
  room.lockAnnouncementDue = 0;
  if (room.hasPassword == room.announcedHasPassword) return;
  if (room.lockAnnouncedThisTick) {
    room.lockAnnouncementDue = 1;
    return;
  }
  MessageBuilder lock;
  lock.begin(ServerCode::RoomLockChanged)
      .u16(static_cast<std::uint16_t>(room.roomNumber))
      .u8(room.hasPassword);
  broadcastOnline(core, lock);
  room.announcedHasPassword = room.hasPassword;
  room.lockAnnouncedThisTick = 1;
}

bool followsChannel(const User& user, const Room* room) {
  return std::find(user.chatChannels, user.chatChannels + user.channelCount, room) !=
         user.chatChannels + user.channelCount;
}

bool dropChannel(User& user, Room& room) {
  auto* end = user.chatChannels + user.channelCount;
  auto* found = std::find(user.chatChannels, end, &room);
  if (found == end) return false;
  std::copy(found + 1, end, found);
  user.chatChannels[--user.channelCount] = nullptr;
  std::erase(room.channelMembers, &user);
  return true;
}

}  // namespace velmor
