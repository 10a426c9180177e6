#include "db/MainDatabase.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "base/Console.h"
#include "base/FatalExit.h"
#include "base/FixedText.h"
#include "model/BanCoding.h"

namespace velmor {

namespace {

constexpr std::uint32_t kMaxRoomUsers = 10000;

constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS [channels] ([Name] VARCHAR(32) COLLATE NOCASE, [CreatorName] "
    "VARCHAR(32), [Password] VARCHAR(32), [LeaderPassword] VARCHAR(32), [LastAccessed] UNSIGNED "
    "INTEGER, [MaxUsers] UNSIGNED INTEGER, [bNavigation] UNSIGNED CHAR, [bLoadAtStartup] UNSIGNED "
    "CHAR, [bNeverSleeps] UNSIGNED CHAR, CONSTRAINT [] PRIMARY KEY ([Name])); CREATE TABLE IF NOT "
    "EXISTS [users] ( [Name] VARCHAR(32) COLLATE NOCASE, [EmailHash] CHAR(16), [PasswordHash] "
    "CHAR(16), [Salt] CHAR(16), [RegisteredTime] UNSIGNED INTEGER, [LastAccessed] UNSIGNED "
    "INTEGER, CONSTRAINT [] PRIMARY KEY ([Name]));";

// The tables and columns added since: created on files made by earlier versions too.
// Server bans: one row per entry, keyed by its id in the server ban list (ascending in the
// order the bans were made), so that the list reads back in order and an unban deletes
// exactly its row by key. The address and mask are dotted text, for operators to read.
constexpr const char* kBanSchema =
    "CREATE TABLE IF NOT EXISTS [serverbans] ([Id] INTEGER PRIMARY KEY, [Name] VARCHAR(32), "
    "[Issuer] VARCHAR(32), [Reason] VARCHAR(64), [Address] VARCHAR(16), [Mask] VARCHAR(16));";
// A room's bans: one row per room that has any, keyed as channels is (the room's name in any
// letter case), holding the list whole (BanCoding). Read, written and deleted by that key:
// with the room when it wakes, sleeps or is saved, and with its row when it is deleted or
// created again. The channels table keeps the stored format of the rooms as it was.
constexpr const char* kRoomBansSchema =
    "CREATE TABLE IF NOT EXISTS [roombans] ([Room] VARCHAR(32) COLLATE NOCASE, [Bans] BLOB, "
    "CONSTRAINT [] PRIMARY KEY ([Room]));";
constexpr const char* kSaveRoomBans =
    "INSERT OR REPLACE INTO [roombans] ([Room], [Bans]) VALUES (?, ?);";
constexpr const char* kSelectRoomBans = "SELECT [Bans] FROM [roombans] WHERE [Room]=?;";
constexpr const char* kDeleteRoomBans = "DELETE FROM [roombans] WHERE [Room]=?;";
constexpr const char* kStoreServerBan =
    "INSERT OR REPLACE INTO [serverbans] ([Id], [Name], [Issuer], [Reason], [Address], [Mask]) "
    "VALUES (?, ?, ?, ?, ?, ?);";
constexpr const char* kDeleteServerBan = "DELETE FROM [serverbans] WHERE [Id]=?;";
constexpr const char* kSelectServerBans =
    "SELECT [Id], [Name], [Issuer], [Reason], [Address], [Mask] FROM [serverbans] ORDER BY [Id];";

// The statement texts are kept exactly as earlier versions wrote them, blanks included.
constexpr const char* kSelectRoom =
    "SELECT [Name], [CreatorName], [Password], [LeaderPassword], [LastAccessed], [MaxUsers], "
    "[bNavigation], [bNeverSleeps] FROM [channels] WHERE [Name]=?;";
constexpr const char* kSaveRoom =
    "UPDATE [channels] SET [Password]=?, [LeaderPassword]=?, [LastAccessed]=?, [bNavigation]=? "
    "WHERE [Name]=?;";
constexpr const char* kTouchRoom = "UPDATE [channels] SET [LastAccessed]=? WHERE [Name]=?;";
constexpr const char* kDeleteRoom = "DELETE FROM [channels] WHERE [Name]=?;";
constexpr const char* kInsertRoom =
    "INSERT INTO [channels]                 ([Name], [CreatorName], [Password], "
    "[LeaderPassword], [LastAccessed], [MaxUsers], [bNavigation]) VALUES             (?, ?, ?, "
    "?, ?, ?, ?);";
constexpr const char* kReplaceRoom =
    "INSERT OR REPLACE INTO [channels]                 ([Name], [CreatorName], [Password], "
    "[LeaderPassword], [LastAccessed], [MaxUsers], [bNavigation], [bLoadAtStartup], "
    "[bNeverSleeps]) VALUES             (?, ?, ?, ?, ?, ?, ?, ?, ?);";
// A configured room keeps the letter case it is stored under (its files are filed under it):
// every other column is rewritten, and only a room not stored yet is inserted (statement 12).
// Its parameters are numbered as statement 12's, so that both are bound alike.
constexpr const char* kUpdateConfiguredRoom =
    "UPDATE [channels] SET [CreatorName]=?2, [Password]=?3, [LeaderPassword]=?4, "
    "[LastAccessed]=?5, [MaxUsers]=?6, [bNavigation]=?7, [bLoadAtStartup]=?8, [bNeverSleeps]=?9 "
    "WHERE [Name]=?1;";
constexpr const char* kSelectUser =
    "SELECT [Name], [PasswordHash], [Salt] FROM [users] WHERE [Name]=?;";
constexpr const char* kTouchUser = "UPDATE [users] SET [LastAccessed]=? WHERE [Name]=?;";
constexpr const char* kInsertUser =
    "INSERT INTO [users] ([Name], [EmailHash], [PasswordHash], [Salt], [RegisteredTime], "
    "[LastAccessed]) VALUES (?, ?, ?, ?, ?, ?);";
constexpr const char* kChangePassword =
    "UPDATE [users] SET [PasswordHash]=? WHERE [Name]=? AND [PasswordHash]=?;";
constexpr const char* kSelectAllRooms =
    "SELECT [Name], [CreatorName], [Password], [LeaderPassword], [LastAccessed], [MaxUsers], "
    "[bNavigation], [bLoadAtStartup], [bNeverSleeps] FROM [channels]";

std::uint32_t limitedMaxUsers(std::uint32_t stored) {
  return std::min(stored, kMaxRoomUsers);
}

// Runs schema SQL at start-up; its failure ends the process with SQLite's text.
void execOrExit(sqlite3* db, const char* sql) {
  char* error = nullptr;
  if (sqlite3_exec(db, sql, nullptr, nullptr, &error) != SQLITE_OK) {
    fatalExit(error != nullptr ? error : "Unable to create the tables.");
  }
  sqlite3_free(error);
}

// An IPv4 address held in network order, as dotted text, and back (0 for text that is none).
std::string dotted(std::uint32_t address) {
  char text[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &address, text, sizeof(text));
  return text;
}
std::uint32_t undotted(std::string_view text) {
  char field[INET_ADDRSTRLEN] = {};
  copyText(field, text);
  std::uint32_t address = 0;
  return inet_pton(AF_INET, field, &address) == 1 ? address : 0;
}

// Unsigned fields go to the database as the signed 32-bit number of the same bits.
std::int64_t signExtended(std::uint32_t value) {
  return static_cast<std::int32_t>(value);
}

}  // namespace

MainDatabase::MainDatabase(const std::string& directory, const Limits& limits, FileDatabase& files,
                           std::atomic<bool>& sweepRequest, const ServerClock& clock,
                           int busyTimeoutMs)
    : limits_(limits),
      clock_(clock),
      files_(files),
      sweepRequest_(sweepRequest),
      db_(openDatabase(directory + kFileName, busyTimeoutMs)) {
  if (!db_) fatalExit("Unable to open database.");
  char* error = nullptr;
  if (sqlite3_exec(db_.get(), kSchema, nullptr, nullptr, &error) != SQLITE_OK && error != nullptr) {
    fatalExit(error);
  }
  sqlite3_free(error);
  sqlite3* db = db_.get();
  execOrExit(db, kBanSchema);
  execOrExit(db, kRoomBansSchema);
  selectRoom_ = prepareOrExit(db, kSelectRoom, "Unable to prepare statement 1.");
  saveRoom_ = prepareOrExit(db, kSaveRoom, "Unable to prepare statement 2.");
  touchRoom_ = prepareOrExit(db, kTouchRoom, "Unable to prepare statement 3.");
  deleteRoom_ = prepareOrExit(db, kDeleteRoom, "Unable to prepare statement 4.");
  insertRoom_ = prepareOrExit(db, kInsertRoom, "Unable to prepare statement 5.");
  replaceRoom_ = prepareOrExit(db, kReplaceRoom, "Unable to prepare statement 12.");
  selectUser_ = prepareOrExit(db, kSelectUser, "Unable to prepare statement 6.");
  touchUser_ = prepareOrExit(db, kTouchUser, "Unable to prepare statement 7.");
  insertUser_ = prepareOrExit(db, kInsertUser, "Unable to prepare statement 8.");
  changePassword_ = prepareOrExit(db, kChangePassword, "Unable to prepare statement 9.");
  transaction_ =
      BatchTransaction(db, "Unable to prepare statement 10.", "Unable to prepare statement 11.",
                       "Unable to prepare statement 13.");
  saveRoomBans_ = prepareOrExit(db, kSaveRoomBans, "Unable to prepare the room bans statement.");
  selectRoomBans_ =
      prepareOrExit(db, kSelectRoomBans, "Unable to prepare the room bans statement.");
  deleteRoomBans_ =
      prepareOrExit(db, kDeleteRoomBans, "Unable to prepare the room bans statement.");
  storeServerBan_ =
      prepareOrExit(db, kStoreServerBan, "Unable to prepare the server bans statement.");
  deleteServerBan_ =
      prepareOrExit(db, kDeleteServerBan, "Unable to prepare the server bans statement.");
}

void MainDatabase::loadServerBans(
    const std::function<void(std::uint64_t id, const BanEntry&)>& each) {
  const Statement all =
      prepareOrExit(db_.get(), kSelectServerBans, "Unable to prepare the server bans statement.");
  auto use = all.use();
  int step;
  while ((step = use.step()) == SQLITE_ROW) {
    const auto id = use.int64Column(0);
    if (id <= 0 || use.isNull(1)) continue;  // no entry the server made
    BanEntry ban;
    copyText(ban.name, use.textColumn(1));
    copyText(ban.issuer, use.textColumn(2));
    copyText(ban.reason, use.textColumn(3));
    ban.address = undotted(use.textColumn(4));
    ban.mask = undotted(use.textColumn(5));
    each(static_cast<std::uint64_t>(id), ban);
  }
  // Serving without some of the bans would let the banned in.
  if (storageFailed(step)) fatalExit("Unable to read the server bans.");
}

bool MainDatabase::storeServerBan(std::uint64_t id, const BanEntry& ban) {
  const std::string address = dotted(ban.address);
  const std::string mask = dotted(ban.mask);
  auto use = storeServerBan_.use();
  use.int64(static_cast<std::int64_t>(id))
      .text(fieldText(ban.name))
      .text(fieldText(ban.issuer))
      .text(fieldText(ban.reason))
      .text(address)
      .text(mask);
  return use.stepDone();
}

bool MainDatabase::deleteServerBan(std::uint64_t id) {
  auto use = deleteServerBan_.use();
  use.int64(static_cast<std::int64_t>(id));
  return use.stepDone();
}

bool MainDatabase::saveRoomBans(const RoomRecord& record, std::string_view bans) {
  if (bans.empty()) return deleteRoomBans(fieldText(record.name));  // no bans, no row
  auto use = saveRoomBans_.use();
  use.text(fieldText(record.name)).blob(bans.data(), bans.size());
  return use.stepDone();
}

bool MainDatabase::deleteRoomBans(std::string_view roomName) {
  auto use = deleteRoomBans_.use();
  use.text(roomName);
  return use.stepDone();
}

bool MainDatabase::readRoomBans(std::string_view roomName, std::string& bans) {
  bans.clear();
  auto use = selectRoomBans_.use();
  use.text(roomName);
  const int step = use.step();
  if (storageFailed(step)) return false;
  if (step == SQLITE_ROW) bans.assign(use.blobColumn(0));
  return true;
}

void MainDatabase::writeConfiguredRooms(const std::vector<RoomConfig>& rooms) {
  if (rooms.empty()) return;
  const Statement updateConfiguredRoom = prepareOrExit(
      db_.get(), kUpdateConfiguredRoom, "Unable to prepare configured rooms statement.");
  transaction_.begin(true);
  for (const RoomConfig& room : rooms) {
    // The texts go through the record so that what is stored is what the server will
    // later look up: a name longer than the field would otherwise never match again.
    const std::uint32_t maxUsers =
        room.maxusers != 0 ? room.maxusers
                           : (room.navigation ? limits_.navroommaxusers : limits_.chatroommaxusers);
    const RoomRecord record = makeRoomRecord(room.name, "", room.password, room.leaderpassword,
                                             maxUsers, room.navigation, room.neversleeps);
    const std::uint32_t now = clock_.wallSeconds();
    const auto bind = [&](Statement::Use& use) {
      use.text(fieldText(record.name))
          .text(kConfiguredRoomCreator)
          .text(fieldText(record.password))
          .text(fieldText(record.leaderPassword))
          .time(now)
          .int64(signExtended(record.maxUsers))
          .int32(room.navigation ? 1 : 0)
          .int32(room.loadatstartup ? 1 : 0)
          .int32(room.neversleeps ? 1 : 0);
    };
    {
      auto update = updateConfiguredRoom.use();
      bind(update);
      if (update.stepDone() && sqlite3_changes(db_.get()) > 0) continue;
    }
    auto insert = replaceRoom_.use();
    bind(insert);
    insert.step();
  }
  if (!transaction_.commit()) {
    consoleWrite("Something went wrong!");
    transaction_.rollback();
  }
}

void MainDatabase::loadStoredRooms(
    const std::function<void(const RoomRecord&, bool loadAtStartup)>& each) {
  const Statement all =
      prepareOrExit(db_.get(), kSelectAllRooms, "Unable to prepare startup rooms statement.");
  auto use = all.use();
  int step;
  while ((step = use.step()) == SQLITE_ROW) {
    if (use.columnCount() != 9) break;
    if (use.isNull(0) || use.isNull(2) || use.isNull(3)) continue;
    // A NULL creator reads as empty text (a literal: copyText must not see a null pointer).
    const std::string_view creator = use.isNull(1) ? std::string_view("") : use.textColumn(1);
    RoomRecord record = makeRoomRecord(use.textColumn(0), creator, use.textColumn(2),
                                       use.textColumn(3), limitedMaxUsers(use.u32Column(5)),
                                       use.int64Column(6) > 0, use.int64Column(8) > 0);
    record.lastAccessed = use.u32Column(4);
    each(record, use.int64Column(7) > 0);
  }
  // Serving without some of the stored rooms would let their names be created over.
  if (storageFailed(step)) fatalExit("Unable to read the stored rooms.");
}

MainDatabase::Lookup MainDatabase::lookupRoom(RoomRecord& record) {
  record.lastAccessed = 0;
  auto use = selectRoom_.use();
  use.text(fieldText(record.name));
  const int step = use.step();
  if (storageFailed(step)) return Lookup::Failed;
  if (step != SQLITE_ROW || use.columnCount() != 8) return Lookup::Missing;
  // A NULL text leaves its field as it was and makes the room unusable, but the rest of
  // the row is read all the same. Stored texts longer than a field are cut to it.
  bool found = true;
  char* texts[] = {record.name, record.creatorName, record.password, record.leaderPassword};
  for (int column = 0; column < 4; ++column) {
    if (use.isNull(column)) {
      found = false;
      continue;
    }
    copyText(texts[column], sizeof(record.name), use.textColumn(column));
  }
  record.lastAccessed = use.u32Column(4);
  record.maxUsers = limitedMaxUsers(use.u32Column(5));
  record.navigation = use.int64Column(6) > 0 ? 1 : 0;
  record.neverSleeps = use.int64Column(7) > 0 ? 1 : 0;
  return found ? Lookup::Found : Lookup::Missing;
}

LoadOutcome MainDatabase::loadRoom(VelmorRoomQuery& query) {
  RoomRecord& record = query.record;
  const Lookup lookup = lookupRoom(record);
  if (lookup == Lookup::Failed) {
    query.markUnavailable();
    return LoadOutcome::NoSuchRoom;
  }
  if (lookup == Lookup::Missing) return LoadOutcome::NoSuchRoom;
  // 64-bit arithmetic, so that a LastAccessed ahead of the clock gives a negative idle
  // time (not expired) instead of wrapping around.
  const std::int64_t now = static_cast<std::int64_t>(clock_.wallSeconds());
  const std::int64_t idle = now - static_cast<std::int64_t>(record.lastAccessed);
  if (idle >= static_cast<std::int64_t>(limits_.roomExpiryTime)) {
    // The row stays; the main loop's sweep of stored rooms removes it soon.
    sweepRequest_.store(true);
    return LoadOutcome::NoSuchRoom;
  }
  const std::uint32_t typeDefault =
      record.navigation ? limits_.navroommaxusers : limits_.chatroommaxusers;
  record.maxUsers = std::max(record.maxUsers, typeDefault);

  const std::string_view supplied = fieldText(query.suppliedPassword);
  if (supplied != fieldText(record.password) && supplied != fieldText(record.leaderPassword)) {
    return LoadOutcome::WrongPassword;
  }
  // A room whose files cannot be listed now is not loaded without them: the load is tried
  // again, so that the room never comes up missing files it has.
  if (!files_.listFiles(fieldText(record.name), query.files) ||
      !readRoomBans(fieldText(record.name), query.bans)) {
    query.markUnavailable();
    return LoadOutcome::NoSuchRoom;
  }
  return LoadOutcome::Loaded;
}

CreateOutcome MainDatabase::createRoom(VelmorRoomQuery& query) {
  RoomRecord& record = query.record;
  record.maxUsers = record.navigation ? limits_.navroommaxusers : limits_.chatroommaxusers;
  const Lookup lookup = lookupRoom(record);
  if (lookup == Lookup::Failed) {
    query.markStorageRefused();
    return CreateOutcome::Failed;
  }
  if (lookup == Lookup::Found) {
    // The record now holds the stored room: its password decides which refusal.
    return record.password[0] != '\0' ? CreateOutcome::ExistsLocked : CreateOutcome::Exists;
  }
  // Bans left under the name (a room deleted by hand, without them) are not the new room's.
  if (!deleteRoomBans(fieldText(record.name))) {
    query.markStorageRefused();
    return CreateOutcome::Failed;
  }
  const std::uint32_t now = clock_.wallSeconds();
  auto use = insertRoom_.use();
  use.text(fieldText(record.name))
      .text(fieldText(record.creatorName))
      .text(fieldText(record.password))
      .text(fieldText(record.leaderPassword))
      .time(now)
      .int64(signExtended(record.maxUsers))
      .int32(record.navigation ? 1 : 0);
  const int step = use.step();
  if (step != SQLITE_DONE) {
    query.markStorageRefused(storageFailed(step));
    return CreateOutcome::Failed;
  }
  // The record mirrors the new row, so the room's age counts from its creation rather
  // than from 0 (which the expiry sweep would take for long expired).
  record.lastAccessed = now;
  return CreateOutcome::Created;
}

bool MainDatabase::saveRoom(const RoomRecord& record) {
  auto use = saveRoom_.use();
  use.text(fieldText(record.password))
      .text(fieldText(record.leaderPassword))
      .time(record.lastAccessed)
      .int32(record.navigation ? 1 : 0)
      .text(fieldText(record.name));
  return use.stepDone();
}

bool MainDatabase::touchRoom(const RoomRecord& record) {
  auto use = touchRoom_.use();
  use.int32(static_cast<std::int32_t>(record.lastAccessed)).text(fieldText(record.name));
  return use.stepDone();
}

bool MainDatabase::deleteRoom(const RoomRecord& record) {
  bool deleted;
  {
    auto use = deleteRoom_.use();
    use.text(fieldText(record.name));
    deleted = use.stepDone();
  }
  // Its bans go with it, in the same batch.
  return deleteRoomBans(fieldText(record.name)) && deleted;
}

LookupOutcome MainDatabase::lookupUser(VelmorUserQuery& query) {
  auto use = selectUser_.use();
  use.text(fieldText(query.name));
  const int step = use.step();
  // A member whose account cannot be read now is not taken for a guest: he waits.
  if (storageFailed(step)) {
    query.markUnavailable();
    return LookupOutcome::NotFound;
  }
  if (step != SQLITE_ROW || use.columnCount() != 3) return LookupOutcome::NotFound;
  if (use.isNull(0) || use.isNull(1) || use.isNull(2)) return LookupOutcome::NotFound;
  // A hash shorter than 16 bytes cannot be checked against any proof: no account.
  const std::string_view hash = use.blobColumn(1);
  if (hash.size() < sizeof(query.passwordHash)) return LookupOutcome::NotFound;
  copyText(query.name, use.textColumn(0));
  std::memcpy(query.passwordHash, hash.data(), sizeof(query.passwordHash));
  copyText(query.salt, use.textColumn(2));
  return LookupOutcome::Found;
}

StoreOutcome MainDatabase::registerUser(VelmorRegisterUserQuery& query) {
  auto use = insertUser_.use();
  use.text(fieldText(query.name))
      .blob(query.emailHash, sizeof(query.emailHash))
      .blob(query.passwordHash, sizeof(query.passwordHash))
      .text(fieldText(query.salt))
      .time(clock_.wallSeconds())
      .time(clock_.wallSeconds());
  const int step = use.step();
  query.markStorageRefused(storageFailed(step));
  return storeOutcome(step == SQLITE_DONE);
}

}  // namespace velmor
