#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string_view>
#include <vector>

#include "model/Names.h"
#include "model/RoomRecord.h"
#include "rooms/RelaySchedule.h"
#include "rooms/Room.h"
#include "rooms/RoomDirectory.h"
#include "rooms/RoomServices.h"

namespace velmor {

class SaveRoomQuery;

// The rooms of the server: every stored room is either asleep (in the room directory and
// the stored-room map) or live (in the live-room list, whose position is the room number,
// and the live-room map), never both; a room just made live also waits in the new-room list
// until the tick announces it. Between the two, a room that went to sleep is *falling
// asleep* until its save is stored: its SaveRoom query holds it, and the registry knows it
// by name (a user who enters wakes it from there). Only this class changes those
// containers. It also runs the rooms' periodic processing (tick: announcements, relay
// passes, sleep, expiry, hourly touch). Keys are lower-case names. Owned by the ServerCore;
// main loop only.
class RoomRegistry final : public RoomActivity {
 public:
  // `sweepRequest` is raised by the worker when a room load finds the room expired.
  RoomRegistry(RoomServices& services, std::atomic<bool>& sweepRequest);
  ~RoomRegistry();
  RoomRegistry(const RoomRegistry&) = delete;
  RoomRegistry& operator=(const RoomRegistry&) = delete;

  RoomServices& services() { return services_; }
  const RelaySchedule& schedule() const { return schedule_; }

  // The live rooms are as many as one RoomList can name (a frame of 65535 bytes, each entry
  // counted at its largest: name, flags, count and limit), so that no client is ever told a
  // room number it was not given. Whether the room of this record can be made live.
  bool canMakeLive(const RoomRecord& record) const;
  // Whether the room of this record can be made live, once empty rooms that wait to sleep
  // went to sleep at once to make way (the earliest due first, told as the tick's sleep
  // tells it): one user entering rooms in turn cannot keep the others out for the idle time.
  // False only when every live room has members or never sleeps.
  bool makeWayFor(const RoomRecord& record);
  // Builds a live room from a record and adds it to the live-room list, the new-room list
  // and the live-room map. Its idle time counts from now. REQUIRES: canMakeLive(record).
  Room& makeLive(const RoomRecord& record);
  // A stored room found at start-up: live when asked and there is room for it (null
  // otherwise), asleep in the directory otherwise.
  Room* addAtStart(const RoomRecord& record, bool live);
  // A stored room (found at start-up, or just created) joins the directory, asleep; it
  // counts against its creator's share.
  void addStored(const RoomRecord& record);
  // Takes a stored room out of the directory; false when it is not there.
  bool removeStored(const char* lowerName);

  Room* findLive(const char* lowerName) const;
  bool isStored(const char* lowerName) const { return findStored(lowerName) != nullptr; }
  // A room falling asleep: its save is not stored yet.
  bool isFallingAsleep(const char* lowerName) const;
  // Makes a room that is falling asleep live again, from its own record and files (they are
  // newer than its row); null when no room of the name is falling asleep, or when no more
  // rooms can be live.
  Room* wake(const char* lowerName);
  const RoomRecord* findStored(const char* lowerName) const;
  std::size_t storedCount() const { return directory_.size(); }
  // Stored rooms of every state: asleep, live, falling asleep, and expired ones whose
  // deletion is not done.
  std::size_t roomCount() const;
  // ListRooms pages reach positions up to 65535 (+ a page): a room is not created when
  // that many are stored, so that every sleeping room can be listed.
  static constexpr std::size_t kMaxStoredRooms = 65535 + 20;
  // What one creator may hold of them (his stored rooms and creations in flight), so that
  // one member cannot use up room creation for everyone; administrators are not bound.
  static constexpr std::size_t kMaxRoomsPerCreator = 100;
  // Stored rooms (and creations in flight) whose creator has this name key.
  std::size_t roomsCreatedBy(std::string_view creatorKey) const;
  // A creation was posted: it counts against both bounds until it completes.
  void creationPosted(std::string_view creatorKey);
  // A creation completed (or was given up): it no longer counts; the room it stored, if any,
  // counts since addStored.
  void creationEnded(std::string_view creatorKey);
  const std::vector<std::unique_ptr<Room>>& liveRooms() const { return live_; }
  const RoomDirectory& directory() const { return directory_; }
  // Expired rooms taken out of the directory whose deletion is not done yet.
  std::size_t expiryBacklog() const { return expired_.size() + deletesInFlight_; }

  // A sleeping room's save is stored: its record returns to the directory and the room is
  // destroyed.
  void returnToDirectory(const SaveRoomQuery& save, std::unique_ptr<Room> slept);
  // A save given up unstored (at the stop): the room it holds is forgotten.
  void forgetSleeping(const SaveRoomQuery& save);
  // An expired room's deletion is done (or given up): the next one may go to the worker,
  // and its creator's place is free.
  void deletionDone(const RoomRecord& deleted);
  // Saves every live room's passwords, last access and bans (the shutdown); they stay live.
  void saveAll();

