#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <filesystem>

#include "db/FileDatabase.h"
#include "db/MainDatabase.h"
#include "support/TempDir.h"

namespace velmor {
namespace {

using Rows = std::vector<std::string>;
constexpr MainDatabase::Limits kLimits{64, 32, 604800};

std::int64_t now() {
  return static_cast<std::int64_t>(std::time(nullptr));
}

// The first column of every row as text.
Rows query(sqlite3* db, const std::string& sql) {
  Rows rows;
  sqlite3_stmt* statement = nullptr;
  EXPECT_EQ(sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr), SQLITE_OK) << sql;
  while (sqlite3_step(statement) == SQLITE_ROW) {
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
    rows.emplace_back(text ? text : "NULL");
  }
  sqlite3_finalize(statement);
  return rows;
}

// The steps of a statement's query plan, as EXPLAIN QUERY PLAN details them.
Rows queryPlan(sqlite3* db, const std::string& sql) {
  Rows steps;
  sqlite3_stmt* statement = nullptr;
  const std::string explain = "EXPLAIN QUERY PLAN " + sql;
  EXPECT_EQ(sqlite3_prepare_v2(db, explain.c_str(), -1, &statement, nullptr), SQLITE_OK) << sql;
  while (sqlite3_step(statement) == SQLITE_ROW) {
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, 3));
    steps.emplace_back(text ? text : "");
  }
  sqlite3_finalize(statement);
  return steps;
}

std::int64_t integer(sqlite3* db, const std::string& sql) {
  return std::stoll(query(db, sql).at(0));
}

Rows preparedTexts(sqlite3* db) {
  Rows sql;
  for (sqlite3_stmt* s = sqlite3_next_stmt(db, nullptr); s; s = sqlite3_next_stmt(db, s)) {
    sql.emplace_back(sqlite3_sql(s));
  }
  return sql;
}

class DatabaseTest : public testing::Test {
 protected:
  sqlite3* mainDb() { return db_->connection(); }
  void exec(sqlite3* db, const std::string& sql) {
    ASSERT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sql;
  }
  // Name, CreatorName, Password, LeaderPassword, LastAccessed, MaxUsers, bNavigation,
  // bLoadAtStartup, bNeverSleeps.
  void storeRoom(const std::string& values) {
    exec(mainDb(), "INSERT OR REPLACE INTO channels VALUES(" + values + ")");
  }
  // A room query for `name` by "maker", as room_.
  void newRoomQuery(const char* name) {
    room_ = std::make_unique<VelmorRoomQuery>();
    copyText(room_->record.name, name);
    copyText(room_->record.creatorName, "maker");
  }
  LoadOutcome loadRoom(const char* name, const char* password = "") {
    newRoomQuery(name);
    copyText(room_->suppliedPassword, password);
    return db_->loadRoom(*room_);
  }
  CreateOutcome createRoom(const char* name, const char* password = "") {
    newRoomQuery(name);
    copyText(room_->record.password, password);
    return db_->createRoom(*room_);
  }

  test::TempDir dir_;
  std::atomic<bool> sweep_{false};
  SystemClock systemClock_;
  ServerClock clock_{systemClock_};
  FileDatabase files_{dir_.path()};
  std::unique_ptr<MainDatabase> db_ =
      std::make_unique<MainDatabase>(dir_.path(), kLimits, files_, sweep_, clock_);
  std::unique_ptr<VelmorRoomQuery> room_;
};

