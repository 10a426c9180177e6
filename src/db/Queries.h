#pragma once

// The query objects: each describes one piece of database work that the main loop hands
// to the query worker (QueryPoster::post) and gets back. A query class does its own work
// (execute, on the worker: a call of one operation of the databases) and its own
// completion (complete, on the main loop). The classes here hold the fields of each kind
// of work; the concrete queries live beside the logic of their completion (login, rooms,
// files) and override the operations.
//
// Ownership: the poster creates a query with new and gives it up at post; from then on
// exactly one party destroys it: the worker when it finds it cancelled, the completion
// dispatch otherwise (unless complete() keeps it: only the login lookup, as the user's
// account record). What a query carries (a file list, file references) is released by its
// destructor unless its completion took it first, so a cancelled query leaks nothing.
//
// Threads: fields are written by the poster before post, by the worker in execute()
// (the outcome and output fields), and read on the main loop after the completion queue
// handed the query back; the queues' release/acquire ordering publishes them. The base's own
// state is private and grouped by its thread: the owner and the charge (main loop), the
// cancelled flag (the one field that crosses threads while the query is in flight, so it is
// atomic), and the worker's verdicts (answered, unavailable, refused, waiting since).
// execute() may touch nothing but the query's own fields and the storage it is given.

#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "db/ChangeShares.h"
#include "model/BanEntry.h"
#include "model/FileRecord.h"
#include "model/Ref.h"
#include "model/RoomRecord.h"

namespace velmor {

class Room;
class MainDatabase;
class FileDatabase;
class QueryOwner;

// The databases as the worker's queries see them.
struct Storage {
  MainDatabase& main;
  FileDatabase& files;
};

// The databases a query works on, as a mask.
inline constexpr std::uint8_t kMainDatabase = 1;
inline constexpr std::uint8_t kFileDatabase = 2;

// What a query's work came to, one set per family of queries. A query's execute (worker)
// returns one, and its complete (main loop) receives it; where a completion replies with a
// code, it maps the outcome to it beside the send. The first enumerator of each is the
// work done as asked.

// A read of one thing: an account (a login's lookup), a file's content.
enum class LookupOutcome : std::uint8_t { Found, NotFound };
// A write that may be refused: a registration (the name is taken, or the storage failed).
enum class StoreOutcome : std::uint8_t { Stored, Refused };
// A room creation: the name may be stored already, with a password or without.
enum class CreateOutcome : std::uint8_t { Created, Exists, ExistsLocked, Failed };
// The load of a stored room for a user who asked to enter it. A room that expired counts
// as no such room.
enum class LoadOutcome : std::uint8_t { Loaded, NoSuchRoom, WrongPassword };

// What a batch whose COMMIT failed makes of an outcome: a change it reported stored was
// not. Reads keep theirs.
constexpr LookupOutcome afterRollback(LookupOutcome outcome) {
  return outcome;
}
constexpr LoadOutcome afterRollback(LoadOutcome outcome) {
  return outcome;
}
constexpr StoreOutcome afterRollback(StoreOutcome) {
  return StoreOutcome::Refused;
}
constexpr CreateOutcome afterRollback(CreateOutcome outcome) {
  return outcome == CreateOutcome::Created ? CreateOutcome::Failed : outcome;
}

constexpr StoreOutcome storeOutcome(bool stored) {
  return stored ? StoreOutcome::Stored : StoreOutcome::Refused;
}

// What a query's work is, as the metrics endpoint counts the queries posted and completed:
// the family its class derives from (the aliases at the end of this file). A label only;
// nothing decides by it.
enum class QueryKind : std::uint8_t {
  RoomLoad,
  RoomCreation,
  RoomChange,  // a save, a touch or a deletion of a stored room
  AccountLookup,
  AccountRegistration,
  FileContentLoad,
  FileChange,  // a save, a permission change or a deletion of a stored file
  BanChange,   // a server ban or unban
  Other,
};
inline constexpr std::size_t kQueryKinds = 9;

// What a file change writes: the whole row (its content and permissions), the two
// permission flags, or its deletion.
enum class FileChangeKind : std::uint8_t { None, Content, Access, Deletion };

// Whether a newer kept change of a file makes an older kept one of the same file needless:
// a whole row or a deletion replaces whatever came before; a permission change replaces an
// older permission change.
constexpr bool supersedes(FileChangeKind newer, FileChangeKind older) {
  if (newer == FileChangeKind::None || older == FileChangeKind::None) return false;
  return newer != FileChangeKind::Access || older == FileChangeKind::Access;
}

class VelmorBaseQuery {
 public:
  VelmorBaseQuery() = default;
  virtual ~VelmorBaseQuery() = default;
  VelmorBaseQuery(const VelmorBaseQuery&) = delete;
  VelmorBaseQuery& operator=(const VelmorBaseQuery&) = delete;

