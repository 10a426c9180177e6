#include "rooms/Relay.h"

#include <algorithm>
#include <cstring>

#include "base/FixedText.h"
#include "model/ChatLine.h"
#include "model/Names.h"
#include "rooms/Room.h"
#include "users/Sending.h"
#include "users/User.h"
#include "wire/MessageBuilder.h"

namespace velmor {

namespace {

using wire::ServerCode;

constexpr std::uint32_t kIdleAfterMs = 2000;
constexpr std::uint32_t kStaleAfterMs = 2000;
constexpr std::uint32_t kMemberCheckMs = 2000;
constexpr std::uint32_t kStopAfterPasses = 5;  // times the room update interval
constexpr std::uint8_t kObjectStopAfterPasses = 3;

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
      .string(fieldText(m.identity().name))
      .u32(m.identity().profileWord1)
      .u16(m.identity().profileShort)
      .u8(m.rights().isLeader);
}

void writeAppearance(MessageBuilder& b, const User& m) {
  b.u32(m.appearance().word)
      .u8(m.appearance().byte)
      .u16(m.appearance().short1)
      .u16(m.appearance().short2)
      .u8(m.rights().isLeader);
  b.string(fieldText(m.appearance().text));
}

void writeMemberInfoNavigation(MessageBuilder& b, const User& m) {
  b.begin(ServerCode::MemberInfo)
      .string(fieldText(m.identity().name))
      .u32(m.identity().profileWord1)
      .u32(m.identity().profileWord2)
      .u16(m.identity().profileShort);
  writeAppearance(b, m);
}

void writeMemberPosition(MessageBuilder& b, std::uint16_t x, std::uint16_t y, std::uint8_t layer,
                         std::uint8_t flags, std::uint16_t direction) {
  b.begin(ServerCode::MemberPosition).u16(x).u16(y).u8(layer).u8(flags).u16(direction);
}

void writeChannelMemberJoined(MessageBuilder& b, const Room& room, const User& m) {
  b.begin(ServerCode::ChannelMemberJoined)
      .u16(u16(room.number()))
      .string(fieldText(m.identity().name));
  b.u32(m.identity().profileWord1).u16(m.identity().profileShort).u8(m.rights().isLeader);
}

void writeMemberList(MessageBuilder& b, const Room& room) {
  b.begin(ServerCode::MemberList).u16(u16(room.number())).u16(u16(room.members().size()));
  for (const User* m : room.members())
    b.string(fieldText(m->identity().name))
        .u32(m->identity().profileWord1)
        .u16(m->identity().profileShort)
        .u8(m->rights().isLeader);
}

void writeRoomState(MessageBuilder& b, const Room& room, std::uint16_t value) {
  b.begin(ServerCode::RoomState).u16(u16(room.number())).u8(room.record().navigation);
  b.string(fieldText(room.record().creatorName)).u16(value);
}

void writeObjectInfo(MessageBuilder& b, const ObjectEntry& o) {
  b.begin(ServerCode::ObjectInfo).string(fieldText(o.name));
  b.begin(ServerCode::ObjectPosition).u16(o.place.x).u16(o.place.y).u8(o.place.layer);
}

// The relay flags of a member or an object: left out in the common state (moving, not
// idle or stale).
void writeFlags(MessageBuilder& b, ServerCode code, std::uint8_t moving, std::uint8_t second) {
  if (moving == 1 && second == 0) return;
  b.begin(code).u8(moving).u8(second);
}

// A member's move: a compact step when only x and y changed by at most 3 each, with the
// direction unchanged, as an i8 step or as a new u16 value; a full position otherwise.
void writeMemberStep(MessageBuilder& b, const User& m) {
  const int dx = static_cast<std::int16_t>(m.position().x - m.relay().lastSent.x);
  const int dy = static_cast<std::int16_t>(m.position().y - m.relay().lastSent.y);
  const bool compact = m.position().layer == m.relay().lastSent.layer &&
                       m.position().flags == m.relay().lastSent.flags &&
                       dx >= -wire::kMemberStepRange && dx <= wire::kMemberStepRange &&
                       dy >= -wire::kMemberStepRange && dy <= wire::kMemberStepRange;
  if (!compact) {
    writeMemberPosition(b, m.position().x, m.position().y, m.position().layer, m.position().flags,
                        m.position().direction);
  } else {
    const std::uint8_t type = wire::memberStepType(dx, dy);
    const int turn =
        static_cast<std::int16_t>(m.position().direction - m.relay().lastSent.direction);
    if (turn == 0) {
      b.beginType(type);
    } else if (turn >= -128 && turn <= 127) {
      b.beginType(static_cast<std::uint8_t>(type + wire::kMemberStepCount))
          .i8(static_cast<std::int8_t>(turn));
    } else {
      b.beginType(static_cast<std::uint8_t>(type + 2 * wire::kMemberStepCount))
          .u16(m.position().direction);
    }
  }
}

void writeObjectStep(MessageBuilder& b, ObjectEntry& o) {
  const int dx = static_cast<std::int16_t>(o.place.x - o.previous.x);
  const int dy = static_cast<std::int16_t>(o.place.y - o.previous.y);
  if (o.place.layer == o.previous.layer && dx >= -wire::kObjectStepRange &&
      dx <= wire::kObjectStepRange && dy >= -wire::kObjectStepRange &&
      dy <= wire::kObjectStepRange) {
    b.beginType(wire::objectStepType(dx, dy));
  } else {
    b.begin(ServerCode::ObjectPosition).u16(o.place.x).u16(o.place.y).u8(o.place.layer);
  }
}

void send(User& user, const MessageBuilder& frame) {
  user.sendFrames(frame.data(), frame.size(), frame.frameCount());
}

// --- who has been served --------------------------------------------------------------------
// A pass sends each member the frame meant for him; the channel followers and the other
// online users get theirs afterwards, unless this pass served them already (a member who
// also follows the room, say). The pass marks whom it served, and asks, only here.

bool served(const User& user, const RoomServices& services) {
  return user.relay().servedPass == services.relayPasses;
}

// --- motion: moving, stopped, quiet -----------------------------------------------------------
// Members and objects move the same way as far as the room hears: a stopped one that
// changes starts moving again (and is no longer quiet); a stopped one that does not may go
// quiet (idle, stale) or come back; a moving one takes part in the pass's update, which
// stops it when it has been still long enough.

struct MotionCodes {
  ServerCode moving;
  ServerCode quiet;  // MemberIdle, ObjectStale
  ServerCode back;   // MemberActive, ObjectFresh
  ServerCode stopped;
  std::uint8_t noMove;  // the compact "not moved" step
};
constexpr MotionCodes kMemberMotion{ServerCode::MemberMoving, ServerCode::MemberIdle,
                                    ServerCode::MemberActive, ServerCode::MemberStopped,
                                    wire::kMemberStepNoMove};
constexpr MotionCodes kObjectMotion{ServerCode::ObjectMoving, ServerCode::ObjectStale,
                                    ServerCode::ObjectFresh, ServerCode::ObjectStopped,
                                    wire::kObjectStepNoMove};

// The start of an entry's pass. `quietCount` is the room's count of quiet entries of the
// kind. Returns whether the entry moves, so takes part in the update.
bool startMotion(Motion& motion, bool changed, bool silent, std::uint32_t& quietCount,
                 MessageBuilder& b, std::size_t index, const MotionCodes& codes) {
  if (motion.moving) return true;
  if (changed) {
    if (motion.quiet) {
      motion.quiet = 0;
      --quietCount;
    }
    b.begin(codes.moving).u8(low(static_cast<std::uint32_t>(index)));
    motion.moving = 1;
    return true;
  }
  if (!motion.quiet && silent) {
    b.begin(codes.quiet).u8(low(static_cast<std::uint32_t>(index)));
    motion.quiet = 1;
    ++quietCount;
  } else if (motion.quiet && !silent) {
    b.begin(codes.back).u8(low(static_cast<std::uint32_t>(index)));
    motion.quiet = 0;
    --quietCount;
  }
  return false;
}

// The end of a moving entry's update when it did not change: it stops, or is "not moved".
void stillMotion(Motion& motion, bool stop, MessageBuilder& b, const MotionCodes& codes) {
  if (stop) {
    b.begin(codes.stopped);
    motion.moving = 0;
  } else {
    b.beginType(codes.noMove);
  }
}

}  // namespace

