#pragma once

#include <cstdint>
#include <vector>

#include "db/Queries.h"
#include "model/BanEntry.h"
#include "model/RoomRecord.h"

namespace velmor {

class ServerCore;
class User;
struct ChatLine;

// A named object reported by the members of a navigation room.
struct ObjectEntry {
  char name[32] = {};
  std::uint32_t lastReport = 0;  // core clock
  std::uint16_t value1 = 0;
  std::uint16_t value2 = 0;
  std::uint16_t previousValue1 = 0;
  std::uint16_t previousValue2 = 0;
  std::uint8_t value3 = 0;
  std::uint8_t previousValue3 = 0;
  std::uint8_t stillPasses = 0;
  std::uint8_t isNew = 1;
  std::uint8_t changed = 0;
  std::uint8_t nameReplaced = 0;
  std::uint8_t moving = 1;
  std::uint8_t stale = 0;
};

struct EnemyReport {
  std::uint16_t value1;
  std::uint16_t value2;
  std::uint8_t value3;
  std::uint16_t reporterSlot;
};

// A live room: the stored record and what exists only while the room is awake: members,
// chat queue, objects, enemy reports, files, bans and the relay's flags. Owned by the
// live-room list of the ServerCore, or, once it went to sleep and until its save
// completes, by its SaveRoom query. Main loop only.
class Room {
 public:
  static constexpr std::size_t kMaxMembers = 255;
  static constexpr std::size_t kMaxObjects = 255;
  static constexpr std::size_t kRecentLines = 16;
  static constexpr std::uint32_t kChatAllowance = 10;  // lines per member per 1000 ms

  Room(const RoomRecord& roomRecord, ServerCore& serverCore);
  ~Room();
  Room(const Room&) = delete;
  Room& operator=(const Room&) = delete;

  // Releases the chat queue, the recent lines and every named object.
  void releaseRelayState();

  RoomRecord record;  // lastAccessed: the latest join (or the stored time)
  // The record's lastAccessed is already in the database (the hourly touch wrote it).
  bool lastAccessSaved = true;

  // Relay flags.
  std::uint8_t membersJoined = 1;
  std::uint8_t chatPending = 0;
  std::uint8_t objectsChanged = 0;
  std::uint8_t memberStateChanged = 0;
  std::uint8_t membersDeparted = 0;
  std::uint8_t hasPassword = 0;
  std::uint8_t channelMembersChanged = 0;
  std::uint8_t enemiesPending = 0;
  std::uint8_t memberLeft = 0;
  std::uint8_t activityNoted = 0;
  std::uint8_t objectsReported = 0;
  std::uint8_t refreshRequested = 0;

  // The lock as the online users last heard of it (the room's entry when it opened, or
  // RoomLockChanged); whether this tick told them already; and whether a change is left
  // for the next tick to tell.
  std::uint8_t announcedHasPassword = 0;
  std::uint8_t lockAnnouncedThisTick = 0;
  std::uint8_t lockAnnouncementDue = 0;

  std::uint32_t resetTime = 0;            // core clock of the last full reset
  std::uint64_t lastUpdateTime = 0;       // loop ms of the last relay update
  std::uint64_t lastObjectBroadcast = 0;  // loop ms
  std::uint32_t memberCheckTime = 0;      // core clock
  std::uint32_t chatAllowance = kChatAllowance;
  std::uint32_t roomNumber = 0;  // position in the live-room list
  std::uint32_t idleMembers = 0;
  std::uint32_t staleObjects = 0;

  ChatLine* recentLines[kRecentLines] = {};  // oldest first
  std::vector<User*> members;                // in joining order: a member's index is its roomSlot
  std::vector<User*> channelMembers;         // users who follow the room as a chat channel
  std::vector<ObjectEntry> objects;
  std::vector<ChatLine*> chatQueue;  // each holds the queue's reference
  std::vector<std::uint32_t> departedSlots;
  std::vector<BanEntry> banList;  // in memory only
  FileList files;                 // each record holds the list's reference
  std::vector<EnemyReport> enemyReports;
  ServerCore& core;
};

}  // namespace velmor