TEST_F(DatabaseTest, SchemaAndStatementTextsAreExact) {
  EXPECT_EQ(
      query(mainDb(), "SELECT sql FROM sqlite_master WHERE type='table' ORDER BY name"),
      (Rows{"CREATE TABLE [channels] ([Name] VARCHAR(32) COLLATE NOCASE, [CreatorName] "
            "VARCHAR(32), [Password] VARCHAR(32), [LeaderPassword] VARCHAR(32), "
            "[LastAccessed] UNSIGNED INTEGER, [MaxUsers] UNSIGNED INTEGER, [bNavigation] "
            "UNSIGNED CHAR, [bLoadAtStartup] UNSIGNED CHAR, [bNeverSleeps] UNSIGNED CHAR, "
            "CONSTRAINT [] PRIMARY KEY ([Name]))",
            "CREATE TABLE [roombans] ([Room] VARCHAR(32) COLLATE NOCASE, [Bans] BLOB, "
            "CONSTRAINT [] PRIMARY KEY ([Room]))",
            "CREATE TABLE [serverbans] ([Id] INTEGER PRIMARY KEY, [Name] VARCHAR(32), [Issuer] "
            "VARCHAR(32), [Reason] VARCHAR(64), [Address] VARCHAR(16), [Mask] VARCHAR(16))",
            "CREATE TABLE [users] ( [Name] VARCHAR(32) COLLATE NOCASE, [EmailHash] "
            "CHAR(16), [PasswordHash] CHAR(16), [Salt] CHAR(16), [RegisteredTime] UNSIGNED "
            "INTEGER, [LastAccessed] UNSIGNED INTEGER, CONSTRAINT [] PRIMARY KEY ([Name]))"}));
  EXPECT_EQ(query(files_.connection(), "SELECT sql FROM sqlite_master WHERE type='table'"),
            Rows{"CREATE TABLE [files] ([RoomName] VARCHAR(32) NOT NULL, [FileName] VARCHAR(32) "
                 "NOT NULL, [CreatorName] VARCHAR(32), [EditorName] VARCHAR(32), [Content] NONE, "
                 "[Length] UNSIGNED INTEGER, [LastEdited] UNSIGNED INTEGER, [UsersCanRead] "
                 "UNISGNED INTEGER, [UsersCanWrite] UNSIGNED INTEGER, PRIMARY KEY([RoomName], "
                 "[FileName]))"});

  db_->loadStoredRooms([](const RoomRecord&, bool) {});  // finalizes its own statement
  const Rows statements = preparedTexts(mainDb());
  // The twelve of the stored format, ROLLBACK for a batch whose COMMIT failed, the BEGIN
  // of a batch that writes, and the five of the bans (a room's: save, read, delete; the
  // server's: store, delete).
  EXPECT_EQ(statements.size(), 19u);
  for (const char* sql : {"ROLLBACK;", "BEGIN IMMEDIATE TRANSACTION;"})
    EXPECT_NE(std::find(statements.begin(), statements.end(), sql), statements.end()) << sql;
  // The five of the stored format, the permission change, the files of a deleted room, and
  // the batch transaction (with the BEGIN of a batch that writes).
  const Rows fileStatements = preparedTexts(files_.connection());
  EXPECT_EQ(fileStatements.size(), 11u);
  for (const char* sql : {"UPDATE [files] SET [UsersCanRead]=?, [UsersCanWrite]=? WHERE "
                          "[RoomName]=? AND [FileName]=?;",
                          "DELETE FROM [files] WHERE [RoomName]=? COLLATE NOCASE;"}) {
    EXPECT_NE(std::find(fileStatements.begin(), fileStatements.end(), sql), fileStatements.end())
        << sql;
  }
  for (const char* sql :
       {"INSERT INTO [channels]                 ([Name], [CreatorName], [Password], "
        "[LeaderPassword], [LastAccessed], [MaxUsers], [bNavigation]) VALUES             (?, ?, "
        "?, ?, ?, ?, ?);",
        "INSERT OR REPLACE INTO [channels]                 ([Name], [CreatorName], [Password], "
        "[LeaderPassword], [LastAccessed], [MaxUsers], [bNavigation], [bLoadAtStartup], "
        "[bNeverSleeps]) VALUES             (?, ?, ?, ?, ?, ?, ?, ?, ?);"}) {
    EXPECT_NE(std::find(statements.begin(), statements.end(), sql), statements.end()) << sql;
  }
}

// Every statement the server prepares (the ones it runs per room and per request) finds its
// rows through a key or an index: none reads a whole table, whatever the data grows to.
TEST_F(DatabaseTest, NoPreparedStatementScansATable) {
  for (sqlite3* db : {mainDb(), files_.connection()}) {
    for (const std::string& sql : preparedTexts(db)) {
      if (sql.rfind("BEGIN", 0) == 0 || sql == "COMMIT;" || sql == "ROLLBACK;") continue;
      for (const std::string& step : queryPlan(db, sql)) {
        EXPECT_EQ(step.find("SCAN"), std::string::npos) << sql << "\n  " << step;
      }
    }
  }
}