// The relay pass: the one reader of a room's pending work, which it tells and clears.
// Its steps are the parts of a pass below; the frames are shared by every room's pass.
// Main loop only.
class RelayPass {
 public:
  static void markServed(User& user, const RoomServices& services) {
    user.relay_.servedPass = services.relayPasses;
  }

  static void writeRecentLines(MessageBuilder& b, const Room& room) {
    std::uint8_t count = 0;
    while (count < Room::kRecentLines && room.recentLines_[count]) ++count;
    b.begin(ServerCode::RecentLines).u8(count);
    for (std::uint8_t i = 0; i < count; ++i)
      b.string(std::string_view(room.recentLines_[i]->text, room.recentLines_[i]->length));
  }

  // --- chat ------------------------------------------------------------------------------------
  // A pass writes its lines after everything that tells seats (departures, newcomers), so that
  // each line's seat is one the receiver knows; whispers, which go out in frames of their own,
  // follow the pass's frames for the same reason.

  // The place of a local line among the recent lines, or the count when it is not there.
  static std::size_t findRecent(const Room& room, std::size_t count, const ChatLine& line) {
    for (std::size_t i = 0; i < count; ++i) {
      const ChatLine& recent = *room.recentLines_[i];
      if (recent.length == line.length && std::memcmp(recent.text, line.text, line.length) == 0)
        return i;
    }
    return count;
  }

