// What becomes of a query whose poster goes away, or changes what it posted, while the query
// is still in flight. The server runs in the test's thread, so the test can keep the worker
// waiting (by holding the query lock) at exactly the moment that matters.
#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <string>

#include "base/FixedText.h"
#include "rooms/RoomRegistry.h"
#include "support/Databases.h"
#include "support/InProcessServer.h"
#include "support/TestClient.h"

namespace velmor {
namespace {

using namespace std::chrono_literals;
using W = client::RequestWriter;
using wire::ServerCode;

class PendingQueriesTest : public testing::Test {
 protected:
  PendingQueriesTest()
      : server([](Settings& s) {
          s.adminpassword = "root";
          s.rooms.push_back(RoomConfig{false, "Archive", "", "lead", 0, true, false});
          s.rooms.push_back(RoomConfig{false, "Cellar", "", "lead", 0, false, false});
        }) {}

  std::unique_ptr<test::TestClient> connect() {
    return std::make_unique<test::TestClient>(server.port(), 0,
                                              [this] { uv_run(server.loop(), UV_RUN_NOWAIT); });
  }
  // A registered member, leader of Archive when `lead`.
  std::unique_ptr<test::TestClient> member(const std::string& name,
                                           const std::string& password = "", bool lead = true) {
    auto c = connect();
    EXPECT_TRUE(c->loginAsGuest(name, password));
    EXPECT_TRUE(c->registerAccount(test::testHash(1)));
    if (lead) {
      c->request([](W& w) { w.enterRoom("Archive", "lead"); });
      EXPECT_TRUE(server.pumpUntil([&] { return findUser(name) && findUser(name)->room(); }));
    }
    return c;
  }
  User* findUser(const std::string& name) {
    for (User* user : server.core().online.list()) {
      if (name == user->identity().name) return user;
    }
    return nullptr;
  }
  Room& archive() { return *server.core().rooms.findLive("archive"); }
  std::string filesDb() const {
    return server.settings().applicationDirectory + "velmorfiledata.db";
  }
  // Lets the worker run everything posted so far.
  void drainWorker() {
    const std::uint64_t before = server.core().pipeline().batches();
    server.core().pipeline().queryLock().lock();  // a batch in progress ends first
    server.core().pipeline().queryLock().unlock();
    server.pumpUntil([&] { return server.core().pipeline().batches() > before; }, 1s);
    server.pumpFor(30ms);
  }

  test::InProcessServer server;
};

// The file changes are answered before their query runs; a poster who disconnects at once
// must not take the change back with him.
TEST_F(PendingQueriesTest, AcknowledgedFileChangesSurviveTheirPostersDisconnect) {
  auto keeper = member("Keeper");
  keeper->request([](W& w) {
    w.createFile("doc", 1, 1);
    w.writeFile(2, "doc", "v1");
  });
  ASSERT_TRUE(keeper->waitFor(ServerCode::FileSaved));
  drainWorker();

  struct Case {
    const char* change;
    void (*write)(W&);
    ServerCode answer;
    const char* query;
    const char* expected;
  };
  const Case cases[] = {
      {"create", [](W& w) { w.createFile("new", 1, 1); }, ServerCode::FileCreated,
       "SELECT COUNT(*) FROM files WHERE FileName='new';", "1"},
      {"save", [](W& w) { w.writeFile(2, "doc", "v2"); }, ServerCode::FileSaved,
       "SELECT CAST(Content AS TEXT) FROM files WHERE FileName='doc';", "v2"},
      {"access", [](W& w) { w.setFileAccess("doc", 0, 0); }, ServerCode::FileSaved,
       "SELECT UsersCanRead || UsersCanWrite FROM files WHERE FileName='doc';", "00"},
      {"delete", [](W& w) { w.deleteFile("doc"); }, ServerCode::FileDeleted,
       "SELECT COUNT(*) FROM files WHERE FileName='doc';", "0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.change);
    auto poster = member(std::string("Poster") + c.change);
    const int disconnects = server.server().disconnects;
    {
      std::lock_guard<std::mutex> hold(server.core().pipeline().queryLock());
      poster->request(c.write);
      ASSERT_TRUE(poster->waitFor(c.answer));
      poster->socket().close();
      ASSERT_TRUE(server.pumpUntil([&] { return server.server().disconnects > disconnects; }));
    }
    drainWorker();
    test::SqlFile files(filesDb());
    EXPECT_EQ(files.value(c.query), c.expected);
  }
}

// A room load in flight when its poster is thrown off the server joins nobody.
TEST_F(PendingQueriesTest, RoomLoadInFlightJoinsNobodyWhoWentOffline) {
  auto admin = member("Warden", "root", false);
  auto visitor = member("Visitor", "", false);
  User* user = findUser("Visitor");
  ASSERT_NE(user, nullptr);
  {
    std::lock_guard<std::mutex> hold(server.core().pipeline().queryLock());
    visitor->request([](W& w) { w.enterRoom("Cellar", ""); });
    ASSERT_TRUE(server.pumpUntil([&] { return !!user->hasPendingQueries(); }));
    admin->request([](W& w) { w.serverKick("Visitor", "out"); });
    ASSERT_TRUE(visitor->waitFor(ServerCode::KickedFromServer));
  }
  drainWorker();
  EXPECT_EQ(user->room(), nullptr);
  if (Room* cellar = server.core().rooms.findLive("cellar")) {
    EXPECT_TRUE(cellar->members().empty());
  }
  EXPECT_EQ(visitor->drain(100ms).size(), 0u) << "nothing is sent to a user who is offline";
}

// The main loop changes a file's access while a save of the same record waits for the
// worker: the worker must write from a copy of its own (ThreadSanitizer watches).
TEST_F(PendingQueriesTest, FileAccessChangeWhileItsSaveIsQueued) {
  auto keeper = member("Keeper");
  keeper->request([](W& w) { w.createFile("doc", 1, 1); });
  ASSERT_TRUE(keeper->waitFor(ServerCode::FileCreated));
  for (int i = 0; i < 20; ++i) {
    // The worker takes each save before the next post: nothing else orders its reading
    // of the record after the main loop's change.
    const std::uint64_t batches = server.core().pipeline().batches();
    keeper->request([i](W& w) {
      w.writeFile(3, "doc", "abc");
      w.setFileAccess("doc", static_cast<std::uint8_t>(i & 1), 1);
    });
    ASSERT_TRUE(keeper->waitFor(ServerCode::FileSaved));
    ASSERT_TRUE(keeper->waitFor(ServerCode::FileSaved));
    ASSERT_TRUE(server.pumpUntil([&] { return server.core().pipeline().batches() > batches; }));
  }
  drainWorker();
  test::SqlFile files(filesDb());
  EXPECT_EQ(files.value("SELECT UsersCanRead || UsersCanWrite FROM files WHERE FileName='doc';"),
            "11");
}

}  // namespace
}  // namespace velmor
