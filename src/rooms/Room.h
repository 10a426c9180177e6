#pragma once

#include <cstdint>
#include <map>
#include <string_view>
#include <vector>

#include "db/Queries.h"
#include "model/BanList.h"
#include "model/ChatLine.h"
#include "model/Motion.h"
#include "model/Ref.h"
#include "model/RoomRecord.h"
#include "rooms/RoomServices.h"
#include "users/User.h"

namespace velmor {

// Where a reported object or enemy is: the three values of its report, named for what the
// relay makes of them (x and y move in compact steps; a change of layer is a full position).
struct ObjectPlace {
  std::uint16_t x = 0;
  std::uint16_t y = 0;
  std::uint8_t layer = 0;
  bool operator==(const ObjectPlace&) const = default;
};

// A named object reported by the members of a navigation room.
struct ObjectEntry {
  char name[32] = {};
  std::uint32_t lastReport = 0;  // core clock
  ObjectPlace place;
  ObjectPlace previous;          // as the room last heard it
  std::uint8_t stillPasses = 0;  // passes without a change since it last moved
  std::uint8_t isNew = 1;        // the room has not heard of it yet
  std::uint8_t changed = 0;      // its place changed since the last pass
  std::uint8_t nameReplaced = 0;
  Motion motion;  // quiet: stale (not reported for a while)
};

struct EnemyReport {
  ObjectPlace place;
  std::uint16_t reporterSlot;
};

// What changed in a room since its last relay pass. Raised by the room's verbs (and the
// pass's own periodic checks); read and cleared by the RelayPass only.
struct PendingRelay {
  std::uint8_t membersJoined = 1;          // join (1 at creation): joiners get the room's state
  std::uint8_t membersDeparted = 0;        // leave: departures to tell (departedSlots), and an
                                           // emptied room's last pass
  std::uint8_t chatPending = 0;            // say, whisper: the chat queue holds lines
  std::uint8_t objectsChanged = 0;         // reportObject, the pass's own periodic check
  std::uint8_t memberStateChanged = 0;     // moved, appearance, leadership, idleness
  std::uint8_t channelMembersChanged = 0;  // follow, a leaving current follower
  std::uint8_t enemiesPending = 0;         // reportEnemy: the report list is not empty
  std::uint8_t activityNoted = 0;          // an idle member reported again
  std::uint8_t objectsReported = 0;        // reportObject
  std::uint8_t refreshRequested = 0;       // refresh: the objects are reset

  // Whether a pass has anything to tell (the notes that only feed the periodic checks
  // aside).
  bool hasWork() const {
    return membersJoined || memberStateChanged || membersDeparted || chatPending ||
           objectsChanged || channelMembersChanged || enemiesPending;
  }
};

// Why a member leaves his room.
enum class LeaveReason : std::uint8_t {
  Request,  // he asked (RoomLeft is his answer)
  MovedOn,  // he joined another room
  Kicked,
  Banned,
  Offline,  // his connection ends
};

// A live room: the stored record and what exists only while the room is awake: members,
// channel followers, chat queue, objects, enemy reports, files, bans and the relay's
// pending work. Owned by the room registry's live-room list, or, once it went to sleep and
// until its save completes, by its SaveRoom query. Main loop only.
// Its state is private; what can happen to a room is its public verbs, each of which keeps
// the room's lists and raises the pending work it makes. The RelayPass alone reads and
// clears that work; the RoomRegistry and its RelaySchedule keep their own bookkeeping here.
// Members are kept in joining order: a member's index is his roomSlot.
class Room {
 public:
  static constexpr std::size_t kMaxMembers = 255;
  static constexpr std::size_t kMaxObjects = 255;
  static constexpr std::size_t kMaxEnemyReports = 255;  // per relay pass; more are dropped
  static constexpr std::size_t kRecentLines = 16;
  static constexpr std::uint32_t kChatAllowance = 10;  // lines per member per 1000 ms

  // `serial` tells this room from every other that was live since start-up (never 0).
  Room(const RoomRecord& roomRecord, RoomServices& roomServices, std::uint64_t serial);
  ~Room();
  Room(const Room&) = delete;
  Room& operator=(const Room&) = delete;