  // Files a local line among the recent lines: a known one moves to the newest end, a new one
  // is stored as the newest (the oldest of sixteen makes way). Returns the index it had, or
  // kRecentLines for a new line.
  static std::size_t fileRecentLine(Room& room, const Ref<ChatLine>& line) {
    std::size_t count = 0;
    while (count < Room::kRecentLines && room.recentLines_[count]) ++count;
    const std::size_t found = findRecent(room, count, *line);
    if (found < count) {
      std::rotate(room.recentLines_ + found, room.recentLines_ + found + 1,
                  room.recentLines_ + count);
      return found;
    }
    if (count == Room::kRecentLines) {
      std::rotate(room.recentLines_, room.recentLines_ + 1, room.recentLines_ + count);
      --count;  // the oldest, now last, is replaced below
    }
    room.recentLines_[count] = line;
    return Room::kRecentLines;
  }

  static void writeLine(MessageBuilder& b, const ChatLine& line, std::size_t repeatOf) {
    if (!line.local) {
      b.begin(ServerCode::RoomLine).u8(low(line.senderSlot));
      b.string(std::string_view(line.text, line.length));
    } else if (repeatOf < Room::kRecentLines) {
      b.begin(ServerCode::LocalLineRepeat)
          .u8(low(line.senderSlot))
          .u8(static_cast<std::uint8_t>(repeatOf));
    } else {
      b.begin(ServerCode::LocalLine).u8(low(line.senderSlot));
      b.string(std::string_view(line.text, line.length));
    }
  }

  // Writes the queued lines, whispers aside, into the members' frame and, when given, into the
  // joiners' frame too: a newcomer was given the recent lines as they stood before this pass,
  // and hears the pass's lines as the others do, so his list stays the room's.
  static void deliverChat(Room& room, MessageBuilder& members, MessageBuilder* joiners) {
    for (const Ref<ChatLine>& line : room.chatQueue_) {
      if (line->recipient[0] != '\0') continue;
      const std::size_t repeatOf = line->local ? fileRecentLine(room, line) : Room::kRecentLines;
      writeLine(members, *line, repeatOf);
      if (joiners != nullptr) writeLine(*joiners, *line, repeatOf);
    }
  }

  static void deliverWhisper(Room& room, const ChatLine& line) {
    for (User* member : room.members_) {
      if (!sameNameIgnoringCase(fieldText(member->identity().name), fieldText(line.recipient)))
        continue;
      MessageBuilder whisper;
      whisper.begin(ServerCode::WhisperLine)
          .u8(low(line.senderSlot))
          .string(std::string_view(line.text, line.length));
      sendTo(*member, whisper);
      break;
    }
  }