  // Worker: does the database work and keeps its outcome for the completion (through the
  // query's execute: OutcomeQuery, AcknowledgedChange). True when the outcome is to be
  // delivered; a query that does no work has none.
  virtual bool run(Storage&) { return false; }
  // Main loop, for a query that was answered and not cancelled: hands the outcome its work
  // kept to its completion. True when the completion kept the query (it is then not
  // destroyed).
  virtual bool deliver() { return false; }
  // Worker: the part of the batch that ran this query on `databases` (some of those it works
  // on) was rolled back; an outcome that reported a change stored there reports the failure
  // instead (afterRollback).
  virtual void rolledBack(std::uint8_t databases) { (void)databases; }
  // Worker, once its batch committed and it is handed back: a change its work leaves to do
  // (new, the pipeline's from then on), kept and stored at any cost before any later work on
  // its room, at the stop too. Null for none, and once taken.
  virtual VelmorBaseQuery* takeFollowUp() { return nullptr; }
  // Whether the query only serves its poster (a lookup, a registration, a room load): it
  // is cancelled when he goes offline or away. Every other query carries a change already
  // acknowledged, or one that others depend on, and runs to completion without him.
  virtual bool servesOwnerOnly() const { return false; }

  // Worker: the databases it reads or writes (kMainDatabase, kFileDatabase), and those it
  // may write (its batch then takes their write lock when it begins).
  virtual std::uint8_t databases() const { return 0; }
  virtual std::uint8_t writes() const { return 0; }
  // Worker: the room whose rows (its own and its files') it works on, in any letter case;
  // empty for none. The work on one room is done in the order it was posted, also when
  // some of it has to wait for the storage. Only fields the worker does not write.
  virtual std::string_view roomWorkedOn() const { return {}; }
  // Worker: its change was acknowledged before it ran (or is the server's own): when it
  // cannot be stored now, or its batch is rolled back, it is kept and tried again until it
  // is stored, instead of coming back as failed.
  virtual bool storedAtAnyCost() const { return false; }
  // Worker: the change, as the console names it when the shutdown gives it up unstored.
  virtual std::string unstoredText() const { return {}; }
  // Worker: what a change kept for the storage does to one stored file (named by
  // fileWorkedOn, in the room of roomWorkedOn): a newer change of the same file may make an
  // older kept one needless (VelmorFileQuery::supersedes).
  virtual FileChangeKind fileChange() const { return FileChangeKind::None; }
  virtual std::string_view fileWorkedOn() const { return {}; }
  // Worker: it only reads accounts (a login's lookup): its answer does not wait for the
  // COMMIT of the batch's writes, unless an account was written before it in the batch.
  virtual bool readsAccountsOnly() const { return false; }
  // Worker: it writes accounts (a registration): a login's lookup later in the batch waits
  // for the batch's COMMIT.
  virtual bool writesAccounts() const { return false; }
  // Any thread: its kind, as the figures count it.
  virtual QueryKind kind() const { return QueryKind::Other; }

  // --- main loop -----------------------------------------------------------------------
  // The poster; null for the server's own queries, and once the poster went away from a
  // query that outlives him. The worker never reads it.
  QueryOwner* owner() const { return owner_; }
  // What an acknowledged change counts against its poster's address while in flight
  // (ChangeShares); set by the poster before post.
  void chargeTo(const ChangeShares::Charge& charge) { charge_ = charge; }
  const ChangeShares::Charge& charge() const { return charge_; }

  // --- any thread --------------------------------------------------------------------------
  // Its poster went away, and it only served him: nothing more is done for it.
  bool cancelled() const { return cancelled_.load(std::memory_order_acquire); }

  // --- worker, in execute ------------------------------------------------------------------
  // The storage could not do the work now (a lock held past the busy timeout, a full disk,
  // an I/O error): the worker keeps the query and runs it again later.
  void markUnavailable(bool unavailable = true) { workerState_.unavailable = unavailable; }
  // The storage failed work that is answered as failed rather than kept (a registration, a
  // room creation): the database counts as failing all the same.
  void markStorageRefused(bool refused = true) { workerState_.storageRefused = refused; }

 private:
  friend class QueryOwner;     // tracks it, and cancels it when he goes
  friend class QueryPipeline;  // posts it, runs it on the worker, hands it back
  friend class QueryProbe;     // tests/support

