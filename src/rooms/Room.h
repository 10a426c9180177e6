#pragma once

#include <cstdint>
#include <map>
#include <vector>

#include "db/Queries.h"
#include "model/BanList.h"
#include "model/ChatLine.h"
#include "model/Motion.h"
#include "model/Ref.h"
#include "model/RoomRecord.h"
#include "rooms/RoomServices.h"

namespace velmor {

class User;

// A named object reported by the members of a navigation room.
struct ObjectEntry {
  char name[32] = {};
  std::uint32_t lastReport = 0;  // core clock
  std::uint16_t value1 = 0;
  std::uint16_t value2 = 0;
  std::uint16_t previousValue1 = 0;  // as the room last heard them
  std::uint16_t previousValue2 = 0;
  std::uint8_t value3 = 0;
  std::uint8_t previousValue3 = 0;
  std::uint8_t stillPasses = 0;  // passes without a change since it last moved
  std::uint8_t isNew = 1;        // the room has not heard of it yet
  std::uint8_t changed = 0;      // its values changed since the last pass
  std::uint8_t nameReplaced = 0;
  Motion motion;  // quiet: stale (not reported for a while)
};

struct EnemyReport {
  std::uint16_t value1;
  std::uint16_t value2;
  std::uint8_t value3;
  std::uint16_t reporterSlot;
};

// What changed in a room since its last relay pass. Each flag is raised by the requests
// and room operations named beside it and cleared by the pass that tells the change
// (Relay.cpp); the tick reads them to decide whether a pass has work.
struct RelayFlags {
  std::uint8_t membersJoined = 1;          // join (1 at creation): joiners get the room's state
  std::uint8_t chatPending = 0;            // chat requests: the chat queue holds lines
  std::uint8_t objectsChanged = 0;         // object reports, the pass's own periodic check
  std::uint8_t memberStateChanged = 0;     // positions, appearance, leadership, idleness
  std::uint8_t membersDeparted = 0;        // leave: departedSlots is not empty
  std::uint8_t channelMembersChanged = 0;  // channel requests, a leaving current follower
  std::uint8_t enemiesPending = 0;         // enemy reports: the report list is not empty
  std::uint8_t memberLeft = 0;             // leave: an emptied room gets one last pass
  std::uint8_t activityNoted = 0;          // an idle member reported again
  std::uint8_t objectsReported = 0;        // an object report arrived
  std::uint8_t refreshRequested = 0;       // RoomRefresh: the objects are reset
};

// A live room: the stored record and what exists only while the room is awake: members,
// chat queue, objects, enemy reports, files, bans and the relay's flags. Owned by the
// room registry's live-room list, or, once it went to sleep and until its save completes,
// by its SaveRoom query. Main loop only.
// Members are kept in joining order: a member's index is his roomSlot.
class Room {
 public:
  static constexpr std::size_t kMaxMembers = 255;
  static constexpr std::size_t kMaxObjects = 255;
  static constexpr std::size_t kRecentLines = 16;
  static constexpr std::uint32_t kChatAllowance = 10;  // lines per member per 1000 ms

  // `serial` tells this room from every other that was live since start-up (never 0).
  Room(const RoomRecord& roomRecord, RoomServices& roomServices, std::uint64_t serial);
  ~Room();
  Room(const Room&) = delete;
  Room& operator=(const Room&) = delete;

  // Releases the chat queue, the recent lines and every named object.
  void releaseRelayState();
  // The first ban of the room that matches the user's address or, exactly, his name.
  const BanEntry* findBan(const User& user) const;
  // The configured user limit of rooms of this one's type.
  std::uint32_t typeLimit() const;
  // The room is used now (a join, a leave, a save while it has members, its sleep): its last
  // access moves to now, for the next touch or save to store. The expiry sweep goes by it.
  void noteUse();
  // Queues a chat line for delivery (the next pass, or the tick between passes).
  void queueChat(const Ref<ChatLine>& line);

  RoomRecord record;  // lastAccessed: the last time the room was used (or the stored time)
  // The record's lastAccessed is already in the database (the hourly touch wrote it).
  bool lastAccessSaved = true;
  const std::uint64_t serial;

  RelayFlags relay;
  std::uint8_t hasPassword = 0;

  // Made live and not yet announced (RoomOpened): the online users know no number for it.
  std::uint8_t awaitingAnnouncement = 1;
  // The lock as the online users last heard of it (the room's entry when it opened, or
  // RoomLockChanged); the tick that told them last; and whether a change is left for the
  // next tick to tell.
  std::uint8_t announcedHasPassword = 0;
  std::uint64_t lockAnnouncedTick = ~std::uint64_t{0};
  std::uint8_t lockAnnouncementDue = 0;

  std::uint32_t resetTime = 0;       // core clock of the last full reset
  std::uint64_t lastUpdateTime = 0;  // loop ms of the last relay update
  std::uint64_t touchedAt = 0;       // loop ms of its last hourly save (or waking)
  // The ticks the room is relayed in, held while it has members (RelaySchedule), and its
  // place among the rooms of that phase.
  std::uint32_t relayPhase = 0;
  std::uint32_t phaseSlot = 0;
  bool holdsRelayPhase = false;
  // Its place in the registry's queue of empty rooms waiting to sleep, when it is in it.
  std::multimap<std::uint64_t, Room*>::iterator sleepEntry;
  bool waitsToSleep = false;
  std::uint64_t lastObjectBroadcast = 0;  // loop ms
  std::uint32_t memberCheckTime = 0;      // core clock
  std::uint32_t chatAllowance = kChatAllowance;
  std::uint32_t roomNumber = 0;  // position in the live-room list
  std::uint32_t idleMembers = 0;
  std::uint32_t staleObjects = 0;

  Ref<ChatLine> recentLines[kRecentLines];  // most recent distinct local lines, oldest first
  std::vector<User*> members;               // in joining order: a member's index is his roomSlot
  std::vector<User*> channelMembers;        // users who follow the room as a chat channel
  std::vector<ObjectEntry> objects;
  std::vector<Ref<ChatLine>> chatQueue;  // lines waiting for delivery
  std::vector<std::uint32_t> departedSlots;
  BanList banList;  // in memory only
  FileList files;
  std::vector<EnemyReport> enemyReports;
  RoomServices& services;
};

}  // namespace velmor
