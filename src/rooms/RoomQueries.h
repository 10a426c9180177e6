#pragma once

#include <memory>

#include "db/Queries.h"

namespace velmor {

class Room;
class RoomRegistry;

// The room queries: their database work and what their completion does to the rooms.
// Created on the main loop by the room requests and the room processing.

// A stored room that is not live, loaded for the user who asked to enter it (LoadRoom).
// Only serves him: cancelled when he goes.
class LoadRoomQuery final : public RoomLoad {
 public:
  explicit LoadRoomQuery(RoomRegistry& rooms) : rooms_(rooms) {}
  LoadOutcome execute(Storage& storage) override;
  // The room becomes live (unless it is already). If the user's latest room request is
  // still the one this load serves, he enters it, with the checks of a live room and the
  // ban search made for everyone, and a refusal is sent as its code; otherwise nothing is
  // sent. Then his request that waited for this load, if any, is made (RoomRequests).
  bool complete(LoadOutcome outcome) override;
  bool servesOwnerOnly() const override { return true; }
  std::string_view roomWorkedOn() const override { return recordName(); }

  // Main loop only (the worker rewrites `record`): the name asked for, lowered, and the
  // number of the user's room request that the load serves.
  char requestedKey[32] = {};
  std::uint64_t request = 0;

 private:
  // Makes the loaded room live, or finds it live already; null when it was deleted
  // meanwhile, or (`full`) when no more rooms can be live.
  Room* liveRoom(bool& full);

  RoomRegistry& rooms_;
};

// A room created by a member (CreateRoom). The stored room joins the registries even when
// its creator went away meanwhile: the row exists, and the next who looks must find it.
// From its post to its end it counts against the stored-room bound and its creator's share
// (RoomRegistry::creationPosted); the room it stores takes that place over.
class CreateRoomQuery final : public RoomCreation {
 public:
  CreateRoomQuery(RoomRegistry& rooms, const RoomRecord& created);
  ~CreateRoomQuery() override;
  CreateOutcome execute(Storage& storage) override;
  bool complete(CreateOutcome outcome) override;
  std::string_view roomWorkedOn() const override { return recordName(); }
  // The row, and the removal of files a room deleted before them left under the name.
  std::uint8_t writes() const override { return kMainDatabase | kFileDatabase; }
  // The room exists once its row is stored, whatever became of the removal of the files:
  // those the removal could not take go by a change of their own (ClearRoomFilesQuery).
  void rolledBack(std::uint8_t databases) override;
  VelmorBaseQuery* takeFollowUp() override;

 private:
  RoomRegistry& rooms_;
  char creatorKey_[32] = {};   // main loop only
  bool created_ = false;       // worker: the row is stored
  bool filesCleared_ = false;  // worker: the removal of old files under its name too
};

// The removal of files left under the name of a room created while the file database failed
// it: the creation's follow-up, kept and tried again until stored, and done before any later
// work on the room (a load waits for it, so the new room never lists the old files).
class ClearRoomFilesQuery final : public FileChange {
 public:
  explicit ClearRoomFilesQuery(std::string_view roomName);
  StoreOutcome execute(Storage& storage) override;
  std::string unstoredText() const override;
};

// The save of a room's passwords, last access and bans (SaveRoom): of a room gone to sleep, which
// the query holds until its completion returns the record to the directory (until then
// the room is asleep in the registry, and a user who enters wakes it from it: its record
// and files are the truth, not the row); or, with no room, of a live room at shutdown.
// Stored at any cost: it stays in flight until the storage takes it.
class SaveRoomQuery final : public RoomChange {
 public:
  SaveRoomQuery(RoomRegistry& rooms, const RoomRecord& saved, std::string savedBans,
                std::unique_ptr<Room> slept);
  ~SaveRoomQuery() override;
  StoreOutcome execute(Storage& storage) override;
  bool complete() override;
  std::uint8_t databases() const override { return kMainDatabase; }
  std::string_view roomWorkedOn() const override { return recordName(); }
  std::string unstoredText() const override;

  // The slept room, taken back by a user who wakes it before the save completed. Main loop.
  std::unique_ptr<Room> takeRoom() { return std::move(slept_); }

 private:
  RoomRegistry& rooms_;
  std::unique_ptr<Room> slept_;  // main loop only
};

// The write of a live room's bans (BanCoding) after a ban or an unban, whole: the last one
// stored holds them all. Stored at any cost, in order with the room's other work.
class SaveRoomBansQuery final : public RoomChange {
 public:
  SaveRoomBansQuery(const RoomRecord& room, std::string savedBans) {
    record = room;
    bans = std::move(savedBans);
  }
  StoreOutcome execute(Storage& storage) override;
  std::uint8_t databases() const override { return kMainDatabase; }
  std::string_view roomWorkedOn() const override { return recordName(); }
  std::string unstoredText() const override;
};

// The hourly write of a live room's last access (TouchRoom). Nothing to complete.
class TouchRoomQuery final : public RoomChange {
 public:
  explicit TouchRoomQuery(const RoomRecord& touched) { record = touched; }
  StoreOutcome execute(Storage& storage) override;
  std::uint8_t databases() const override { return kMainDatabase; }
  std::string_view roomWorkedOn() const override { return recordName(); }
  std::string unstoredText() const override;
};

// The deletion of an expired stored room and of its files, in one batch (DeleteRoom). Its
// completion lets the registry hand the worker the next one.
class DeleteRoomQuery final : public RoomChange {
 public:
  DeleteRoomQuery(RoomRegistry& rooms, const RoomRecord& expired) : rooms_(rooms) {
    record = expired;
  }
  StoreOutcome execute(Storage& storage) override;
  bool complete() override;
  std::string_view roomWorkedOn() const override { return recordName(); }
  std::string unstoredText() const override;

 private:
  RoomRegistry& rooms_;
};

}  // namespace velmor
