// The storage refuses work for a while (another program writes to a database file past the
// server's busy timeout, as an operator's shell can): nothing the server acknowledged is
// lost, work keeps its order, and a room never comes up without its files. Also the file transfers
// that must keep their limits and their writers told, and a configured room whose name changes
// case. Against the real executable.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "support/Databases.h"
#include "support/Eventually.h"
#include "support/ProcessTest.h"
#include "support/TestClient.h"

namespace velmor {
namespace {

using namespace std::chrono_literals;
using client::ServerMessage;
using test::TestClient;
using W = client::RequestWriter;
using test::eventually;
using wire::ServerCode;

constexpr int kBusyTimeoutMs = 200;
// Longer than the busy timeout: the server's statements give up while it lasts.
constexpr auto kLockHeld = std::chrono::milliseconds(4 * kBusyTimeoutMs);

// A connection of the test's own that holds the write lock of a database file, as another
// program writing would: the server's writes do not get through meanwhile (its reads do: the
// databases keep a write-ahead log).
class Lock {
 public:
  explicit Lock(const std::string& path) : file_(path) {
    // The server may be in a batch of its own: take the lock as soon as it is free.
    locked_ = eventually([this] { return file_.exec("BEGIN EXCLUSIVE;"); });
  }
  ~Lock() { release(); }
  bool locked() const { return locked_; }
  void release() {
    if (locked_) file_.exec("ROLLBACK;");
    locked_ = false;
  }