  // Sends the queued whispers, after the frames that carry the rest of the delivery, and
  // empties the queue (its references go).
  static void deliverWhispers(Room& room) {
    for (const Ref<ChatLine>& line : room.chatQueue_) {
      if (line->recipient[0] != '\0') deliverWhisper(room, *line);
    }
    room.services_.traffic.chatLinesRelayed.add(room.chatQueue_.size());
    room.chatQueue_.clear();
    room.pending_.chatPending = 0;
  }

  // --- the parts of a pass -------------------------------------------------------------------

  static void writeDepartures(Room& room, PassFrames& f, bool hasChannelMembers,
                              bool& countChanged) {
    room.pending_.membersDeparted = 0;
    if (room.departedSlots_.empty()) return;
    for (std::uint32_t slot : room.departedSlots_) {
      f.members.begin(ServerCode::MemberLeft).u8(low(slot));
      if (hasChannelMembers)
        f.channel.begin(ServerCode::ChannelMemberLeft).u16(u16(room.number())).u16(u16(slot));
    }
    countChanged = true;
    room.departedSlots_.clear();
  }

  static void chatRoomPass(Room& room, PassFrames& f, bool hasChannelMembers, bool& countChanged) {
    const bool joined = room.pending_.membersJoined != 0;
    if (joined || room.pending_.memberStateChanged) {
      if (joined) {
        writeRoomState(f.joiners, room, 0);
        writeMemberList(f.joiners, room);
      }
      for (std::size_t slot = 0; slot < room.members_.size(); ++slot) {
        User& m = *room.members_[slot];
        if (m.relay().fullStateDue) {
          if (hasChannelMembers) writeChannelMemberJoined(f.channel, room, m);
          writeMemberInfoChat(f.members, m);
          countChanged = true;
          m.relay_.appearanceChanged = 0;
        } else if (m.relay().appearanceChanged) {
          f.members.begin(ServerCode::MemberLeaderState).u16(u16(slot)).u8(m.rights().isLeader);
          f.channel.begin(ServerCode::ChannelLeaderState)
              .u16(u16(room.number()))
              .u16(u16(slot))
              .u8(m.rights().isLeader);
          m.relay_.appearanceChanged = 0;
        }
      }
      room.pending_.membersJoined = 0;
      room.pending_.memberStateChanged = 0;
    }
    // A newcomer hears the pass's lines after the room's state, his own among them.
    const bool chat = room.pending_.chatPending != 0;
    if (chat) deliverChat(room, f.members, joined ? &f.joiners : nullptr);
    f.members.finish();
    f.joiners.finish();
    for (User* m : room.members_) {
      if (!m->relay().fullStateDue) {
        markServed(*m, room.services_);
        if (f.members.hasMessage()) send(*m, f.members);
        continue;
      }
      m->relay_.fullStateDue = 0;
      if (hasChannelMembers && m->channels().current != room.serial_ && room.follows(*m)) {
        // A follower who joins the room itself gets only the room's state here; his channel
        // frame follows with the other followers'.
        MessageBuilder state;
        writeRoomState(state, room, u16(room.members_.size()));
        if (chat) deliverChat(room, state, nullptr);
        sendTo(*m, state);
      } else {
        markServed(*m, room.services_);
        if (f.joiners.hasMessage()) send(*m, f.joiners);
      }
    }
    if (room.pending_.chatPending) deliverWhispers(room);
  }

