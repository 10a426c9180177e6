#include "rooms/Relay.h"

#include <algorithm>
#include <cstring>

#include "base/FixedText.h"
#include "wire/MessageBuilder.h"
#include "model/Names.h"
#include "users/Sending.h"
#include "users/User.h"
#include "model/ChatLine.h"
#include "rooms/Room.h"
#include "rooms/RoomRegistry.h"
#include "core/ServerCore.h"

namespace velmor {

namespace {

using wire::ServerCode;

constexpr std::uint32_t kIdleAfterMs = 2000;
constexpr std::uint32_t kStaleAfterMs = 2000;
constexpr std::uint32_t kMemberCheckMs = 2000;
constexpr std::uint32_t kStopAfterPasses = 5;  // times the room update interval
constexpr std::uint8_t kObjectStopAfterPasses = 3;
constexpr std::uint32_t kObjectReplaceAgeMs = 7'200'000;

// The frames of one pass, reused by every room in turn so that passes do not allocate.
struct PassFrames {
  MessageBuilder members;  // members that have the room's state
  MessageBuilder joiners;  // members that joined since the last pass
  MessageBuilder channel;  // channel followers that are not members
  MessageBuilder others;   // every other online user
  MessageBuilder list;     // the member list for new channel followers
  void clear() {
    members.clear();
    joiners.clear();
    channel.clear();
    others.clear();
    list.clear();
  }
};

PassFrames& passFrames() {
  static PassFrames frames;
  return frames;
}

std::uint8_t low(std::uint32_t value) {
  return static_cast<std::uint8_t>(value);
}
std::uint16_t u16(std::size_t value) {
  return static_cast<std::uint16_t>(value);
}

// --- message writers ---------------------------------------------------------------------

void writeMemberInfoChat(MessageBuilder& b, const User& m) {
  b.begin(ServerCode::MemberInfo)
      .string(fieldText(m.name))
      .u32(m.profileWord1)
      .u16(m.profileShort)
      .u8(m.isLeader);
}

void writeAppearance(MessageBuilder& b, const User& m) {
  b.u32(m.appearanceWord)
      .u8(m.appearanceByte)
      .u16(m.appearanceShort1)
      .u16(m.appearanceShort2)
      .u8(m.isLeader);
  b.string(fieldText(m.appearanceText));
}

void writeMemberInfoNavigation(MessageBuilder& b, const User& m) {
  b.begin(ServerCode::MemberInfo)
      .string(fieldText(m.name))
      .u32(m.profileWord1)
      .u32(m.profileWord2)
      .u16(m.profileShort);
  writeAppearance(b, m);
}

void writeMemberPosition(MessageBuilder& b, std::uint16_t x, std::uint16_t y, std::uint8_t layer,
                         std::uint8_t flags, std::uint16_t direction) {
  b.begin(ServerCode::MemberPosition).u16(x).u16(y).u8(layer).u8(flags).u16(direction);
}

void writeChannelMemberJoined(MessageBuilder& b, const Room& room, const User& m) {
  b.begin(ServerCode::ChannelMemberJoined).u16(u16(room.roomNumber)).string(fieldText(m.name));
  b.u32(m.profileWord1).u16(m.profileShort).u8(m.isLeader);
}

void writeMemberList(MessageBuilder& b, const Room& room) {
  b.begin(ServerCode::MemberList).u16(u16(room.roomNumber)).u16(u16(room.members.size()));
  for (const User* m : room.members)
    b.string(fieldText(m->name)).u32(m->profileWord1).u16(m->profileShort).u8(m->isLeader);
}

void writeRoomState(MessageBuilder& b, const Room& room, std::uint16_t value) {
  b.begin(ServerCode::RoomState).u16(u16(room.roomNumber)).u8(room.record.navigation);
  b.string(fieldText(room.record.creatorName)).u16(value);
}

void writeRecentLines(MessageBuilder& b, const Room& room) {
  std::uint8_t count = 0;
  while (count < Room::kRecentLines && room.recentLines[count] != nullptr) ++count;
  b.begin(ServerCode::RecentLines).u8(count);
  for (std::uint8_t i = 0; i < count; ++i)
    b.string(std::string_view(room.recentLines[i]->text, room.recentLines[i]->length));
}

void writeObjectInfo(MessageBuilder& b, const ObjectEntry& o) {
  b.begin(ServerCode::ObjectInfo).string(fieldText(o.name));
  b.begin(ServerCode::ObjectPosition).u16(o.value1).u16(o.value2).u8(o.value3);
}

// The relay flags of a member or an object: left out in the common state (moving, not
// idle or stale).
void writeFlags(MessageBuilder& b, ServerCode code, std::uint8_t moving, std::uint8_t second) {
  if (moving == 1 && second == 0) return;
  b.begin(code).u8(moving).u8(second);
}

// A member's move: a compact step when only x and y changed by at most 3 each, with the
// direction unchanged, as an i8 step or as a new u16 value; a full position otherwise.
void writeMemberStep(MessageBuilder& b, User& m) {
  const int dx = static_cast<std::int16_t>(m.posX - m.lastSentX);
  const int dy = static_cast<std::int16_t>(m.posY - m.lastSentY);
  const bool compact = m.posLayer == m.lastSentPosLayer && m.posFlags == m.lastSentPosFlags &&
                       dx >= -wire::kMemberStepRange && dx <= wire::kMemberStepRange &&
                       dy >= -wire::kMemberStepRange && dy <= wire::kMemberStepRange;
  if (!compact) {
    writeMemberPosition(b, m.posX, m.posY, m.posLayer, m.posFlags, m.posDir);
  } else {
    const std::uint8_t type = wire::memberStepType(dx, dy);
    const int turn = static_cast<std::int16_t>(m.posDir - m.lastSentDir);
    if (turn == 0) {
      b.beginType(type);
    } else if (turn >= -128 && turn <= 127) {
      b.beginType(static_cast<std::uint8_t>(type + wire::kMemberStepCount))
          .i8(static_cast<std::int8_t>(turn));
    } else {
      b.beginType(static_cast<std::uint8_t>(type + 2 * wire::kMemberStepCount)).u16(m.posDir);
    }
  }
  m.lastSentX = m.posX;
  m.lastSentY = m.posY;
  m.lastSentDir = m.posDir;
  m.lastSentPosLayer = m.posLayer;
  m.lastSentPosFlags = m.posFlags;
}

void writeObjectStep(MessageBuilder& b, ObjectEntry& o) {
  const int dx = static_cast<std::int16_t>(o.value1 - o.previousValue1);
  const int dy = static_cast<std::int16_t>(o.value2 - o.previousValue2);
  if (o.value3 == o.previousValue3 && dx >= -wire::kObjectStepRange &&
      dx <= wire::kObjectStepRange && dy >= -wire::kObjectStepRange &&
      dy <= wire::kObjectStepRange) {
    b.beginType(wire::objectStepType(dx, dy));
  } else {
    b.begin(ServerCode::ObjectPosition).u16(o.value1).u16(o.value2).u8(o.value3);
  }
}

void send(User& user, const MessageBuilder& frame) {
  user.sendFrames(frame.data(), frame.size(), frame.frameCount());
}

// --- the parts of a pass -------------------------------------------------------------------

void writeDepartures(Room& room, PassFrames& f, bool hasChannelMembers, bool& countChanged) {
  if (room.departedSlots.empty()) return;
  for (std::uint32_t slot : room.departedSlots) {
    f.members.begin(ServerCode::MemberLeft).u8(low(slot));
    if (hasChannelMembers)
      f.channel.begin(ServerCode::ChannelMemberLeft).u16(u16(room.roomNumber)).u16(u16(slot));
  }
  countChanged = true;
  room.departedSlots.clear();
  room.membersDeparted = 0;
}

void chatRoomPass(Room& room, PassFrames& f, bool hasChannelMembers, bool& countChanged) {
  ServerCore& core = room.core;
  if (room.membersJoined || room.memberStateChanged) {
    if (room.membersJoined) {
      writeRoomState(f.joiners, room, 0);
      writeMemberList(f.joiners, room);
    }
    for (std::size_t slot = 0; slot < room.members.size(); ++slot) {
      User& m = *room.members[slot];
      if (m.fullStateDue) {
        if (hasChannelMembers) writeChannelMemberJoined(f.channel, room, m);
        writeMemberInfoChat(f.members, m);
        countChanged = true;
        m.appearanceChanged = 0;
      } else if (m.appearanceChanged) {
        f.members.begin(ServerCode::MemberLeaderState).u16(u16(slot)).u8(m.isLeader);
        f.channel.begin(ServerCode::ChannelLeaderState)
            .u16(u16(room.roomNumber))
            .u16(u16(slot))
            .u8(m.isLeader);
        m.appearanceChanged = 0;
      }
    }
    room.membersJoined = 0;
    room.memberStateChanged = 0;
  }
  if (room.chatPending) deliverChat(room, f.members);
  f.members.finish();
  f.joiners.finish();
  for (User* m : room.members) {
    if (!m->fullStateDue) {
      m->relayCounter = core.relaySequence;
      if (f.members.hasMessage()) send(*m, f.members);
      continue;
    }
    m->fullStateDue = 0;
    if (hasChannelMembers && m->currentChannel != &room && followsChannel(*m, &room)) {
      // A follower who joins the room itself gets only the room's state here.
      MessageBuilder state;
      writeRoomState(state, room, u16(room.members.size()));
      sendTo(*m, state);
    } else {
      m->relayCounter = core.relaySequence;
      if (f.joiners.hasMessage()) send(*m, f.joiners);
    }
  }
}

void memberPass(Room& room, PassFrames& f, bool hasChannelMembers) {
  ServerCore& core = room.core;
  const std::uint32_t clock = core.clock;
  for (std::size_t k = 0; k < room.members.size(); ++k) {
    User& m = *room.members[k];
    m.relayCounter = core.relaySequence;
    bool update = true;
    if (!m.relayMoving) {
      if (m.presenceChanged) {
        if (m.relayIdle) {
          m.relayIdle = 0;
          --room.idleMembers;
        }
        f.members.begin(ServerCode::MemberMoving).u8(low(k));
        m.relayMoving = 1;
      } else {
        const std::uint32_t quiet = clock - m.lastActivity;
        if (!m.relayIdle && quiet >= kIdleAfterMs) {
          f.members.begin(ServerCode::MemberIdle).u8(low(k));
          m.relayIdle = 1;
          ++room.idleMembers;
        } else if (m.relayIdle && quiet < kIdleAfterMs) {
          f.members.begin(ServerCode::MemberActive).u8(low(k));
          m.relayIdle = 0;
          --room.idleMembers;
        }
        update = false;
      }
    }
    if (update) {
      if (m.fullStateDue) {
        writeMemberInfoNavigation(f.members, m);
        writeMemberPosition(f.members, m.posX, m.posY, m.posLayer, m.posFlags, m.posDir);
        m.lastSentX = m.posX;
        m.lastSentY = m.posY;
        m.lastSentDir = m.posDir;
        m.lastSentPosLayer = m.posLayer;
        m.lastSentPosFlags = m.posFlags;
        if (hasChannelMembers) writeChannelMemberJoined(f.channel, room, m);
        m.appearanceChanged = 0;
        m.presenceChanged = 0;
      } else {
        if (m.appearanceChanged) {
          f.members.begin(ServerCode::MemberUpdate);
          writeAppearance(f.members, m);
          m.appearanceChanged = 0;
        }
        if (m.presenceChanged) {
          writeMemberStep(f.members, m);
          m.presenceChanged = 0;
        } else if (clock - m.lastMoved >= kStopAfterPasses * core.roomUpdateInterval) {
          f.members.begin(ServerCode::MemberStopped);
          m.relayMoving = 0;
        } else {
          f.members.beginType(wire::kMemberStepNoMove);
        }
      }
    }
    if (room.membersJoined) {
      writeMemberInfoNavigation(f.joiners, m);
      writeMemberPosition(f.joiners, m.lastSentX, m.lastSentY, m.lastSentPosLayer,
                          m.lastSentPosFlags, m.lastSentDir);
      writeFlags(f.joiners, ServerCode::MemberRelayFlags, m.relayMoving, m.relayIdle);
    }
  }
  room.memberStateChanged = 0;
  room.activityNoted = 0;
}

void objectPass(Room& room, PassFrames& f) {
  const std::uint32_t clock = room.core.clock;
  f.members.begin(ServerCode::ObjectBatch);
  const std::size_t opened = f.members.messageCount();
  for (std::size_t k = 0; k < room.objects.size(); ++k) {
    ObjectEntry& o = room.objects[k];
    bool update = true;
    if (!o.moving) {
      if (o.changed) {
        if (o.stale) {
          o.stale = 0;
          --room.staleObjects;
        }
        f.members.begin(ServerCode::ObjectMoving).u8(low(k));
        o.moving = 1;
        o.stillPasses = 0;
      } else {
        const std::uint32_t quiet = clock - o.lastReport;
        if (!o.stale && quiet >= kStaleAfterMs) {
          f.members.begin(ServerCode::ObjectStale).u8(low(k));
          o.stale = 1;
          ++room.staleObjects;
        } else if (o.stale && quiet < kStaleAfterMs) {
          f.members.begin(ServerCode::ObjectFresh).u8(low(k));
          o.stale = 0;
          --room.staleObjects;
        }
        update = false;
      }
    }
    if (update) {
      if (o.isNew) {
        writeObjectInfo(f.members, o);
        o.isNew = 0;
        o.changed = 0;
      } else {
        if (o.nameReplaced) {
          f.members.begin(ServerCode::ObjectName).string(fieldText(o.name));
          o.nameReplaced = 0;
        }
        if (o.changed) {
          writeObjectStep(f.members, o);
          o.changed = 0;
          o.stillPasses = 0;
        } else if (++o.stillPasses >= kObjectStopAfterPasses) {
          f.members.begin(ServerCode::ObjectStopped);
          o.moving = 0;
        } else {
          f.members.beginType(wire::kObjectStepNoMove);
        }
      }
      o.previousValue1 = o.value1;
      o.previousValue2 = o.value2;
      o.previousValue3 = o.value3;
    }
    if (room.membersJoined) {
      writeObjectInfo(f.joiners, o);
      writeFlags(f.joiners, ServerCode::ObjectFlags, o.moving, o.stale);
    }
  }
  if (f.members.messageCount() == opened) f.members.dropLastMessage();
}

void navigationRoomPass(Room& room, PassFrames& f, bool hasChannelMembers) {
  ServerCore& core = room.core;
  if (room.refreshRequested) {
    f.members.begin(ServerCode::RoomReset);
    room.objects.clear();
    room.staleObjects = 0;
    room.resetTime = core.clock;
    room.refreshRequested = 0;
  }
  if (room.membersJoined) {
    writeRoomState(f.joiners, room, 0);
    writeRecentLines(f.joiners, room);
    memberPass(room, f, hasChannelMembers);
  } else if (room.memberStateChanged) {
    memberPass(room, f, hasChannelMembers);
  } else {
    for (User* m : room.members) m->relayCounter = core.relaySequence;
  }
  if (room.enemiesPending) {
    for (const EnemyReport& report : room.enemyReports) {
      f.members.begin(ServerCode::EnemySighting)
          .u8(low(report.reporterSlot))
          .u16(report.value1)
          .u16(report.value2);
      f.members.u8(report.value3);
    }
    room.enemyReports.clear();
    room.enemiesPending = 0;
  }
}

void navigationRoomObjectsAndSend(Room& room, PassFrames& f, std::uint64_t now) {
  ServerCore& core = room.core;
  if (room.objectsChanged && now - room.lastObjectBroadcast >= core.enemyupdateinterval) {
    objectPass(room, f);
    room.lastObjectBroadcast = now;
    room.objectsChanged = 0;
    room.objectsReported = 0;
  } else if (room.membersJoined) {
    for (const ObjectEntry& o : room.objects) {
      writeObjectInfo(f.joiners, o);
      writeFlags(f.joiners, ServerCode::ObjectFlags, o.moving, o.stale);
    }
  }
  if (room.chatPending) deliverChat(room, f.members);
  f.members.finish();
  f.joiners.finish();
  if (room.membersJoined) {
    for (User* m : room.members) {
      m->relayCounter = core.relaySequence;
      const MessageBuilder& frame = m->fullStateDue ? f.joiners : f.members;
      if (frame.hasMessage()) send(*m, frame);
      m->fullStateDue = 0;
    }
    room.membersJoined = 0;
  } else {
    for (User* m : room.members) {
      m->relayCounter = core.relaySequence;
      if (f.members.hasMessage()) send(*m, f.members);
    }
  }
}

void serveChannelFollowers(Room& room, PassFrames& f, bool hasChannelMembers) {
  ServerCore& core = room.core;
  if (!hasChannelMembers || (!f.channel.hasMessage() && !room.channelMembersChanged)) return;
  if (room.channelMembersChanged) {
    writeMemberList(f.list, room);
    room.channelMembersChanged = 0;
  }
  f.list.finish();
  f.channel.finish();
  for (User* follower : room.channelMembers) {
    if (follower->relayCounter == core.relaySequence) continue;
    if (follower->currentChannel == &room) {
      if (f.list.hasMessage()) send(*follower, f.list);
      follower->currentChannel = nullptr;
    } else {
      send(*follower, f.channel);  // an empty frame too: the follower's tick of this pass
    }
    follower->relayCounter = core.relaySequence;
  }
}

void serveOthers(Room& room, PassFrames& f, bool countChanged) {
  ServerCore& core = room.core;
  if (countChanged && !room.hasPassword) {
    f.others.begin(ServerCode::RoomMemberCount)
        .u16(u16(room.roomNumber))
        .u16(u16(room.members.size()));
  }
  if (!f.others.hasMessage()) return;
  f.others.finish();
  for (User* user : core.onlineList) {
    if (user->relayCounter != core.relaySequence) send(*user, f.others);
  }
}

bool hasWork(const Room& room) {
  return room.membersJoined || room.memberStateChanged || room.membersDeparted ||
         room.chatPending || room.objectsChanged || room.channelMembersChanged ||
         room.enemiesPending;
}

// Pre-checks of a navigation room: members gone idle, objects due, activity noted.
void notePeriodicChanges(Room& room, std::uint64_t now) {
  ServerCore& core = room.core;
  if (core.clock - room.memberCheckTime >= kMemberCheckMs) {
    room.memberCheckTime = core.clock;
    if (room.members.size() != room.idleMembers) room.memberStateChanged = 1;
  }
  if (now - room.lastObjectBroadcast >= core.enemyupdateinterval &&
      (room.staleObjects < room.objects.size() || room.objectsReported)) {
    room.objectsChanged = 1;
  }
  if (room.activityNoted) room.memberStateChanged = 1;
}

}  // namespace

void relayUpdate(Room& room, std::uint64_t now) {
  if (room.record.navigation) notePeriodicChanges(room, now);
  if (!hasWork(room)) return;
  ServerCore& core = room.core;
  ++core.relaySequence;
  PassFrames& f = passFrames();
  f.clear();
  const bool hasChannelMembers = !room.channelMembers.empty();
  bool countChanged = false;
  writeDepartures(room, f, hasChannelMembers, countChanged);
  if (room.record.navigation) {
    navigationRoomPass(room, f, hasChannelMembers);
    serveChannelFollowers(room, f, hasChannelMembers);
    navigationRoomObjectsAndSend(room, f, now);
  } else {
    chatRoomPass(room, f, hasChannelMembers, countChanged);
    serveChannelFollowers(room, f, hasChannelMembers);
  }
  serveOthers(room, f, countChanged);
}

void deliverChat(Room& room, MessageBuilder& builder) {
  for (ChatLine* line : room.chatQueue) {
    const std::string_view text(line->text, line->length);
    if (line->recipient[0] != '\0') {
      for (User* member : room.members) {
        if (!sameNameIgnoringCase(fieldText(member->name), fieldText(line->recipient))) continue;
        MessageBuilder whisper;
        whisper.begin(ServerCode::WhisperLine).u8(low(line->senderSlot)).string(text);
        sendTo(*member, whisper);
        break;
      }
    } else if (line->local) {
      std::size_t count = 0;
      while (count < Room::kRecentLines && room.recentLines[count] != nullptr) ++count;
      std::size_t found = count;
      for (std::size_t i = 0; i < count; ++i) {
        const ChatLine* recent = room.recentLines[i];
        if (recent->length == line->length &&
            std::memcmp(recent->text, line->text, line->length) == 0) {
          found = i;
          break;
        }
      }
      if (found < count) {
        ChatLine* recent = room.recentLines[found];
        std::copy(room.recentLines + found + 1, room.recentLines + count, room.recentLines + found);
        room.recentLines[count - 1] = recent;
        builder.begin(ServerCode::LocalLineRepeat)
            .u8(low(line->senderSlot))
            .u8(static_cast<std::uint8_t>(found));
      } else {
        if (count == Room::kRecentLines) {
          ChatLine::release(room.recentLines[0]);
          std::copy(room.recentLines + 1, room.recentLines + count, room.recentLines);
          --count;
        }
        line->addRef();
        room.recentLines[count] = line;
        builder.begin(ServerCode::LocalLine).u8(low(line->senderSlot)).string(text);
      }
    } else {
      builder.begin(ServerCode::RoomLine).u8(low(line->senderSlot)).string(text);
    }
    ChatLine::release(line);
  }
  room.chatQueue.clear();
  room.chatPending = 0;
}

void sendToMembers(Room& room, MessageBuilder& builder) {
  if (!builder.hasMessage()) return;
  builder.finish();
  for (User* member : room.members) send(*member, builder);
}

bool objectReport(Room& room, std::string_view name, std::uint16_t value1, std::uint16_t value2,
                  std::uint8_t value3) {
  const std::uint32_t clock = room.core.clock;
  ObjectEntry* entry = nullptr;
  for (ObjectEntry& o : room.objects) {
    if (fieldText(o.name) == name) {
      entry = &o;
      break;
    }
  }
  if (entry == nullptr && !room.objects.empty()) {
    ObjectEntry* oldest = &room.objects[0];
    for (ObjectEntry& o : room.objects) {
      if (clock - o.lastReport >= clock - oldest->lastReport) oldest = &o;
    }
    if (clock - oldest->lastReport >= kObjectReplaceAgeMs ||
        room.objects.size() >= Room::kMaxObjects) {
      entry = oldest;
      copyText(entry->name, name);
      entry->nameReplaced = 1;
      entry->changed = 1;
      room.objectsChanged = 1;
    }
  }
  if (entry == nullptr) {
    ObjectEntry& added = room.objects.emplace_back();
    copyText(added.name, name);
    added.value1 = added.previousValue1 = value1;
    added.value2 = added.previousValue2 = value2;
    added.value3 = added.previousValue3 = value3;
    added.lastReport = clock;
    room.objectsChanged = 1;
    return true;
  }
  if (entry->value1 != value1 || entry->value2 != value2 || entry->value3 != value3) {
    entry->value1 = value1;
    entry->value2 = value2;
    entry->value3 = value3;
    entry->changed = 1;
    room.objectsChanged = 1;
  }
  entry->lastReport = clock;
  room.objectsReported = 1;
  return true;
}

}  // namespace velmor
