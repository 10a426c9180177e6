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
// (results), and read on the main loop after the completion queue handed the query back;
// the queues' release/acquire ordering publishes them. Only `cancelled` crosses threads
// while the query is in flight, so it is atomic. `owner` is main loop only. execute() may
// touch nothing but the query's own fields and the storage it is given.

#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

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

enum class QueryKind : std::uint32_t {
  LoadRoom = 2,
  CreateRoom = 3,
  SaveRoom = 4,
  TouchRoom = 5,
  DeleteRoom = 6,
  LookupUser = 7,
  RegisterUser = 8,
  DeleteFileRecord = 9,
  SaveFile = 10,
  LoadFileContent = 11,
  SaveFileAccess = 12,  // the two permission flags of a stored file
};

// The databases a query works on, as a mask.
inline constexpr std::uint8_t kMainDatabase = 1;
inline constexpr std::uint8_t kFileDatabase = 2;

// Results that are also the status codes sent to the owner.
namespace queryresult {
inline constexpr std::uint32_t kRoomCreated = 34;
inline constexpr std::uint32_t kRoomCreateFailed = 35;
inline constexpr std::uint32_t kRoomLoaded = 36;
inline constexpr std::uint32_t kRoomExists = 256;
inline constexpr std::uint32_t kNoSuchRoom = 257;
inline constexpr std::uint32_t kRoomExistsLocked = 258;
inline constexpr std::uint32_t kWrongRoomPassword = 259;
}  // namespace queryresult

class VelmorBaseQuery {
 public:
  explicit VelmorBaseQuery(QueryKind queryKind) : kind(static_cast<std::uint32_t>(queryKind)) {}
  explicit VelmorBaseQuery(std::uint32_t rawKind) : kind(rawKind) {}
  virtual ~VelmorBaseQuery() = default;
  VelmorBaseQuery(const VelmorBaseQuery&) = delete;
  VelmorBaseQuery& operator=(const VelmorBaseQuery&) = delete;

  // Worker: runs the database work; the result is stored in `succeeded`. A query that does
  // no work fails.
  virtual bool execute(Storage&) { return false; }
  // Main loop, for a query that succeeded and was not cancelled: applies its outcome.
  // True when the completion kept the query (it is then not destroyed).
  virtual bool complete() { return false; }
  // Worker: the batch that ran this query was rolled back (its COMMIT failed); a result
  // that reported a stored change reports the failure instead.
  virtual void rolledBack() {}
  // Whether the query only serves its poster (a lookup, a registration, a room load): it
  // is cancelled when he goes offline or away. Every other query carries a change already
  // acknowledged, or one that others depend on, and runs to completion without him.
  virtual bool servesOwnerOnly() const { return false; }

  // Worker: the databases it reads or writes (kMainDatabase, kFileDatabase).
  virtual std::uint8_t databases() const { return 0; }
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
  // Worker: it only reads accounts (a login's lookup): its answer does not wait for the
  // COMMIT of the batch's writes, unless an account was written before it in the batch.
  virtual bool readsAccountsOnly() const { return false; }

  bool is(QueryKind k) const { return kind == static_cast<std::uint32_t>(k); }

  // The poster; null for the server's own queries, and once the poster went away from a
  // query that outlives him. Main loop only: the worker never reads it.
  QueryOwner* owner = nullptr;
  // Its place in the owner's list of queries in flight (QueryOwner). Main loop only.
  std::uint32_t ownerSlot = 0;
  std::uint32_t kind;
  std::uint32_t result = 0;
  std::atomic<bool> cancelled{false};
  bool succeeded = false;
  // Set by execute() when the storage could not do the work now (a lock held past the
  // busy timeout, a full disk, an I/O error): the worker keeps the query and runs it again
  // later. Worker only.
  bool unavailable = false;
  // Set by execute() when the storage failed work that is answered as failed rather than
  // kept (a registration, a room creation): the database counts as failing all the same.
  bool storageRefused = false;
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
  // The first query in flight of the kind that `match` accepts, or null. Only what the
  // worker never writes may be read of it (fields set by the poster, main-loop fields).
  template <typename Query, typename Match>
  Query* findPending(QueryKind kind, Match&& match) const {
    for (VelmorBaseQuery* query : pending_) {
      if (query->is(kind) && match(static_cast<const Query&>(*query)))
        return static_cast<Query*>(query);
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

// Room work (kinds 2 to 6).
class VelmorRoomQuery : public VelmorBaseQuery {
 public:
  using VelmorBaseQuery::VelmorBaseQuery;
  std::uint8_t databases() const override { return kMainDatabase | kFileDatabase; }
  // A room creation rolled back did not create the room.
  void rolledBack() override {
    if (is(QueryKind::CreateRoom) && result == queryresult::kRoomCreated) {
      result = queryresult::kRoomCreateFailed;
    }
  }

  // The record's name, as the worker sees it (the room of the work).
  std::string_view recordName() const {
    return std::string_view(record.name, strnlen(record.name, sizeof(record.name)));
  }

  RoomRecord record;
  char suppliedPassword[32] = {};   // LoadRoom: the password the user typed
  std::unique_ptr<FileList> files;  // LoadRoom: the room's files, null when it has none
};

// The login lookup (kind 7).
class VelmorUserQuery : public VelmorBaseQuery {
 public:
  VelmorUserQuery() : VelmorBaseQuery(QueryKind::LookupUser) {}
  std::uint8_t databases() const override { return kMainDatabase; }
  bool readsAccountsOnly() const override { return true; }

  char name[32] = {};  // in: as typed; out: as stored
  std::uint8_t passwordHash[16] = {};
  char salt[16] = {};
  char challenge[16] = {};  // 15 characters of '!'..'}' and a terminator
};

// A registration (kind 8).
class VelmorRegisterUserQuery : public VelmorBaseQuery {
 public:
  VelmorRegisterUserQuery() : VelmorBaseQuery(QueryKind::RegisterUser) {}
  // A registration rolled back stored no account.
  void rolledBack() override { result = 0; }
  std::uint8_t databases() const override { return kMainDatabase; }

  char name[32] = {};
  char salt[16] = {};
  std::uint8_t passwordHash[16] = {};
  std::uint8_t emailHash[16] = {};
};

// File work (kinds 9 to 12).
class VelmorFileQuery : public VelmorBaseQuery {
 public:
  using VelmorBaseQuery::VelmorBaseQuery;

  // Sets `file` and copies what of it the main loop may still change while the query is
  // in flight: the worker reads these copies, never the record's.
  void carry(Ref<FileRecord> record);
  std::uint8_t databases() const override { return kFileDatabase; }
  std::string_view roomWorkedOn() const override;

  Ref<FileRecord> file;    // the record the work is about
  Ref<FileRecord> loaded;  // LoadFileContent: the record with content, when found
  Room* room = nullptr;    // LoadFileContent: the room the read came from
  char roomName[32] = {};
  std::uint32_t clientVersion = 0;
  std::uint8_t usersCanRead = 0;  // the record's permission flags when it was posted
  std::uint8_t usersCanWrite = 0;
  bool found = false;
};

}  // namespace velmor