  static void memberPass(Room& room, PassFrames& f, bool hasChannelMembers) {
    const RoomServices& services = room.services_;
    const std::uint32_t clock = services.clock.ms();
    const std::uint32_t stopAfterMs = kStopAfterPasses * services.limits.roomUpdateInterval;
    for (std::size_t k = 0; k < room.members_.size(); ++k) {
      User& m = *room.members_[k];
      User::RelayState& relay = m.relay_;
      const bool silent = clock - relay.lastActivity >= kIdleAfterMs;
      if (startMotion(relay.motion, relay.presenceChanged, silent, room.idleMembers_, f.members, k,
                      kMemberMotion)) {
        if (relay.fullStateDue) {
          writeMemberInfoNavigation(f.members, m);
          writeMemberPosition(f.members, m.position().x, m.position().y, m.position().layer,
                              m.position().flags, m.position().direction);
          relay.lastSent = m.position();
          if (hasChannelMembers) writeChannelMemberJoined(f.channel, room, m);
          relay.appearanceChanged = 0;
          relay.presenceChanged = 0;
        } else {
          if (relay.appearanceChanged) {
            f.members.begin(ServerCode::MemberUpdate);
            writeAppearance(f.members, m);
            relay.appearanceChanged = 0;
          }
          if (relay.presenceChanged) {
            writeMemberStep(f.members, m);
            relay.lastSent = m.position();
            relay.presenceChanged = 0;
          } else {
            stillMotion(relay.motion, clock - relay.lastMoved >= stopAfterMs, f.members,
                        kMemberMotion);
          }
        }
      }
      if (room.pending_.membersJoined) {
        writeMemberInfoNavigation(f.joiners, m);
        writeMemberPosition(f.joiners, relay.lastSent.x, relay.lastSent.y, relay.lastSent.layer,
                            relay.lastSent.flags, relay.lastSent.direction);
        writeFlags(f.joiners, ServerCode::MemberRelayFlags, relay.motion.moving,
                   relay.motion.quiet);
      }
    }
    room.pending_.memberStateChanged = 0;
    room.pending_.activityNoted = 0;
  }