  // --- what the room is -------------------------------------------------------------------
  const RoomRecord& record() const { return record_; }
  std::uint64_t serial() const { return serial_; }
  std::uint32_t number() const { return roomNumber_; }  // position in the live-room list
  bool hasPassword() const { return hasPassword_ != 0; }
  bool isNavigation() const { return record_.navigation != 0; }
  const std::vector<User*>& members() const { return members_; }
  const std::vector<User*>& channelMembers() const { return channelMembers_; }
  const FileList& files() const { return files_; }
  const BanList& banList() const { return banList_; }
  std::uint32_t chatAllowance() const { return chatAllowance_; }
  RoomServices& services() const { return services_; }
  // Made live and not yet announced (RoomOpened): the online users know no number for it.
  bool awaitsAnnouncement() const { return awaitingAnnouncement_ != 0; }
  // A relay pass has something to tell.
  bool hasWork() const { return pending_.hasWork(); }
  // Queued lines wait for delivery; departures (or an emptied room's last pass) wait for
  // the next pass.
  bool chatWaits() const { return pending_.chatPending != 0; }
  bool departuresWait() const { return pending_.membersDeparted != 0; }
  // The first ban of the room that matches the user's address or, exactly, his name.
  const BanEntry* findBan(const User& user) const;
  // The configured user limit of rooms of this one's type.
  std::uint32_t typeLimit() const;
  // The password admits a follower: the room has none, or it is the password or the
  // leader password.
  bool admitsFollower(const char* password) const;
  bool follows(const User& user) const;

  // --- membership (RoomMembership.cpp) ----------------------------------------------------
  // Admits the user with the password (the room's leader password makes him leader). False
  // when the room holds 255 members or the password is wrong. Joining the room the user is
  // already in changes nothing (true). Leaves his previous room first.
  bool join(User& user, const char* password);
  // The checks of entering, in order: full, banned (skipped for administrators unless
  // `banCheckForAll`), then join; each refusal answered with its code.
  void enter(User& user, const char* password, bool banCheckForAll);
  // Takes the user out of the room: later members move down a seat, his queued lines and
  // reports leave the queues, his transfer and his leadership end, the members hear of his
  // seat at the next pass. REQUIRES: user.room() == this.
  void leave(User& user, LeaveReason reason);
  // Makes the user follow the room as a chat channel, as his current channel. REQUIRES: he
  // follows fewer than five rooms and not this one.
  void follow(User& user);
  // Ends the user's following; false when he did not follow the room.
  bool unfollow(User& user);
  // Ends the user's following, if he follows it, and tells him (ChannelLeft with "not a
  // member"): he was banned from it, or it goes to sleep.
  void stopFollowing(User& user);
  // Every follower stops following (the room goes to sleep).
  void dropFollowers();
  // A kick or a ban: the victim leaves; a ban also enters the room's list and ends his
  // following (a kick leaves that).
  void kick(User& victim);
  // A ban or an unban is stored with the room at once (RoomActivity::bansChanged).
  void ban(User& victim, const BanEntry& entry);
  void unban(std::string_view name);
  // The room's bans as stored (a room made live or woken).
  void setBans(BanList bans) { banList_ = std::move(bans); }
  BanList takeBans() { return std::move(banList_); }

  // --- what members do (Room.cpp) ---------------------------------------------------------
  // A chat line or a whisper, queued for the next pass (or the tick between passes).
  void say(const Ref<ChatLine>& line);
  void whisper(const Ref<ChatLine>& line);
  // A member's new position / appearance, told at the next pass in a navigation room.
  void moved(User& member, const User::Position& position, std::uint32_t now);
  void appearanceChanged(User& member, const User::Appearance& appearance);
  // A member who reported while idle: the pass tells he is back.
  void noteActivity(const User& member);
  // A member claims (or gives up) the leadership with the password; false when the password
  // is wrong.
  bool setLeader(User& member, const char* password);
  // A named object's report: updates its entry, or adds one (at most 255: then the entry
  // reported longest ago is taken over). Ignored in chat rooms and shortly after a reset.
  void reportObject(std::string_view name, const ObjectPlace& place);
  void reportEnemy(const User& reporter, const ObjectPlace& place);
  // The objects are reset at the next pass (not again shortly after a reset).
  void refresh();
  // New passwords by the user; false when they are refused (no right to set them, or the
  // leader password would equal the password). The online users hear of a lock change.
  bool setPasswords(const User& by, const char (&password)[32], const char (&leaderPassword)[32]);

  // --- files --------------------------------------------------------------------------
  // The file of the exact name, or null. Its record may change in place; the list only here.
  const Ref<FileRecord>* findFile(const char* name) const;
  void addFile(const Ref<FileRecord>& file);
  void replaceFile(const Ref<FileRecord>* listed, const Ref<FileRecord>& file);
  Ref<FileRecord> removeFile(const Ref<FileRecord>* listed);
  // The room's files as stored (a room made live or woken).
  void setFiles(FileList files);
  FileList takeFiles();

