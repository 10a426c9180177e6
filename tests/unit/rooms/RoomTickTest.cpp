// The periodic room processing, with the server's clocks under the test's control.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <memory>
#include <mutex>

#include "base/Clock.h"
#include "model/ChatLine.h"
#include "rooms/RoomRegistry.h"
#include "rooms/UserRooms.h"
#include "support/InProcessServer.h"
#include "support/RoomProbe.h"
#include "support/TestClient.h"
#include "support/UserProbe.h"

namespace velmor {
namespace {

using namespace std::chrono_literals;
using wire::ServerCode;

constexpr std::uint32_t kIdleSeconds = 10;
constexpr std::uint64_t kIdleMs = kIdleSeconds * 1000;

class RoomTickTest : public testing::Test {
 protected:
  RoomTickTest()
      : server([](Settings& s) {
          s.roomidletime = kIdleSeconds;
          s.rooms.push_back(RoomConfig{false, "Stored Hall", "", "lead", 0, true, false});
        }) {
    // No jump: rooms made live at start count from here.
    clock.setLoopMs(uv_now(server.loop()));
    clock.setWallSeconds(static_cast<std::uint32_t>(std::time(nullptr)));
    core().clock.use(clock);
    core().tick();
  }
  ~RoomTickTest() override {
    for (auto& user : users) core().forgetUser(*user);
    users.clear();
  }

  ServerCore& core() { return server.core(); }
  Room& live(const char* name, bool neverSleeps = false) {
    return core().rooms.makeLive(
        makeRoomRecord(name, "server", "", "lead", 64, false, neverSleeps));
  }
  User& fakeUser() {
    users.push_back(std::make_unique<User>(nullptr, nullptr, core().traffic));
    return *users.back();
  }
  bool isLive(const char* lowerName) { return core().rooms.findLive(lowerName) != nullptr; }
  bool isStored(const char* lowerName) { return core().rooms.isStored(lowerName); }
  void tickAt(std::uint64_t at) {
    clock.setLoopMs(at);
    core().tick();
    EXPECT_TRUE(server.settleQueries());  // its queries came back
  }
  std::unique_ptr<test::TestClient> onlineClient(const char* name) {
    auto client = std::make_unique<test::TestClient>(
        server.port(), 0, [this] { uv_run(server.loop(), UV_RUN_NOWAIT); });
    EXPECT_TRUE(client->loginAsGuest(name));
    return client;
  }
  std::int64_t storedLastAccessed(const char* name) {
    sqlite3* db = nullptr;
    sqlite3_open((server.settings().applicationDirectory + "velmordata.db").c_str(), &db);
    sqlite3_stmt* statement = nullptr;
    sqlite3_prepare_v2(db, "SELECT LastAccessed FROM channels WHERE Name=?", -1, &statement,
                       nullptr);
    sqlite3_bind_text(statement, 1, name, -1, SQLITE_STATIC);
    const std::int64_t value =
        sqlite3_step(statement) == SQLITE_ROW ? sqlite3_column_int64(statement, 0) : -1;
    sqlite3_finalize(statement);
    sqlite3_close(db);
    return value;
  }
  void setStoredLastAccessed(const char* name, std::int64_t value) {
    sqlite3* db = nullptr;
    sqlite3_open((server.settings().applicationDirectory + "velmordata.db").c_str(), &db);
    const std::string sql =
        "UPDATE channels SET LastAccessed=" + std::to_string(value) + " WHERE Name='" + name + "'";
    sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr);
    sqlite3_close(db);
  }