  // The periodic processing, every 20 ms: announces new rooms, tells lock changes left
  // over, runs the relay passes due in this tick (RelaySchedule) and delivers chat in the
  // other rooms, puts idle rooms to sleep, sweeps expired stored rooms and saves access
  // times once an hour. `now`: loop ms; `wallNow`: seconds.
  void tick(std::uint64_t now, std::uint32_t wallNow);
  // Tells every online user of the rooms made live since the last tick (RoomOpened, in one
  // frame). The tick does; a request that is about to name such a room's number to a user
  // does it first, so that the number is one he knows.
  void announceNewRooms();

  // What the rooms tell between ticks (RoomActivity).
  void roomOccupied(Room& room) override;
  void roomEmptied(Room& room) override;
  void chatQueued(Room& room) override;
  void lockChangeLeft(Room& room) override;
  void bansChanged(Room& room) override;

 private:
  // The expiry sweep takes at most this many rooms out of the directory per tick, and at
  // most this many deletions are with the worker at a time: a mass expiry is spread over
  // ticks and batches instead of freezing the loop or holding everyone's queries.
  static constexpr std::size_t kSweepSlice = 512;
  static constexpr std::size_t kDeletesInFlight = 8;
  // The hourly save looks at this many live rooms per tick, in turn.
  static constexpr std::size_t kTouchSlice = 8;
  // At most this many idle rooms go to sleep per tick.
  static constexpr std::size_t kSleepSlice = 64;

  // The tick's work on live rooms, each part on the rooms that need it: the relay passes of
  // this tick's phase, chat between passes, lock changes left over, the last pass of the
  // rooms that emptied, and sleep for those idle long enough.
  void processLiveRooms(std::uint64_t now);
  // An empty room waits to sleep from its last pass on (unless it never sleeps).
  void queueSleep(Room& room);
  void cancelSleep(Room& room);
  void sleepIdleRooms(std::uint64_t now);
  // Takes expired rooms out of the directory, oldest first, up to a slice; true when the
  // sweep is done.
  bool sweepExpired(std::uint32_t wallNow);
  void postDeletions();
  void touchInTurn(std::uint64_t now);
  // Takes a live room out of the registries and tells every online user (RoomClosed with
  // its position). The caller takes the room over.
  std::unique_ptr<Room> removeLive(Room& room);
  // Puts an idle room to sleep: tells its channel members, removes it, and hands it to a
  // SaveRoom query, whose completion returns its record to the directory.
  void unload(Room& room);
  // Puts these idle rooms to sleep, in the order of their numbers, each RoomClosed naming the
  // place the room has when it is sent; the rooms behind are renumbered.
  void sleepAll(std::vector<Room*>& sleepers);
  // A stored room or a creation of this creator comes (+1) or goes (-1).
  void countCreator(const RoomRecord& record, int change);
  void countCreator(std::string_view creatorKey, int change);
  // Writes the time the room was last used to the database unless it is there already; a
  // room with members is in use now.
  void touch(Room& room);

  RoomServices& services_;
  std::vector<std::unique_ptr<Room>> live_;  // position = room number
  std::vector<Room*> new_;                   // made live since the last tick
  // Heard of between ticks (RoomActivity), each taken up and emptied by the next tick.
  std::vector<Room*> chatDue_;
  std::vector<Room*> lockDue_;
  std::vector<Room*> emptied_;
  std::multimap<std::uint64_t, Room*> sleepQueue_;  // empty rooms by the time they may sleep
  NameKeyMap<Room*> liveMap_;
  std::size_t roomListBytes_;                 // RoomList's largest size for the live rooms
  RoomDirectory directory_;                   // stored rooms not live
  NameKeyMap<SaveRoomQuery*> fallingAsleep_;  // the saves that hold them
  std::deque<RoomRecord> expired_;            // taken out of the directory, to be deleted
  std::size_t deletesInFlight_ = 0;
  std::size_t creationsInFlight_ = 0;
  NameKeyMap<std::size_t> roomsByCreator_;  // creator's name key -> stored rooms and creations
  bool sweeping_ = false;                   // a sweep is under way, one slice per tick
  std::uint64_t sweepTime_ = 0;             // loop ms of the end of the last expiry sweep
  std::size_t touchCursor_ = 0;             // the next live room the hourly save looks at
  std::atomic<bool>& sweepRequested_;       // raised by the worker: the next tick sweeps
  std::uint64_t lastSerial_ = 0;
  RelaySchedule schedule_;
};

}  // namespace velmor