  // Main loop only.
  QueryOwner* owner_ = nullptr;
  std::uint32_t ownerSlot_ = 0;  // its place in the owner's list of queries in flight
  ChangeShares::Charge charge_;
  // Written on the main loop, read by the worker while it is in flight.
  std::atomic<bool> cancelled_{false};
  // The worker's, from the moment it takes the query until it hands it back (the
  // completion queue publishes them to the dispatch).
  struct WorkerState {
    // run() came back with an outcome to deliver; cleared for a query given up unstored at
    // the stop, or made needless by a newer change, which then goes without its completion.
    bool answered = false;
    bool unavailable = false;
    bool storageRefused = false;
    // When the worker first kept it to try again (steady clock, ns; 0: it never waited), for
    // the figure of the oldest work waiting.
    std::uint64_t waitingSinceNs = 0;
  };
  WorkerState workerState_;
};

// A poster that may go away before its queries complete (a User): it keeps the queries
// it posted that are still in flight, in no particular order (a completed one leaves its
// place to the last, so that taking it out costs the same however many wait). Main loop
// only.
class QueryOwner {
 public:
  QueryOwner() = default;
  QueryOwner(const QueryOwner&) = delete;
  QueryOwner& operator=(const QueryOwner&) = delete;

  // Lets go of every pending query: those that only serve the owner are cancelled, the
  // others run on without one (VelmorBaseQuery::servesOwnerOnly).
  void releasePendingQueries();
  bool hasPendingQueries() const { return !pending_.empty(); }
  std::size_t pendingCount() const { return pending_.size(); }
  // The first query in flight of class Query that `match` accepts, or null. Only what the
  // worker never writes may be read of it (fields set by the poster, main-loop fields).
  template <typename Query, typename Match>
  Query* findPending(Match&& match) const {
    for (VelmorBaseQuery* query : pending_) {
      auto* candidate = dynamic_cast<Query*>(query);
      if (candidate != nullptr && match(static_cast<const Query&>(*candidate))) return candidate;
    }
    return nullptr;
  }

 protected:
  ~QueryOwner() { releasePendingQueries(); }
  // A query of his completed or was let go; `remaining` are still in flight.
  virtual void pendingCompleted(std::size_t remaining) { (void)remaining; }

 private:
  friend class QueryPipeline;
  void track(VelmorBaseQuery* query);
  void untrack(VelmorBaseQuery* query);

  std::vector<VelmorBaseQuery*> pending_;  // posted and not yet completed
};

// Where the main loop hands its queries: the pipeline to the worker, or a test's record.
class QueryPoster {
 public:
  virtual ~QueryPoster() = default;
  // Takes the query over; an owner keeps it among his pending queries until it completes.
  virtual void post(QueryOwner* owner, VelmorBaseQuery* query) = 0;
};

// A room file list, as the listing of a loaded room produces it.
using FileList = std::vector<Ref<FileRecord>>;

// Room work: the load, creation, save, touch and deletion of a stored room.
class VelmorRoomQuery : public VelmorBaseQuery {
 public:
  std::uint8_t databases() const override { return kMainDatabase | kFileDatabase; }

  // The record's name, as the worker sees it (the room of the work).
  std::string_view recordName() const {
    return std::string_view(record.name, strnlen(record.name, sizeof(record.name)));
  }

  RoomRecord record;
  char suppliedPassword[32] = {};   // a load: the password the user typed
  std::unique_ptr<FileList> files;  // a load: the room's files, null when it has none
  std::string bans;                 // a load, a save: the room's bans (BanCoding)
};

// The login lookup.
class VelmorUserQuery : public VelmorBaseQuery {
 public:
  std::uint8_t databases() const override { return kMainDatabase; }
  bool readsAccountsOnly() const override { return true; }

  char name[32] = {};  // in: as typed; out: as stored
  std::uint8_t passwordHash[16] = {};
  char salt[16] = {};
  char challenge[16] = {};  // 15 characters of '!'..'}' and a terminator
};

// A registration.
class VelmorRegisterUserQuery : public VelmorBaseQuery {
 public:
  std::uint8_t databases() const override { return kMainDatabase; }
  std::uint8_t writes() const override { return kMainDatabase; }
  bool writesAccounts() const override { return true; }

  char name[32] = {};
  char salt[16] = {};
  std::uint8_t passwordHash[16] = {};
  std::uint8_t emailHash[16] = {};
};

// File work: the save, permission change and deletion of a stored file, the load of its
// content.
class VelmorFileQuery : public VelmorBaseQuery {
 public:
  // Sets `file` and copies what of it the main loop may still change while the query is
  // in flight: the worker reads these copies, never the record's.
  void carry(Ref<FileRecord> record);
  std::uint8_t databases() const override { return kFileDatabase; }
  std::string_view roomWorkedOn() const override;
  std::string_view fileWorkedOn() const override;