TEST_F(DatabaseTest, LoadRoom) {
  const std::string t = std::to_string(now());
  storeRoom("'lobby', 'bob', '', '', " + t + ", 20000, 0, NULL, NULL");
  storeRoom("'Vault', 'bob', 'pw', 'lead', " + t + ", 5, 1, NULL, 1");
  storeRoom("'den', 'bob', '', '', " + t + ", 5, 0, NULL, NULL");
  storeRoom("'ghost', NULL, '', '', " + t + ", 5, 0, NULL, NULL");
  struct {
    const char* name;
    const char* password;
    LoadOutcome outcome;
    const char* storedName;
    std::uint32_t maxUsers;
  } cases[] = {
      // found regardless of case; limited to 10000
      {"Lobby", "", LoadOutcome::Loaded, "lobby", 10000},
      // navigation room raised to its default
      {"vault", "pw", LoadOutcome::Loaded, "Vault", 32},
      {"VAULT", "lead", LoadOutcome::Loaded, "Vault", 32},
      {"Vault", "PW", LoadOutcome::WrongPassword, "", 0},  // passwords compare exactly
      {"Vault", "", LoadOutcome::WrongPassword, "", 0},
      {"den", "", LoadOutcome::Loaded, "den", 64},
      {"nowhere", "", LoadOutcome::NoSuchRoom, "", 0},
      {"ghost", "", LoadOutcome::NoSuchRoom, "", 0},  // NULL creator: not found
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.name) + "/" + c.password);
    EXPECT_EQ(loadRoom(c.name, c.password), c.outcome);
    if (c.outcome != LoadOutcome::Loaded) continue;
    EXPECT_STREQ(room_->record.name, c.storedName);
    EXPECT_STREQ(room_->record.creatorName, "bob");
    EXPECT_EQ(room_->record.maxUsers, c.maxUsers);
  }
  EXPECT_FALSE(sweep_.load());

  // Files are listed under the stored name, compared exactly; incomplete rows are left out.
  exec(files_.connection(),
       "INSERT INTO files VALUES('Vault', 'a', 'bob', 'eve', x'41', 1, 77, 1, 0);"
       "INSERT INTO files VALUES('Vault', 'b', 'bob', NULL, x'41', 1, 77, 1, 1);"
       "INSERT INTO files VALUES('vault', 'c', 'bob', 'eve', x'41', 1, 77, 1, 1);");
  ASSERT_EQ(loadRoom("VAULT", "pw"), LoadOutcome::Loaded);
  ASSERT_TRUE(room_->files && room_->files->size() == 1);
  const FileRecord& file = *room_->files->front();
  EXPECT_EQ(std::string(file.fileName) + file.editorName, "aeve");
  EXPECT_TRUE(file.length == 1 && file.lastEdited == 77 && file.usersCanRead &&
              !file.usersCanWrite && !file.hasContent());
  ASSERT_EQ(loadRoom("den"), LoadOutcome::Loaded);
  EXPECT_EQ(room_->files, nullptr);
}

TEST_F(DatabaseTest, RoomExpiresAtExactlyThePeriod) {
  for (std::int64_t age :
       {std::int64_t{604800}, std::int64_t{604799}, std::int64_t{-3600}, now()}) {
    SCOPED_TRACE(age);
    std::int64_t before;
    LoadOutcome outcome;
    do {  // again if the clock's second turned during the case
      before = now();
      storeRoom("'old', 'bob', '', '', " + std::to_string(before - age) + ", 10, 0, 0, 0");
      sweep_ = false;
      outcome = loadRoom("old");
    } while (now() != before);
    const bool expired = age >= 604800;
    EXPECT_EQ(outcome, expired ? LoadOutcome::NoSuchRoom : LoadOutcome::Loaded);
    EXPECT_EQ(sweep_.load(), expired);
    EXPECT_EQ(integer(mainDb(), "SELECT COUNT(*) FROM channels"), 1);  // the row stays
  }
}

TEST_F(DatabaseTest, CreateRoom) {
  ASSERT_EQ(createRoom("Den"), CreateOutcome::Created);
  EXPECT_EQ(query(mainDb(), "SELECT MaxUsers || CreatorName FROM channels"), Rows{"64maker"});
  EXPECT_NEAR(room_->record.lastAccessed, now(), 2);
  EXPECT_EQ(room_->record.lastAccessed, integer(mainDb(), "SELECT LastAccessed FROM channels"));
  EXPECT_EQ(createRoom("DEN", "pw"), CreateOutcome::Exists);
  EXPECT_STREQ(room_->record.name, "Den");

  storeRoom("'Vault', 'bob', 'pw', 'lead', 1, 20, 1, 0, 0");
  ASSERT_EQ(createRoom("vault"), CreateOutcome::ExistsLocked);
  const RoomRecord& r = room_->record;
  EXPECT_EQ(std::string(r.creatorName) + r.password + r.leaderPassword, "bobpwlead");
  EXPECT_TRUE(r.maxUsers == 20 && r.lastAccessed == 1 && r.navigation);

  storeRoom("'ghost', NULL, '', '', 1, 5, 0, 0, 0");
  EXPECT_EQ(createRoom("ghost"), CreateOutcome::Failed);  // not found, yet the key is taken
}