  // The clock outlives the server, whose teardown may still read it.
  ManualClock clock{0, 0};
  test::InProcessServer server;
  std::vector<std::unique_ptr<User>> users;
};

TEST_F(RoomTickTest, IdleRoomSleepsAfterTheIdleTimeUnlessItNeverSleeps) {
  const std::uint64_t start = clock.loopMs();
  live("Nap");
  live("Awake", true);
  tickAt(start + kIdleMs);
  EXPECT_TRUE(isLive("nap")) << "exactly the idle time is not more than it";
  tickAt(start + kIdleMs + 1);
  EXPECT_FALSE(isLive("nap"));
  EXPECT_TRUE(server.pumpUntil([&] { return isStored("nap"); }))
      << "saved and back in the directory";
  EXPECT_TRUE(isLive("awake"));
  tickAt(start + 100 * kIdleMs);
  EXPECT_TRUE(isLive("awake"));
}

TEST_F(RoomTickTest, RoomEmptiedByItsLastMemberGetsOneMoreUpdateThenSleeps) {
  Room& room = live("Emptied");
  User& member = fakeUser();
  ASSERT_TRUE(room.join(member, ""));
  tickAt(clock.loopMs() + 5 * kIdleMs);
  EXPECT_TRUE(isLive("emptied")) << "a room with members never sleeps";
  UserRooms::leaveRoom(member, LeaveReason::Request);
  ASSERT_TRUE(RoomProbe::pending(room).membersDeparted);
  const std::uint64_t left = clock.loopMs() + 60;
  tickAt(left);
  EXPECT_FALSE(RoomProbe::pending(room).membersDeparted);
  EXPECT_EQ(RoomProbe::lastUpdateTime(room), left);
  tickAt(left + kIdleMs);
  EXPECT_TRUE(isLive("emptied")) << "the idle time counts from that last update";
  tickAt(left + kIdleMs + 1);
  EXPECT_FALSE(isLive("emptied"));
}

TEST_F(RoomTickTest, RoomsUnloadedInOneTickAreClosedWithThePositionsTheyHad) {
  auto watcher = onlineClient("Watcher");
  // The configured "Stored Hall" is live at position 0 and never touched here.
  Room& first = live("First");
  live("Keeper", true);
  Room& third = live("Third");
  ASSERT_EQ(first.number(), 1u);
  ASSERT_EQ(third.number(), 3u);
  watcher->drain(50ms);  // the RoomOpened announcements
  RoomProbe::record(*core().rooms.liveRooms()[0]).neverSleeps = 1;
  tickAt(clock.loopMs() + kIdleMs + 1);
  auto closedFirst = watcher->waitFor(ServerCode::RoomClosed);
  auto closedThird = watcher->waitFor(ServerCode::RoomClosed);
  ASSERT_TRUE(closedFirst && closedThird);
  EXPECT_EQ(closedFirst->number(0), 1u);
  EXPECT_EQ(closedThird->number(0), 2u) << "Third had moved up into position 2";
}

TEST_F(RoomTickTest, SweepKeepsARoomExactlyTheExpiryOldAndDeletesOneASecondOlder) {
  const std::uint32_t expiry = core().settings.limits.roomExpiryTime;
  RoomRecord edge = makeRoomRecord("Edge", "x", "", "l", 64, false, false);
  edge.lastAccessed = clock.wallSeconds() - expiry;
  RoomRecord old = makeRoomRecord("Old", "x", "", "l", 64, false, false);
  old.lastAccessed = clock.wallSeconds() - expiry - 1;
  RoomRecord future = makeRoomRecord("Future", "x", "", "l", 64, false, false);
  future.lastAccessed = clock.wallSeconds() + 100;
  core().rooms.addStored(edge);
  core().rooms.addStored(old);
  core().rooms.addStored(future);
  tickAt(clock.loopMs() + 5001);
  EXPECT_TRUE(isStored("edge"));
  EXPECT_FALSE(isStored("old"));
  EXPECT_TRUE(isStored("future"));
  EXPECT_EQ(core().rooms.directory().size(), core().rooms.storedCount());
}

// A mass expiry is spread out: each tick takes a bounded slice of the expired rooms out of
// the directory, and only a few deletions are with the worker at a time; in the end every
// expired room is gone and every young one is kept.
TEST_F(RoomTickTest, MassExpiryIsTakenInSlicesAndDeletedAFewAtATime) {
  const std::uint32_t expiry = core().settings.limits.roomExpiryTime;
  for (int i = 0; i < 2000; ++i) {
    RoomRecord old = makeRoomRecord("Old" + std::to_string(i), "x", "", "l", 64, false, false);
    old.lastAccessed = clock.wallSeconds() - expiry - 1 - static_cast<std::uint32_t>(i % 7);
    core().rooms.addStored(old);
  }
  RoomRecord young = makeRoomRecord("Young", "x", "", "l", 64, false, false);
  young.lastAccessed = clock.wallSeconds();
  core().rooms.addStored(young);
  {
    std::lock_guard<std::mutex> hold(core().pipeline().queryLock());  // no deletion completes
    clock.advanceMs(5001);
    core().tick();
    EXPECT_GE(core().rooms.storedCount(), 2001u - 512u) << "one slice per tick";
    EXPECT_LE(core().rooms.expiryBacklog(), 512u);
  }
  for (int i = 0; i < 20; ++i) tickAt(clock.loopMs() + 20);
  ASSERT_TRUE(server.pumpUntil([&] { return core().rooms.expiryBacklog() == 0; }, 10s));
  EXPECT_EQ(core().rooms.storedCount(), 1u);
  EXPECT_TRUE(isStored("young"));
}

TEST_F(RoomTickTest, SleptRoomCarriesTheTimeItWentToSleepAndIsNotSwept) {
  Room& room = live("Visited");
  User& visitor = fakeUser();
  clock.setWallSeconds(clock.wallSeconds() - 1000);  // the visit happened a while ago
  ASSERT_TRUE(room.join(visitor, ""));
  UserRooms::leaveRoom(visitor, LeaveReason::Request);
  clock.setWallSeconds(clock.wallSeconds() + 1000);
  tickAt(clock.loopMs() + 60);
  tickAt(clock.loopMs() + kIdleMs + 1);
  ASSERT_TRUE(server.pumpUntil([&] { return isStored("visited"); }));
  EXPECT_EQ(core().rooms.findStored("visited")->lastAccessed, clock.wallSeconds());
  tickAt(clock.loopMs() + 5001);
  EXPECT_TRUE(isStored("visited")) << "recently used: kept by the sweep";
}

// A room occupied for longer than the expiry time, with nobody joining meanwhile, was in
// use all along: the hourly save and its sleep carry the time of now, and the sweep keeps it.
TEST_F(RoomTickTest, RoomInUseLongerThanTheExpiryTimeIsNotDeleted) {
  Room& hall = *core().rooms.findLive("stored hall");
  User& member = fakeUser();
  ASSERT_TRUE(hall.join(member, ""));
  clock.setWallSeconds(clock.wallSeconds() + core().settings.limits.roomExpiryTime +
                       86400);  // eight days without a join
  tickAt(clock.loopMs() + 3'600'001);
  EXPECT_TRUE(server.pumpUntil([&] {
    return storedLastAccessed("Stored Hall") == clock.wallSeconds();
  })) << "the hourly save of a room in use writes the time of now";
  clock.setWallSeconds(clock.wallSeconds() + 100);
  UserRooms::leaveRoom(member, LeaveReason::Request);
  tickAt(clock.loopMs() + 60);
  tickAt(clock.loopMs() + kIdleMs + 1);
  ASSERT_TRUE(server.pumpUntil([&] { return isStored("stored hall"); }));
  EXPECT_EQ(core().rooms.findStored("stored hall")->lastAccessed, clock.wallSeconds());
  tickAt(clock.loopMs() + 5001);
  EXPECT_TRUE(isStored("stored hall"));
  EXPECT_TRUE(
      server.pumpUntil([&] { return storedLastAccessed("Stored Hall") == clock.wallSeconds(); }));
}

TEST_F(RoomTickTest, HourlyTouchWritesTheLastUseOnceAndSkipsWhenTheRoomWasNotUsedSince) {
  Room& hall = *core().rooms.findLive("stored hall");
  RoomProbe::record(hall).neverSleeps = 1;  // empty for hours: its sleep would save it
  User& visitor = fakeUser();
  clock.setWallSeconds(clock.wallSeconds() + 100);
  ASSERT_TRUE(hall.join(visitor, ""));
  clock.setWallSeconds(clock.wallSeconds() + 50);
  UserRooms::leaveRoom(visitor, LeaveReason::Request);
  tickAt(clock.loopMs() + 3'600'001);
  ASSERT_TRUE(server.pumpUntil([&] {
    return storedLastAccessed("Stored Hall") == clock.wallSeconds();
  })) << "the time the room was left";
  EXPECT_EQ(hall.record().lastAccessed, clock.wallSeconds()) << "the time stays with the live room";

  setStoredLastAccessed("Stored Hall", 5);
  tickAt(clock.loopMs() + 3'600'001);
  EXPECT_EQ(storedLastAccessed("Stored Hall"), 5) << "nobody there since: no write";
}

TEST_F(RoomTickTest, CreatedRoomCarriesItsCreationTimeAndIsNotSwept) {
  auto creator = onlineClient("Maker");
  ASSERT_TRUE(creator->registerAccount(test::testHash(3)));
  auto member = std::make_unique<test::TestClient>(
      server.port(), 0, [this] { uv_run(server.loop(), UV_RUN_NOWAIT); });
  ASSERT_TRUE(member->loginAsMember("Maker", test::testHash(3)));
  UserProbe::rights(*core().online.list().back()).isAdmin = 1;  // may create rooms
  member->request([](client::RequestWriter& w) { w.createRoom("Fresh", "", "lead", 0); });
  ASSERT_TRUE(member->waitFor(ServerCode::RoomCreated));
  ASSERT_TRUE(isStored("fresh"));
  const std::uint32_t created = core().rooms.findStored("fresh")->lastAccessed;
  EXPECT_NEAR(static_cast<double>(created), static_cast<double>(std::time(nullptr)), 5.0);
  clock.setWallSeconds(created + core().settings.limits.roomExpiryTime);  // as old as may be
  tickAt(clock.loopMs() + 5001);
  EXPECT_TRUE(isStored("fresh"));
}

TEST_F(RoomTickTest, LeavingRenumbersLaterSlotsAndTheirChat) {
  Room& room = live("Five");
  std::vector<User*> members;
  for (int i = 0; i < 5; ++i) {
    members.push_back(&fakeUser());
    ASSERT_TRUE(room.join(*members.back(), ""));
  }
  for (std::uint16_t slot = 0; slot < 5; ++slot) {
    Ref<ChatLine> line = ChatLine::acquire();
    line->senderSlot = slot;
    room.say(line);
  }
  UserRooms::leaveRoom(*members[2], LeaveReason::Request);
  EXPECT_EQ(members[0]->roomSlot(), 0u);
  EXPECT_EQ(members[1]->roomSlot(), 1u);
  EXPECT_EQ(members[3]->roomSlot(), 2u);
  EXPECT_EQ(members[4]->roomSlot(), 3u);
  EXPECT_EQ(members[2]->room(), nullptr);
  std::vector<std::uint16_t> slots;
  for (const Ref<ChatLine>& line : RoomProbe::chatQueue(room)) slots.push_back(line->senderSlot);
  EXPECT_EQ(slots, (std::vector<std::uint16_t>{0, 1, 2, 3})) << "slot 2's line is gone";
  EXPECT_EQ(room.members().size(), 4u);
}

// Object and enemy reports belong to navigation rooms: in a chat room nothing would ever
// relay or clear them, and each would keep the room's passes busy for nothing.
TEST_F(RoomTickTest, ObjectAndEnemyReportsInAChatRoomAreIgnored) {
  auto reporter = onlineClient("Reporter");
  reporter->request([](client::RequestWriter& w) { w.enterRoom("Stored Hall", ""); });
  Room& hall = *core().rooms.findLive("stored hall");
  ASSERT_TRUE(server.pumpUntil([&] { return hall.members().size() == 1; }));
  tickAt(clock.loopMs() + 3000);  // past the room's settling time after its reset
  reporter->request([](client::RequestWriter& w) {
    w.objectReport("crate", 1, 2, 3);
    w.enemyReport(4, 5, 6);
    w.listFiles();  // answered once the reports before it were handled
  });
  ASSERT_TRUE(reporter->waitFor(ServerCode::FileList));
  EXPECT_TRUE(RoomProbe::objects(hall).empty());
  EXPECT_TRUE(RoomProbe::enemyReports(hall).empty());
  EXPECT_FALSE(RoomProbe::pending(hall).objectsChanged || RoomProbe::pending(hall).enemiesPending);
}

}  // namespace
}  // namespace velmor