  static void objectPass(Room& room, PassFrames& f) {
    const std::uint32_t clock = room.services_.clock.ms();
    f.members.begin(ServerCode::ObjectBatch);
    const std::size_t opened = f.members.messageCount();
    for (std::size_t k = 0; k < room.objects_.size(); ++k) {
      ObjectEntry& o = room.objects_[k];
      const bool wasMoving = o.motion.moving != 0;
      const bool silent = clock - o.lastReport >= kStaleAfterMs;
      if (startMotion(o.motion, o.changed, silent, room.staleObjects_, f.members, k,
                      kObjectMotion)) {
        if (!wasMoving) o.stillPasses = 0;
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
          } else {
            stillMotion(o.motion, ++o.stillPasses >= kObjectStopAfterPasses, f.members,
                        kObjectMotion);
          }
        }
        o.previous = o.place;
      }
      if (room.pending_.membersJoined) {
        writeObjectInfo(f.joiners, o);
        writeFlags(f.joiners, ServerCode::ObjectFlags, o.motion.moving, o.motion.quiet);
      }
    }
    if (f.members.messageCount() == opened) f.members.dropLastMessage();
  }

  static void navigationRoomPass(Room& room, PassFrames& f, bool hasChannelMembers) {
    // Every member gets this pass's frame (sent once the objects are in it).
    for (User* m : room.members_) markServed(*m, room.services_);
    if (room.pending_.refreshRequested) {
      f.members.begin(ServerCode::RoomReset);
      room.objects_.clear();
      room.staleObjects_ = 0;
      room.resetTime_ = room.services_.clock.ms();
      room.pending_.refreshRequested = 0;
    }
    if (room.pending_.membersJoined) {
      writeRoomState(f.joiners, room, 0);
      writeRecentLines(f.joiners, room);
      memberPass(room, f, hasChannelMembers);
    } else if (room.pending_.memberStateChanged) {
      memberPass(room, f, hasChannelMembers);
    }
    if (room.pending_.enemiesPending) {
      for (const EnemyReport& report : room.enemyReports_) {
        f.members.begin(ServerCode::EnemySighting)
            .u8(low(report.reporterSlot))
            .u16(report.place.x)
            .u16(report.place.y);
        f.members.u8(report.place.layer);
      }
      room.enemyReports_.clear();
      room.pending_.enemiesPending = 0;
    }
  }

  static void navigationRoomObjectsAndSend(Room& room, PassFrames& f, std::uint64_t now) {
    if (room.pending_.objectsChanged &&
        now - room.lastObjectBroadcast_ >= room.services_.limits.enemyupdateinterval) {
      objectPass(room, f);
      room.lastObjectBroadcast_ = now;
      room.pending_.objectsChanged = 0;
      room.pending_.objectsReported = 0;
    } else if (room.pending_.membersJoined) {
      for (const ObjectEntry& o : room.objects_) {
        writeObjectInfo(f.joiners, o);
        writeFlags(f.joiners, ServerCode::ObjectFlags, o.motion.moving, o.motion.quiet);
      }
    }
    if (room.pending_.chatPending) {
      deliverChat(room, f.members, room.pending_.membersJoined ? &f.joiners : nullptr);
    }
    f.members.finish();
    f.joiners.finish();
    if (room.pending_.membersJoined) {
      for (User* m : room.members_) {
        const MessageBuilder& frame = m->relay().fullStateDue ? f.joiners : f.members;
        if (frame.hasMessage()) send(*m, frame);
        m->relay_.fullStateDue = 0;
      }
      room.pending_.membersJoined = 0;
    } else if (f.members.hasMessage()) {
      for (User* m : room.members_) send(*m, f.members);
    }
    if (room.pending_.chatPending) deliverWhispers(room);
  }

  static void serveChannelFollowers(Room& room, PassFrames& f, bool hasChannelMembers) {
    if (!hasChannelMembers || (!f.channel.hasMessage() && !room.pending_.channelMembersChanged))
      return;
    if (room.pending_.channelMembersChanged) {
      writeMemberList(f.list, room);
      room.pending_.channelMembersChanged = 0;
    }
    f.list.finish();
    f.channel.finish();
    for (User* follower : room.channelMembers_) {
      if (served(*follower, room.services_)) continue;
      if (follower->channels().current == room.serial_) {
        if (f.list.hasMessage()) send(*follower, f.list);
        follower->channels_.current = 0;
      } else {
        send(*follower, f.channel);  // an empty frame too: the follower's tick of this pass
      }
      markServed(*follower, room.services_);
    }
  }

  static void serveOthers(Room& room, PassFrames& f, bool countChanged) {
    if (countChanged && !room.hasPassword_) {
      f.others.begin(ServerCode::RoomMemberCount)
          .u16(u16(room.number()))
          .u16(u16(room.members_.size()));
    }
    if (!f.others.hasMessage()) return;
    f.others.finish();
    for (User* user : room.services_.online.list()) {
      if (!served(*user, room.services_)) send(*user, f.others);
    }
  }

  // Pre-checks of a navigation room: members gone idle, objects due, activity noted.
  static void notePeriodicChanges(Room& room, std::uint64_t now) {
    const RoomServices& services = room.services_;
    const std::uint32_t clock = services.clock.ms();
    if (clock - room.memberCheckTime_ >= kMemberCheckMs) {
      room.memberCheckTime_ = clock;
      if (room.members_.size() != room.idleMembers_) room.pending_.memberStateChanged = 1;
    }
    if (now - room.lastObjectBroadcast_ >= services.limits.enemyupdateinterval &&
        (room.staleObjects_ < room.objects_.size() || room.pending_.objectsReported)) {
      room.pending_.objectsChanged = 1;
    }
    if (room.pending_.activityNoted) room.pending_.memberStateChanged = 1;
  }

  static void run(Room& room, std::uint64_t now) {
    if (room.record().navigation) notePeriodicChanges(room, now);
    if (!room.hasWork()) return;
    ++room.services_.relayPasses;
    PassFrames& f = passFrames();
    f.clear();
    const bool hasChannelMembers = !room.channelMembers_.empty();
    bool countChanged = false;
    writeDepartures(room, f, hasChannelMembers, countChanged);
    if (room.record().navigation) {
      navigationRoomPass(room, f, hasChannelMembers);
      serveChannelFollowers(room, f, hasChannelMembers);
      navigationRoomObjectsAndSend(room, f, now);
    } else {
      chatRoomPass(room, f, hasChannelMembers, countChanged);
      serveChannelFollowers(room, f, hasChannelMembers);
    }
    serveOthers(room, f, countChanged);
    room.checkInvariants();
  }

  static void chatBetweenPasses(Room& room) {
    // A join or a departure not yet told: the lines wait for the pass, which tells it first.
    if (room.pending_.membersJoined || room.pending_.membersDeparted) return;
    MessageBuilder frame;
    deliverChat(room, frame, nullptr);
    if (frame.hasMessage()) {
      frame.finish();
      for (User* member : room.members_) send(*member, frame);
    }
    deliverWhispers(room);
    room.checkInvariants();
  }
};

void relayUpdate(Room& room, std::uint64_t now) {
  RelayPass::run(room, now);
}

void deliverChatBetweenPasses(Room& room) {
  RelayPass::chatBetweenPasses(room);
}

}  // namespace velmor