  // --- the room's life ----------------------------------------------------------------------
  // The room is used now (a join, a leave, a save while it has members, its sleep): its last
  // access moves to now, for the next touch or save to store. The expiry sweep goes by it.
  void noteUse();
  // Releases the chat queue, the recent lines and every named object.
  void releaseRelayState();
  // Tells every online user that the room's lock changed (RoomLockChanged), at once for the
  // first change of a tick; further changes in the same tick are told by the tick, the final
  // state only, so that a frame of toggles cannot make the server talk to everyone for each.
  // Nothing for a room not yet announced: its RoomOpened carries the lock as it stands.
  void announceLock();
  // RoomOpened told the room as it stands.
  void announced();

 private:
  friend class RelayPass;
  friend class RelaySchedule;
  friend class RoomRegistry;
  friend class RoomProbe;  // tests/support: reads and sets state in unit tests

  void noteDeparture(User& user, std::uint16_t slot);
  void renumberQueues(std::uint16_t slot);
  bool settledSinceReset() const;
  ObjectEntry* objectToReport(std::string_view name, std::uint32_t clock);
  // The room's invariants, checked at the end of each verb when VELMOR_CHECK_INVARIANTS is
  // on (debug and sanitizer builds).
  void checkInvariants() const;

  // Constant after construction.
  const std::uint64_t serial_;
  RoomServices& services_;

  // The record: its passwords written by setPasswords, its last access by noteUse; the rest
  // constant while live. lastAccessSaved_: the record's lastAccessed is already in the
  // database (the registry's hourly touch wrote it).
  RoomRecord record_;
  bool lastAccessSaved_ = true;
  std::uint8_t hasPassword_ = 0;

  // Membership: join and leave. idleMembers_ counts the members whose motion is quiet (the
  // relay pass makes them so); departedSlots_ the seats left since the last pass.
  std::vector<User*> members_;
  std::uint32_t idleMembers_ = 0;
  std::vector<std::uint32_t> departedSlots_;

  // Channel followers: follow, unfollow, stopFollowing.
  std::vector<User*> channelMembers_;

  // Chat: say and whisper queue; the relay pass delivers and files the recent lines.
  std::vector<Ref<ChatLine>> chatQueue_;
  Ref<ChatLine> recentLines_[kRecentLines];  // most recent distinct local lines, oldest first
  std::uint32_t chatAllowance_ = kChatAllowance;

  // Objects and enemies: reportObject, reportEnemy, refresh; the relay pass moves them.
  std::vector<ObjectEntry> objects_;
  std::uint32_t staleObjects_ = 0;
  std::vector<EnemyReport> enemyReports_;
  std::uint32_t resetTime_ = 0;            // core clock of the last full reset
  std::uint64_t lastObjectBroadcast_ = 0;  // loop ms
  std::uint32_t memberCheckTime_ = 0;      // core clock

  // Files: addFile, replaceFile, removeFile, setFiles.
  FileList files_;

  // Bans: ban, unban, setBans. Stored with the room: on each change, and when it is saved.
  BanList banList_;

  // Lock announcement: the lock as the online users last heard of it (the room's entry when
  // it opened, or RoomLockChanged); the tick that told them last; and whether a change is
  // left for the next tick to tell.
  std::uint8_t awaitingAnnouncement_ = 1;
  std::uint8_t announcedHasPassword_ = 0;
  std::uint64_t lockAnnouncedTick_ = ~std::uint64_t{0};
  std::uint8_t lockAnnouncementDue_ = 0;

  // Relay schedule and registry bookkeeping: written by the RoomRegistry and its
  // RelaySchedule only. The ticks the room is relayed in, held while it has members, and its
  // place among the rooms of that phase; its place in the registry's queue of empty rooms
  // waiting to sleep, when it is in it.
  std::uint32_t roomNumber_ = 0;      // position in the live-room list
  std::uint64_t lastUpdateTime_ = 0;  // loop ms of the last relay update
  std::uint64_t touchedAt_ = 0;       // loop ms of its last hourly save (or waking)
  std::uint32_t relayPhase_ = 0;
  std::uint32_t phaseSlot_ = 0;
  bool holdsRelayPhase_ = false;
  std::multimap<std::uint64_t, Room*>::iterator sleepEntry_;
  bool waitsToSleep_ = false;

  // Pending relay work: raised by the verbs, read and cleared by the RelayPass.
  PendingRelay pending_;
};

}  // namespace velmor