TEST_F(DatabaseTest, SaveTouchAndDeleteRoom) {
  storeRoom("'Den', 'bob', '', '', 1, 5, 0, 0, 0");
  RoomRecord record = makeRoomRecord("den", "x", "new", "lead", 9, true, false);
  record.lastAccessed = 0x90000000;  // stored as the signed 32-bit value
  db_->saveRoom(record);
  EXPECT_EQ(query(mainDb(),
                  "SELECT Password || LeaderPassword || LastAccessed || bNavigation || "
                  "CreatorName FROM channels"),
            Rows{"newlead-18790481921bob"});

  record.lastAccessed = 0xFFFFFFFF;
  db_->touchRoom(record);
  EXPECT_EQ(integer(mainDb(), "SELECT LastAccessed FROM channels"), -1);
  ASSERT_EQ(loadRoom("Den", "new"), LoadOutcome::Loaded);  // ahead of the clock
  EXPECT_EQ(room_->record.lastAccessed, 0xFFFFFFFFu);

  db_->deleteRoom(record);
  EXPECT_EQ(integer(mainDb(), "SELECT COUNT(*) FROM channels"), 0);
}

TEST_F(DatabaseTest, RegisterAndLookUpUsers) {
  VelmorRegisterUserQuery reg;
  copyText(reg.name, "alice");
  copyText(reg.salt, "s4lt");
  std::memset(reg.passwordHash, 0xAB, sizeof(reg.passwordHash));
  EXPECT_EQ(db_->registerUser(reg), StoreOutcome::Stored);
  EXPECT_NEAR(integer(mainDb(), "SELECT RegisteredTime FROM users"), now(), 2);
  copyText(reg.name, "Alice");
  EXPECT_EQ(db_->registerUser(reg), StoreOutcome::Refused);

  exec(mainDb(),
       "INSERT INTO users VALUES('carol', x'00', x'0102', 'salt', 1, 1);"
       "INSERT INTO users VALUES('dave', x'00', x'abababababababababababababababab', "
       "'0123456789abcdefXYZ', 1, 1);");
  struct {
    const char* name;
    LookupOutcome outcome;
    const char* nameAfter;
    const char* salt;
  } cases[] = {
      {"ALICE", LookupOutcome::Found, "alice", "s4lt"},
      {"bob", LookupOutcome::NotFound, "bob", ""},
      {"carol", LookupOutcome::NotFound, "carol", ""},  // hash shorter than 16 bytes: no account
      {"dave", LookupOutcome::Found, "dave", "0123456789abcde"},  // salt cut to its field
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    VelmorUserQuery user;
    copyText(user.name, c.name);
    EXPECT_EQ(db_->lookupUser(user), c.outcome);
    EXPECT_STREQ(user.name, c.nameAfter);
    EXPECT_STREQ(user.salt, c.salt);
    EXPECT_EQ(user.passwordHash[15], c.outcome == LookupOutcome::Found ? 0xAB : 0);
  }
}

TEST_F(DatabaseTest, ConfiguredRoomsReplaceUserChangesAtEveryStart) {
  const std::vector<RoomConfig> rooms{{true, "Main", "pw", "lead", 0, true, false},
                                      {false, "Chat", "", "", 12, false, true},
                                      {false, std::string(40, 'n'), "", "", 0, false, false}};
  db_->writeConfiguredRooms(rooms);
  exec(mainDb(),
       "UPDATE channels SET CreatorName='eve', Password='x', LeaderPassword='y', "
       "LastAccessed=5, MaxUsers=99, bNavigation=0, bLoadAtStartup=0");
  storeRoom("'ghost', NULL, '', '', 1, 20000, 0, 1, 1");
  storeRoom("'broken', 'bob', NULL, '', 1, 5, 0, 0, 0");

  db_.reset();  // the next start, on the existing file
  db_ = std::make_unique<MainDatabase>(dir_.path(), kLimits, files_, sweep_, clock_);
  db_->writeConfiguredRooms(rooms);
  EXPECT_EQ(query(mainDb(),
                  "SELECT Name || CreatorName || Password || LeaderPassword || MaxUsers "
                  "|| bNavigation || bLoadAtStartup || bNeverSleeps FROM channels "
                  "WHERE Name IN ('Main', 'Chat') ORDER BY Name"),
            (Rows{"Chatserver12001", "Mainserverpwlead32110"}));
  EXPECT_NEAR(integer(mainDb(), "SELECT MIN(LastAccessed) FROM channels WHERE Name='Main'"), now(),
              2);
  EXPECT_EQ(integer(mainDb(), "SELECT MAX(LENGTH(Name)) FROM channels"), 31);

  Rows loaded;  // 'broken', with its NULL password, is skipped
  db_->loadStoredRooms([&](const RoomRecord& r, bool live) {
    loaded.push_back(std::string(r.lowerName) + "/" + r.creatorName + "/" +
                     std::to_string(r.maxUsers) + (live ? "L" : "") + (r.neverSleeps ? "N" : ""));
  });
  std::sort(loaded.begin(), loaded.end());
  EXPECT_EQ(loaded, (Rows{"chat/server/12N", "ghost//10000LN", "main/server/32L",
                          std::string(31, 'n') + "/server/64"}));
}