  Ref<FileRecord> file;    // the record the work is about
  Ref<FileRecord> loaded;  // a content load: the record with content, when found
  char roomName[32] = {};
  std::uint32_t clientVersion = 0;
  std::uint8_t usersCanRead = 0;  // the record's permission flags when it was posted
  std::uint8_t usersCanWrite = 0;
};

// A change of the server ban list: a ban stored as a row under its id (the list's id, so
// that an unban removes exactly the row of the entry the list removed), or the removal of
// that row. All of them are worked on under one name that no room can have, so that they
// are stored in the order they were made, also when some wait for the storage.
class VelmorBanQuery : public VelmorBaseQuery {
 public:
  static constexpr std::string_view kWorkedOn = "#server bans";  // not a room name

  std::uint8_t databases() const override { return kMainDatabase; }
  std::string_view roomWorkedOn() const override { return kWorkedOn; }

  std::uint64_t id = 0;  // the entry's id in the server ban list
  BanEntry ban;          // a ban: the entry
};

// The kind of an OutcomeQuery<Family, Outcome> and of an AcknowledgedChange<Family>.
template <typename Family, typename Outcome>
constexpr QueryKind outcomeQueryKind() {
  if constexpr (std::is_same_v<Family, VelmorRoomQuery>) {
    if constexpr (std::is_same_v<Outcome, LoadOutcome>) return QueryKind::RoomLoad;
    if constexpr (std::is_same_v<Outcome, CreateOutcome>) return QueryKind::RoomCreation;
  }
  if constexpr (std::is_same_v<Family, VelmorUserQuery>) return QueryKind::AccountLookup;
  if constexpr (std::is_same_v<Family, VelmorRegisterUserQuery>)
    return QueryKind::AccountRegistration;
  if constexpr (std::is_same_v<Family, VelmorFileQuery>) return QueryKind::FileContentLoad;
  return QueryKind::Other;
}
template <typename Family>
constexpr QueryKind changeKind() {
  if constexpr (std::is_same_v<Family, VelmorRoomQuery>) return QueryKind::RoomChange;
  if constexpr (std::is_same_v<Family, VelmorFileQuery>) return QueryKind::FileChange;
  if constexpr (std::is_same_v<Family, VelmorBanQuery>) return QueryKind::BanChange;
  return QueryKind::Other;
}

// A query of `Family` whose work ends in an Outcome: execute (worker) says which, complete
// (main loop) receives it. The outcome is the query's own between the two; a rolled-back
// batch turns it by afterRollback.
template <typename Family, typename Outcome>
class OutcomeQuery : public Family {
 public:
  // Worker. A read the storage failed marks the query unavailable; its outcome then means
  // nothing, as it runs again.
  virtual Outcome execute(Storage& storage) = 0;
  // Main loop. True when the completion kept the query.
  virtual bool complete(Outcome outcome) = 0;

  bool run(Storage& storage) final {
    outcome_ = execute(storage);
    return true;
  }
  bool deliver() final { return complete(outcome_); }
  void rolledBack(std::uint8_t) override { outcome_ = afterRollback(outcome_); }
  QueryKind kind() const final { return outcomeQueryKind<Family, Outcome>(); }

 private:
  Outcome outcome_{};  // written by the worker, read on the main loop after the hand-back
};

// A change of `Family` acknowledged before it ran (or the server's own): execute says
// whether the storage took it, and one it refused is kept and run again until it is
// stored (storedAtAnyCost). So its completion, if it has one, always follows a stored
// change, and receives nothing.
template <typename Family>
class AcknowledgedChange : public Family {
 public:
  // Worker.
  virtual StoreOutcome execute(Storage& storage) = 0;
  // Main loop. True when the completion kept the query.
  virtual bool complete() { return false; }

  bool run(Storage& storage) final {
    this->markUnavailable(execute(storage) == StoreOutcome::Refused);
    return true;
  }
  bool deliver() final { return complete(); }
  bool storedAtAnyCost() const final { return true; }
  std::uint8_t writes() const final { return this->databases(); }
  QueryKind kind() const final { return changeKind<Family>(); }
};

// The query classes by what their work is, as the completions derive from them.
using RoomLoad = OutcomeQuery<VelmorRoomQuery, LoadOutcome>;
using RoomCreation = OutcomeQuery<VelmorRoomQuery, CreateOutcome>;
using RoomChange = AcknowledgedChange<VelmorRoomQuery>;
using AccountLookup = OutcomeQuery<VelmorUserQuery, LookupOutcome>;
using AccountRegistration = OutcomeQuery<VelmorRegisterUserQuery, StoreOutcome>;
using FileContentLoad = OutcomeQuery<VelmorFileQuery, LookupOutcome>;
using FileChange = AcknowledgedChange<VelmorFileQuery>;
using BanChange = AcknowledgedChange<VelmorBanQuery>;

}  // namespace velmor
