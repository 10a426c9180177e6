#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "base/Clock.h"
#include "db/FileDatabase.h"
#include "db/Queries.h"
#include "db/Sqlite.h"
#include "model/BanEntry.h"
#include "settings/Settings.h"

namespace velmor {

// The main database "velmordata.db": stored rooms (table channels, their bans in table
// roombans), accounts (table users) and the server's bans (table serverbans). Opened, filled with
// the configured rooms and read back on the main thread at start-up (failures end the process
// through fatalExit); afterwards used only by the query worker, whose batch transaction runs on
// this connection.
class MainDatabase {
 public:
  static constexpr const char* kFileName = "velmordata.db";

  struct Limits {
    std::uint32_t chatroommaxusers;
    std::uint32_t navroommaxusers;
    std::uint32_t roomExpiryTime;  // s
  };

  // Opens `directory` + kFileName, creates the tables, prepares the statements in their
  // order. `files` lists the files of a loaded room. `sweepRequest` is raised (atomic
  // store) when a room load finds the room expired, so that the main loop sweeps soon.
  // `clock` gives the wall-clock seconds the rows are stamped with.
  MainDatabase(const std::string& directory, const Limits& limits, FileDatabase& files,
               std::atomic<bool>& sweepRequest, const ServerClock& clock,
               int busyTimeoutMs = kDefaultBusyTimeoutMs);

  // Writes every configured room (INSERT OR REPLACE) in one transaction.
  void writeConfiguredRooms(const std::vector<RoomConfig>& rooms);
  // Reads every stored room; `loadAtStartup` tells whether the row asks to be made live.
  void loadStoredRooms(const std::function<void(const RoomRecord&, bool loadAtStartup)>& each);

  // Reads the server bans in the order they were made (ascending ids).
  void loadServerBans(const std::function<void(std::uint64_t id, const BanEntry&)>& each);

  // Worker operations: each returns the outcome and writes the query's output fields. A
  // read that the storage failed (rather than answered) marks the query unavailable, and
  // its outcome then means nothing; a write returns whether it was stored.
  LoadOutcome loadRoom(VelmorRoomQuery& query);
  CreateOutcome createRoom(VelmorRoomQuery& query);
  bool saveRoom(const RoomRecord& record);
  bool touchRoom(const RoomRecord& record);
  bool deleteRoom(const RoomRecord& record);
  LookupOutcome lookupUser(VelmorUserQuery& query);  // after the challenge was made
  StoreOutcome registerUser(VelmorRegisterUserQuery& query);
  // A server ban stored under its id (replacing a row of that id), and its removal.
  bool storeServerBan(std::uint64_t id, const BanEntry& ban);
  bool deleteServerBan(std::uint64_t id);
  // A room's bans (BanCoding) into its row, and read from it (empty when it has none);
  // false: the storage failed.
  bool saveRoomBans(const RoomRecord& record, std::string_view bans);
  bool readRoomBans(std::string_view roomName, std::string& bans);
  bool deleteRoomBans(std::string_view roomName);

  // The worker's batch transaction (statements 10, 11 and 13).
  BatchTransaction& transaction() { return transaction_; }

  sqlite3* connection() const { return db_.get(); }

 private:
  enum class Lookup { Found, Missing, Failed };
  // Statement 1: fills the record from the stored row. Missing: no row, or a NULL among the
  // four texts; Failed: the storage did not answer.
  Lookup lookupRoom(RoomRecord& record);

  Limits limits_;
  const ServerClock& clock_;
  FileDatabase& files_;
  std::atomic<bool>& sweepRequest_;
  SqliteConnection db_;
  Statement selectRoom_;      // 1
  Statement saveRoom_;        // 2
  Statement touchRoom_;       // 3
  Statement deleteRoom_;      // 4
  Statement insertRoom_;      // 5
  Statement replaceRoom_;     // 12
  Statement selectUser_;      // 6
  Statement touchUser_;       // 7: prepared, unused
  Statement insertUser_;      // 8
  Statement changePassword_;  // 9: prepared, unused
  Statement saveRoomBans_;
  Statement selectRoomBans_;
  Statement deleteRoomBans_;
  Statement storeServerBan_;
  Statement deleteServerBan_;
  BatchTransaction transaction_;  // 10, 11, 13
};

}  // namespace velmor