class FileDatabaseTest : public DatabaseTest {
 protected:
  // A query on the file `name` of room Vault; a save's record holds `content`.
  enum class Work { Save, Load, Delete };
  std::unique_ptr<VelmorFileQuery> fileQuery(Work work, const char* name,
                                             const std::string& content = "") {
    auto q = std::make_unique<VelmorFileQuery>();
    copyText(q->roomName, "Vault");
    q->file = work == Work::Save
                  ? FileRecord::createWithContent(static_cast<std::uint32_t>(content.size()))
                  : FileRecord::create();
    copyText(q->file->fileName, name);
    copyText(q->file->editorName, "eve");
    q->file->length = static_cast<std::uint32_t>(content.size());
    std::copy(content.begin(), content.end(), q->file->content());
    q->file->lastEdited = 99;
    return q;
  }
  bool found(const char* name) {
    auto q = fileQuery(Work::Load, name);
    return files_.loadContent(*q) == LookupOutcome::Found;
  }
};

TEST_F(FileDatabaseTest, SaveLoadAndDelete) {
  files_.saveFile(*fileQuery(Work::Save, "a", "first"));
  files_.saveFile(*fileQuery(Work::Save, "a", "second"));
  EXPECT_EQ(query(files_.connection(), "SELECT CAST(Content AS TEXT) || Length FROM files"),
            Rows{"second6"});

  auto read = fileQuery(Work::Load, "a");
  ASSERT_TRUE(files_.loadContent(*read) == LookupOutcome::Found && read->loaded);
  EXPECT_STREQ(read->loaded->content(), "second");
  EXPECT_TRUE(read->loaded->length == 6 && read->loaded->capacity == 6);
  EXPECT_TRUE(read->loaded->lastEdited == 99 && read->file->contentRequested);
  // the content of a record is read only once
  EXPECT_TRUE(files_.loadContent(*read) == LookupOutcome::NotFound && !read->loaded);

  files_.deleteFile(*fileQuery(Work::Delete, "a"));
  EXPECT_EQ(integer(files_.connection(), "SELECT COUNT(*) FROM files"), 0);
}

TEST_F(FileDatabaseTest, EmptyOrDamagedContentIsNotFound) {
  files_.saveFile(*fileQuery(Work::Save, "empty"));
  files_.saveFile(*fileQuery(Work::Save, "short", "abc"));
  exec(files_.connection(), "UPDATE files SET Length=100 WHERE FileName='short'");
  EXPECT_FALSE(found("empty"));
  EXPECT_FALSE(found("short"));
  EXPECT_FALSE(found("missing"));
}

TEST(DatabaseDeathTest, UnopenableFileEndsTheProcess) {
  const std::pair<const char*, const char*> cases[] = {
      {FileDatabase::kFileName, "Error opening file data database\\."},
      {MainDatabase::kFileName, "Unable to open database\\."}};
  for (const auto& [inTheWay, message] : cases) {
    test::TempDir dir;
    std::filesystem::create_directory(dir.file(inTheWay));
    EXPECT_EXIT(
        {
          dup2(STDERR_FILENO, STDOUT_FILENO);  // the death test matches what fatalExit writes
          FileDatabase files(dir.path());
          std::atomic<bool> sweep{false};
          SystemClock system;
          ServerClock clock{system};
          MainDatabase db(dir.path(), kLimits, files, sweep, clock);
        },
        testing::ExitedWithCode(1), message);
  }
}

}  // namespace
}  // namespace velmor