 private:
  test::SqlFile file_;
  bool locked_ = false;
};

class StorageBusyTest : public test::ProcessTest {
 protected:
  void start(const std::string& settings) {
    ProcessTest::start(R"("busytimeout": )" + std::to_string(kBusyTimeoutMs) + ", " + settings);
  }
  std::string mainDb() const { return server->dir().file("velmordata.db"); }
  std::string filesDb() const { return server->dir().file("velmorfiledata.db"); }
  std::string stored(const std::string& db, const std::string& sql) {
    test::SqlFile file(db);
    return file.value(sql);
  }
  std::string content(const std::string& file) {
    return stored(filesDb(),
                  "SELECT CAST(Content AS TEXT) FROM files WHERE FileName='" + file + "';");
  }
  static bool saved(TestClient& c) { return c.waitFor(ServerCode::FileSaved).has_value(); }
  // How much work waits for the storage, as the status text tells `c`.
  static std::string waitingForStorage(TestClient& c) {
    c.request([](W& w) { w.statusRequest(""); });
    auto status = c.waitFor(ServerCode::StatusText);
    const std::string text = status ? status->text(0) : "";
    const std::string label = "Waiting for storage: ";
    const std::size_t at = text.find(label);
    if (at == std::string::npos) return "";
    const std::size_t from = at + label.size();
    return text.substr(from, text.find('\n', from) - from);
  }
  // A leader of Hall whose file "notes" holds "first", stored.
  std::unique_ptr<TestClient> keeperOfNotes() {
    auto keeper = member("Keeper");
    enter(*keeper, "Hall", "lead");
    keeper->request([](W& w) { w.createFile("notes", 1, 1).writeFile(5, "notes", "first"); });
    EXPECT_TRUE(saved(*keeper));
    EXPECT_TRUE(eventually([&] { return content("notes") == "first"; }));
    return keeper;
  }
  static std::vector<std::string> listedFiles(TestClient& c) {
    c.request([](W& w) { w.listFiles(); });
    std::vector<std::string> names;
    if (auto list = c.waitFor(ServerCode::FileList)) {
      for (const auto& file : list->files) names.push_back(file.name);
    }
    return names;
  }
  // Uploads `data` in chunks, one per FileChunkAck; the answer that ends it (FileSaved, or
  // the refusal), or nothing.
  static std::optional<ServerCode> upload(TestClient& c, const std::string& name,
                                          const std::string& data) {
    constexpr std::size_t kChunk = 8000;
    const auto total = static_cast<std::uint32_t>(data.size());
    for (std::size_t at = 0;; at += kChunk) {
      const std::string_view chunk = std::string_view(data).substr(at, kChunk);
      c.request([&](W& w) { at == 0 ? w.writeFile(total, name, chunk) : w.fileChunk(chunk); });
      std::optional<ServerMessage> m;
      do m = c.next(5s);
      while (m && !isFileAnswer(*m));
      if (!m) return std::nullopt;
      if (!m->is(ServerCode::FileChunkAck)) return static_cast<ServerCode>(m->code);
    }
  }
  static bool isFileAnswer(const ServerMessage& m) {
    return m.is(ServerCode::FileChunkAck) || m.is(ServerCode::FileSaved) ||
           m.is(ServerCode::FileTooLarge) || m.is(ServerCode::FileNotFound) ||
           m.is(ServerCode::FileAccessDenied);
  }
  // A file an earlier room "Den" left in the storage, and a trigger of the test's own that rolls
  // back the file database's transaction of any deletion until it is dropped.
  std::unique_ptr<test::SqlFile> leftoverFileWhoseRemovalRollsBack() {
    storeFile("Den", "old", "left over");
    auto files = std::make_unique<test::SqlFile>(filesDb());
    EXPECT_TRUE(
        files->exec("CREATE TRIGGER refuse BEFORE DELETE ON files "
                    "BEGIN SELECT RAISE(ROLLBACK, 'refused'); END;"));
    return files;
  }
  // A file row put straight into the storage, as an earlier run of the server left it.
  void storeFile(const std::string& roomName, const std::string& file, const std::string& text) {
    test::SqlFile files(filesDb());
    ASSERT_TRUE(files.exec(
        "INSERT INTO files (RoomName, FileName, CreatorName, EditorName, Content, Length, "
        "LastEdited, UsersCanRead, UsersCanWrite) VALUES ('" +
        roomName + "', '" + file + "', 'server', 'server', CAST('" + text + "' AS BLOB), " +
        std::to_string(text.size()) + ", 1000, 1, 1);"));
  }
};

// A file rewritten while the file database is locked is answered FileSaved at once, and
// stored once the lock is gone.
TEST_F(StorageBusyTest, FileRewrittenWhileTheFileDatabaseIsLockedIsStoredAfterwards) {
  start(test::roomsSetting({{"Hall"}}));
  auto keeper = keeperOfNotes();
  {
    Lock lock(filesDb());
    ASSERT_TRUE(lock.locked());
    // Each version replaces the one kept before it: one save waits, not ten copies.
    for (int i = 0; i < 10; ++i) {
      keeper->request([i](W& w) { w.writeFile(7, "notes", "second" + std::to_string(i)); });
      ASSERT_TRUE(saved(*keeper));
    }
    std::this_thread::sleep_for(kLockHeld);  // a few rounds of trying them again
    EXPECT_EQ(waitingForStorage(*keeper), "1");
  }
  EXPECT_TRUE(eventually([&] { return content("notes") == "second9"; }))
      << "the acknowledged content was never stored";
}

// A save and then a delete of the same file while the storage refuses them: they are
// stored in that order, so the file ends deleted.
TEST_F(StorageBusyTest, SaveThenDeleteOfTheSameFileWhileLockedEndsDeleted) {
  start(test::roomsSetting({{"Hall"}}));
  auto keeper = keeperOfNotes();
  {
    Lock lock(filesDb());
    ASSERT_TRUE(lock.locked());
    keeper->request([](W& w) { w.writeFile(6, "notes", "second").deleteFile("notes"); });
    ASSERT_TRUE(keeper->waitFor(ServerCode::FileDeleted));
    std::this_thread::sleep_for(kLockHeld);
  }
  // Work on the room keeps its order: a later file is stored after both.
  keeper->request([](W& w) { w.createFile("marker", 1, 1); });
  ASSERT_TRUE(keeper->waitFor(ServerCode::FileCreated));
  ASSERT_TRUE(eventually([&] {
    return stored(filesDb(), "SELECT COUNT(*) FROM files WHERE FileName='marker';") == "1";
  }));
  EXPECT_EQ(stored(filesDb(), "SELECT COUNT(*) FROM files WHERE FileName='notes';"), "0");
}

// A room put to sleep while the main database is locked keeps its new passwords: entered
// meanwhile it wakes as it was, and once the lock is gone its row holds them.
TEST_F(StorageBusyTest, RoomPutToSleepWhileTheMainDatabaseIsLockedKeepsItsNewPasswords) {
  start(R"("roomidletime": 1, )" + test::roomsSetting({{"Den", "", "lead", false}}));
  auto leader = member("Chief");
  auto watcher = std::make_unique<TestClient>(server->port());
  ASSERT_TRUE(watcher->loginAsGuest("Watcher"));
  auto early = std::make_unique<TestClient>(server->port());
  ASSERT_TRUE(early->loginAsGuest("Early"));  // a login reads the accounts: before the lock
  enter(*leader, "Den", "lead");
  leader->request([](W& w) { w.setRoomPasswords("newpw", "newlead").leaveRoom(); });
  ASSERT_TRUE(leader->waitFor(ServerCode::RoomLeft));
  {
    Lock lock(mainDb());
    ASSERT_TRUE(lock.locked());
    ASSERT_TRUE(watcher->waitFor(ServerCode::RoomClosed, 5s)) << "Den went to sleep";
    std::this_thread::sleep_for(kLockHeld);
    enter(*early, "Den", "newpw");  // woken from the room as it went to sleep
    early->request([](W& w) { w.leaveRoom(); });
    ASSERT_TRUE(early->waitFor(ServerCode::RoomLeft));
  }
  ASSERT_TRUE(eventually([&] {
    return stored(mainDb(), "SELECT Password FROM channels WHERE Name='Den';") == "newpw";
  })) << "the room's new passwords were never stored";
  EXPECT_EQ(stored(mainDb(), "SELECT LeaderPassword FROM channels WHERE Name='Den';"), "newlead");
  auto late = std::make_unique<TestClient>(server->port());
  ASSERT_TRUE(late->loginAsGuest("Late"));
  enter(*late, "Den", "newpw");
}

// What the storage still refuses when the server stops is tried until the shutdown limit,
// then named on the console; the exit status says changes were lost.
TEST_F(StorageBusyTest, ChangeStillRefusedAtTheStopIsNamedOnTheConsole) {
  // The stop comes while the change is kept (the busy timeout ran out before), or in the
  // middle of a busy wait far longer than the stop may take: either way its limit counts
  // from the stop, and the change is named before the watchdog would end the process.
  for (const int busyTimeoutMs : {kBusyTimeoutMs, 30000}) {
    SCOPED_TRACE(busyTimeoutMs);
    ProcessTest::start(R"("busytimeout": )" + std::to_string(busyTimeoutMs) + ", " +
                       test::roomsSetting({{"Hall"}}));
    auto keeper = member("Keeper");
    enter(*keeper, "Hall", "lead");
    keeper->request([](W& w) { w.createFile("notes", 1, 1); });
    ASSERT_TRUE(keeper->waitFor(ServerCode::FileCreated));
    ASSERT_TRUE(eventually([&] {
      return stored(filesDb(), "SELECT COUNT(*) FROM files WHERE FileName='notes';") == "1";
    }));
    Lock lock(filesDb());
    ASSERT_TRUE(lock.locked());
    keeper->request([](W& w) { w.writeFile(6, "notes", "second"); });
    ASSERT_TRUE(saved(*keeper));
    server->signal(SIGINT);
    EXPECT_EQ(server->waitExit(15s), 1) << server->output();
    EXPECT_NE(server->output().find("Not stored: content of file notes of room Hall"),
              std::string::npos)
        << server->output();
  }
}

// A member who logs in while another program writes to the accounts is answered with his
// challenge, never as a guest under his own name.
TEST_F(StorageBusyTest, MemberLoggingInWhileTheMainDatabaseIsLockedIsNotTakenForAGuest) {
  start("");
  member("Mia");
  auto again = std::make_unique<TestClient>(server->port());
  {
    Lock lock(mainDb());
    ASSERT_TRUE(lock.locked());
    client::LoginFields fields;
    fields.name = "Mia";
    again->request([&](W& w) { w.login(fields); });
    std::this_thread::sleep_for(kLockHeld);
  }
  auto answer = again->next(5s);
  ASSERT_TRUE(answer);
  EXPECT_TRUE(answer->is(ServerCode::LoginChallenge)) << answer->describe();
}

// A stored room woken while another program writes to the file database does not come up
// without its files: the room lists its file, which cannot be created over.
TEST_F(StorageBusyTest, RoomWokenWhileTheFileDatabaseIsLockedComesUpWithItsFiles) {
  start(test::roomsSetting({{"Attic", "", "lead", false}}));
  storeFile("Attic", "notes", "kept");
  auto keeper = member("Keeper");
  {
    Lock lock(filesDb());
    ASSERT_TRUE(lock.locked());
    keeper->request([](W& w) { w.enterRoom("Attic", "lead"); });
    std::this_thread::sleep_for(kLockHeld);
  }
  ASSERT_TRUE(keeper->waitFor(ServerCode::MemberList, 10s));
  EXPECT_EQ(listedFiles(*keeper), std::vector<std::string>{"notes"});
  keeper->request([](W& w) { w.createFile("NOTES", 1, 1); });
  EXPECT_TRUE(keeper->answer(ServerCode::FileExists, [](const ServerMessage& m) {
    return m.is(ServerCode::FileExists) || m.is(ServerCode::FileCreated);
  }));
}

// A file read waits behind a file change kept for the locked file database, while its room
// falls asleep (its save waiting for the locked main database) and is woken again: the late
// load finds the room by its name, not the one it came from, and the reader gets the file,
// then and later.
TEST_F(StorageBusyTest, FileReadOutlivesItsRoomFallingAsleepAndWaking) {
  start(R"("roomidletime": 1, )" + test::roomsSetting({{"Attic", "", "lead", false}}));
  storeFile("Attic", "notes", "kept");
  auto keeper = member("Keeper");
  enter(*keeper, "Attic", "lead");
  {
    Lock files(filesDb());
    Lock rows(mainDb());
    ASSERT_TRUE(files.locked() && rows.locked());
    keeper->request([](W& w) { w.createFile("other", 1, 1).readFile("notes", 0).leaveRoom(); });
    ASSERT_TRUE(keeper->waitFor(ServerCode::RoomClosed, 10s));  // asleep, its save held
    enter(*keeper, "Attic", "lead");                            // woken from its save
  }
  for (const char* read : {"the read that waited", "a later read"}) {
    SCOPED_TRACE(read);
    auto file = keeper->waitFor(ServerCode::FileContent, 10s);
    ASSERT_TRUE(file);
    EXPECT_EQ(file->text(0), "kept");
    keeper->request([](W& w) { w.readFile("notes", 0); });
  }
}

// One frame of 60 room creations while the main database is locked: the work in flight
// stops at its bound within the frame, and its author is not left hanging meanwhile: past the
// bound his creations are refused at once, his line is heard and his leaving seen while the
// lock lasts. The 32 that wait are stored once the storage takes them.
TEST_F(StorageBusyTest, UserAtHisStorageBoundWhileTheStorageFailsIsStillServed) {
  start(R"("userscancreateroom": true, )" + test::roomsSetting({{"Hall"}}));
  auto maker = member("Maker");
  TestClient watcher(server->port(), 3);
  ASSERT_TRUE(watcher.loginAsGuest("Watcher"));
  enter(*maker, "Hall", "");
  enter(watcher, "Hall", "");
  Lock lock(mainDb());
  ASSERT_TRUE(lock.locked());
  maker->request([](W& w) {
    for (int i = 0; i < 60; ++i) w.createRoom("Den" + std::to_string(i), "", "lead", 0);
  });
  std::size_t refused = 0;
  while (refused < 28 && maker->waitFor(ServerCode::RoomCreateFailed, 10s)) ++refused;
  EXPECT_EQ(refused, 28u);
  maker->request([](W& w) { w.roomChat("still here"); });
  auto line = watcher.waitFor(ServerCode::RoomLine, 5s);
  ASSERT_TRUE(line) << "the line of a user at his bound";
  EXPECT_TRUE(eventually([&] { return waitingForStorage(watcher) == "32"; }));
  maker.reset();
  EXPECT_TRUE(watcher.waitFor(ServerCode::MemberLeft, 5s)) << "his close, seen";
  lock.release();
  EXPECT_TRUE(eventually([&] {
    return stored(mainDb(), "SELECT COUNT(*) FROM channels WHERE Name LIKE 'Den%';") == "32";
  }));
}

// Another program holds the main database's write lock for less than the busy timeout: a
// write that follows a read in its batch (a room creation reads the name first) waits for
// it as a registration does, instead of failing at once.
TEST_F(StorageBusyTest, WriteAfterAReadInItsBatchWaitsOutALockShorterThanTheBusyTimeout) {
  start(R"("userscancreateroom": true,)");
  auto guest = std::make_unique<TestClient>(server->port());
  ASSERT_TRUE(guest->loginAsGuest("Newcomer"));
  auto maker = member("Maker");
  struct Row {
    const char* name;
    TestClient& asker;
    std::function<void(W&)> ask;
    ServerCode done;
    ServerCode failed;
  };
  const Row rows[] = {
      {"registration", *guest,
       [](W& w) { w.registerAccount(test::testHash(1), test::testHash(2)); },
       ServerCode::Registered, ServerCode::RegistrationFailed},
      {"room creation", *maker, [](W& w) { w.createRoom("Den", "", "lead", 0); },
       ServerCode::RoomCreated, ServerCode::RoomCreateFailed},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    {
      Lock lock(mainDb());
      ASSERT_TRUE(lock.locked());
      row.asker.request(row.ask);
      std::this_thread::sleep_for(std::chrono::milliseconds(kBusyTimeoutMs / 2));
    }
    EXPECT_TRUE(row.asker.answer(
        row.done, [&](const ServerMessage& m) { return m.is(row.done) || m.is(row.failed); }));
  }
}

// A member who goes on writing big files while the file database is locked, and comes back on
// a new connection: what waits for the storage stays within his address's share, refused past
// it before it is acknowledged (also after he reconnects), while another address still
// writes; the server's memory follows what waits.
TEST_F(StorageBusyTest, ChangesKeptForAFailingStorageStayWithinTheirAddressShare) {
  start(test::roomsSetting({{"Hall"}}));
  constexpr int kWritersHost = 5;
  auto writer = member("Writer", "", kWritersHost);
  auto neighbour = member("Neighbour", "", 6);
  enter(*writer, "Hall", "lead");
  enter(*neighbour, "Hall", "lead");
  writer->request([](W& w) {
    for (int i = 0; i < 16; ++i) w.createFile("f" + std::to_string(i), 1, 1);
  });
  for (int i = 0; i < 16; ++i) ASSERT_TRUE(writer->waitFor(ServerCode::FileCreated));
  ASSERT_TRUE(eventually([&] { return stored(filesDb(), "SELECT COUNT(*) FROM files;") == "16"; }));
  const std::uint64_t residentBefore = server->residentKb();
  Lock lock(filesDb());
  ASSERT_TRUE(lock.locked());
  const std::string big(600000, 'x');  // 13 of them fit an address's share of 8 MiB
  int saved = 0;
  std::optional<ServerCode> last;
  while (saved < 16 && (last = upload(*writer, "f" + std::to_string(saved), big)) &&
         *last == ServerCode::FileSaved) {
    ++saved;
  }
  EXPECT_EQ(saved, 13);
  EXPECT_EQ(last, ServerCode::FileTooLarge);
  writer = std::make_unique<TestClient>(server->port(), kWritersHost);
  ASSERT_TRUE(writer->loginAsMember("Writer", memberHash("Writer")));
  enter(*writer, "Hall", "lead");
  EXPECT_EQ(upload(*writer, "f14", big), ServerCode::FileTooLarge) << "after reconnecting";
  EXPECT_EQ(upload(*neighbour, "f15", big), ServerCode::FileSaved) << "from another address";
  const std::uint64_t grownKb = server->residentKb() - residentBefore;
  RecordProperty("grown_kb", std::to_string(grownKb));  // while 14 uploads of 600 KB wait
  EXPECT_LT(grownKb, 64u * 1024);
  lock.release();
  EXPECT_TRUE(eventually([&] {
    return stored(filesDb(), "SELECT COUNT(*) FROM files WHERE Length = 600000;") == "14";
  }));
}

// A room created under a name whose files an earlier room left in the storage, while the
// file database rolls back the removal of those files (a trigger of the test's own): the room
// exists, as its row was stored, and is answered so; the old files go once the storage takes
// their removal, and the new room never lists them.
TEST_F(StorageBusyTest, CreationWhoseFilePartRolledBackStandsAndItsOldFilesGo) {
  start(R"("userscancreateroom": true,)");
  auto files = leftoverFileWhoseRemovalRollsBack();
  auto maker = member("Maker");
  maker->request([](W& w) { w.createRoom("Den", "", "lead", 0); });
  EXPECT_TRUE(maker->answer(ServerCode::RoomCreated, [](const ServerMessage& m) {
    return m.is(ServerCode::RoomCreated) || m.is(ServerCode::RoomCreateFailed);
  }));
  maker->request([](W& w) { w.enterRoom("Den", "lead"); });
  // The worker tries the removal again and again, each time in a write of its own.
  ASSERT_TRUE(eventually([&] { return files->exec("DROP TRIGGER refuse;"); }));
  ASSERT_TRUE(maker->waitFor(ServerCode::MemberList, 10s));
  EXPECT_TRUE(listedFiles(*maker).empty());
  EXPECT_EQ(stored(filesDb(), "SELECT COUNT(*) FROM files;"), "0");
}

// The same, when the creation is done while the server stops (the main database was locked
// until the stop began): the removal of the old files is still work the stop carries out,
// not a post that comes too late to be taken.
TEST_F(StorageBusyTest, CreationDoneDuringTheStopStillRemovesItsOldFiles) {
  start(R"("userscancreateroom": true,)");
  auto files = leftoverFileWhoseRemovalRollsBack();
  auto maker = member("Maker");
  Lock rows(mainDb());
  ASSERT_TRUE(rows.locked());
  maker->request([](W& w) { w.createRoom("Den", "", "lead", 0); });
  ASSERT_TRUE(eventually([&] { return waitingForStorage(*maker) == "1"; }));  // kept
  server->signal(SIGINT);
  rows.release();
  ASSERT_TRUE(eventually(
      [&] { return stored(mainDb(), "SELECT COUNT(*) FROM channels WHERE Name='Den';") == "1"; }));
  ASSERT_TRUE(eventually([&] { return files->exec("DROP TRIGGER refuse;"); }));
  EXPECT_EQ(server->waitExit(15s), 0) << server->output();
  EXPECT_EQ(stored(filesDb(), "SELECT COUNT(*) FROM files;"), "0");
}

// An upload that completes after its file was deleted (and another created under the same
// name in other capitals) is refused: the room keeps its 16 files and one spelling.
TEST_F(StorageBusyTest, UploadFinishedAfterItsFileWasDeletedIsRefused) {
  start(test::roomsSetting({{"Hall"}}));
  auto owner = member("Owner");
  auto writer = member("Writer");
  enter(*owner, "Hall", "lead");
  enter(*writer, "Hall", "");
  owner->request([](W& w) {
    for (int i = 0; i < 15; ++i) w.createFile("Tale" + std::to_string(i), 1, 1);
    w.createFile("TaleN", 1, 1);
  });
  for (int i = 0; i < 16; ++i) ASSERT_TRUE(owner->waitFor(ServerCode::FileCreated));
  writer->request([](W& w) { w.writeFile(10, "TaleN", "12345"); });
  ASSERT_TRUE(writer->waitFor(ServerCode::FileChunkAck));
  owner->request([](W& w) { w.deleteFile("TaleN").createFile("TALEN", 1, 1); });
  ASSERT_TRUE(owner->waitFor(ServerCode::FileCreated));
  writer->request([](W& w) { w.fileChunk("67890"); });
  EXPECT_TRUE(writer->answer(ServerCode::FileNotFound, [](const ServerMessage& m) {
    return m.is(ServerCode::FileNotFound) || m.is(ServerCode::FileSaved);
  }));
  const std::vector<std::string> files = listedFiles(*owner);
  EXPECT_EQ(files.size(), 16u);
  EXPECT_EQ(std::count(files.begin(), files.end(), "TaleN"), 0);
}

// A read whose content must first be loaded, then an upload, in one frame: the read's late
// answer does not end the upload, whose every chunk is answered.
TEST_F(StorageBusyTest, LateReadAnswerDoesNotEndAnUploadBegunAfterIt) {
  start(test::roomsSetting({{"Attic", "", "lead", false}}));
  storeFile("Attic", "notes", std::string(9000, 'x'));  // more than one piece: a download
  auto keeper = member("Keeper");
  enter(*keeper, "Attic", "lead");
  const std::string half(8000, 'a');
  keeper->request([&](W& w) { w.readFile("notes", 0).writeFile(16000, "notes", half); });
  ASSERT_TRUE(keeper->waitFor(ServerCode::FileChunkAck));
  ASSERT_TRUE(keeper->waitFor(ServerCode::FileContent)) << "the read's answer";
  keeper->request([&](W& w) { w.fileChunk(half); });
  EXPECT_TRUE(keeper->answer(ServerCode::FileSaved, [](const ServerMessage& m) {
    return m.is(ServerCode::FileSaved) || m.is(ServerCode::FileChunkAck) ||
           m.is(ServerCode::FileNotFound) || m.is(ServerCode::FileAccessDenied);
  }));
}

// A configured room whose name the settings now spell in other capitals keeps its stored
// spelling, and with it its files.
TEST_F(StorageBusyTest, ConfiguredRoomRespeltInOtherCapitalsKeepsItsFiles) {
  start(test::roomsSetting({{"Hall"}}));
  {
    auto keeper = member("Keeper");
    enter(*keeper, "Hall", "lead");
    keeper->request([](W& w) { w.createFile("notes", 1, 1).writeFile(4, "notes", "kept"); });
    ASSERT_TRUE(saved(*keeper));
    ASSERT_TRUE(eventually([&] { return content("notes") == "kept"; }));
  }
  stop();
  server->setSettingsText(R"({"busytimeout": 200, )" + test::roomsSetting({{"HALL"}}) +
                          R"( "useupnp": false, "bindaddress": "127.0.0.1", "serverport": )" +
                          std::to_string(server->port()) + "}");
  resume();
  auto visitor = std::make_unique<TestClient>(server->port());
  ASSERT_TRUE(visitor->loginAsGuest("Visitor"));
  enter(*visitor, "hall", "lead");
  EXPECT_EQ(listedFiles(*visitor), std::vector<std::string>{"notes"});
  EXPECT_EQ(stored(mainDb(), "SELECT Name FROM channels;"), "Hall");
}

// A server ban made while the main database is locked holds at once, and is stored once the
// lock is gone.
TEST_F(StorageBusyTest, ServerBanMadeWhileTheMainDatabaseIsLockedHoldsAndIsStoredAfterwards) {
  start(R"("adminpassword": "root",)");
  auto chief = member("Chief", "root");
  auto rogue = connect(12);
  ASSERT_TRUE(rogue->loginAsGuest("Rogue"));
  {
    Lock lock(mainDb());
    ASSERT_TRUE(lock.locked());
    chief->request([](W& w) { w.serverBan("rogue", "cheating", 0xFFFFFFFF); });
    ASSERT_TRUE(rogue->waitFor(ServerCode::BannedFromServer));
    std::this_thread::sleep_for(kLockHeld);  // a few rounds of trying it again
    EXPECT_EQ(stored(mainDb(), "SELECT COUNT(*) FROM serverbans;"), "0");
    auto again = connect(12);
    auto banned = again->waitFor(ServerCode::Banned);
    ASSERT_TRUE(banned) << "the ban holds while it waits for the storage";
    EXPECT_EQ(banned->text(0), "Rogue");
  }
  EXPECT_TRUE(eventually([&] {
    return stored(mainDb(), "SELECT Name || ' ' || Address || ' ' || Mask FROM serverbans;") ==
           "Rogue 127.0.0.12 255.255.255.255";
  })) << "the ban was never stored";
}

}  // namespace
}  // namespace velmor
