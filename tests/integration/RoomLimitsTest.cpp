// The limits that keep every client's view whole at any size of data: no more rooms live
// than one RoomList can name, and no more stored than ListRooms can reach. Against the real
// executable.
#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "support/Databases.h"
#include "support/ProcessTest.h"
#include "support/TestClient.h"

namespace velmor {
namespace {

using namespace std::chrono_literals;
using client::ServerMessage;
using test::TestClient;
using W = client::RequestWriter;
using wire::ServerCode;
using RoomLimitsTest = test::ProcessTest;

// A room name of the longest kind (31 characters), numbered.
std::string longName(int i) {
  std::string name = "Room" + std::to_string(i);
  return name + std::string(31 - name.size(), 'x');
}

// 1726 rooms of 31-character names asked to be live from the start: an entry takes at most
// 2 + 31 + 1 + 4 bytes, so a RoomList of 65535 bytes names 1724 of them. The 1724 are live,
// every client is told all of them, and the rest stay asleep. All but one never sleep: a
// guest who enters a sleeping room makes that one sleep at once, and is answered RoomFull
// only once every live room has a member or never sleeps.
TEST_F(RoomLimitsTest, LiveRoomsStopWhereTheRoomListFillsItsFrame) {
  constexpr int kRooms = 1726;
  constexpr int kFit = (65535 - 3) / 38;
  constexpr int kSleeper = 5;
  std::vector<test::RoomSetting> rooms;
  for (int i = 0; i < kRooms; ++i) {
    rooms.push_back(
        {longName(i), "", "lead", true,
         R"(, "maxusers": 7, "neversleeps": )" + std::string(i == kSleeper ? "false" : "true")});
  }
  start(test::roomsSetting(rooms));
  TestClient guest(server->port());
  client::LoginFields fields;
  fields.name = "Guest";
  guest.request([&](W& w) { w.login(fields); });
  auto list = guest.waitFor(ServerCode::RoomList, 10s);
  ASSERT_TRUE(list);
  EXPECT_EQ(list->rooms.size(), static_cast<std::size_t>(kFit));
  EXPECT_EQ(list->number(0), static_cast<std::uint32_t>(kFit)) << "the count names them all";
  guest.request([](W& w) { w.listRooms(0); });
  auto directory = guest.waitFor(ServerCode::RoomDirectory);
  ASSERT_TRUE(directory);
  EXPECT_EQ(directory->directory.size(), static_cast<std::size_t>(kRooms - kFit));

  // Enters a room; the answer, and the positions of the rooms closed before it.
  auto answerTo = [&](int room, std::vector<std::uint32_t>& closed) {
    enter(guest, longName(room), "", test::kAskOnly);
    while (auto m = guest.next(10s)) {
      if (m->is(ServerCode::RoomClosed)) closed.push_back(m->number(0));
      if (m->is(ServerCode::RoomState) || m->is(ServerCode::RoomFull))
        return static_cast<ServerCode>(m->code);
    }
    return ServerCode::NoSuchRoom;
  };
  std::vector<std::uint32_t> closed;
  EXPECT_EQ(answerTo(kRooms - 2, closed), ServerCode::RoomState);
  EXPECT_EQ(closed, std::vector<std::uint32_t>{kSleeper}) << "the empty room that may sleep";
  closed.clear();
  EXPECT_EQ(answerTo(kRooms - 1, closed), ServerCode::RoomFull);
  EXPECT_EQ(closed, std::vector<std::uint32_t>{});
}

// 65,550 stored rooms, 100 of them Hog's: 5 places are left of the 65,555 that ListRooms
// reaches. Hog has used up his share and is refused; a frame of 20 creations by another
// member creates 5 (the creations in flight count), the last of them on the directory's
// last page, and refuses 15: RoomCreateFailed, never a room no page can reach.
TEST_F(RoomLimitsTest, CreationsStayWithinTheStoredBoundAndTheCreatorsShare) {
  constexpr int kHogs = 100;
  constexpr int kOthers = 65535 + 20 - 5 - kHogs;
  start(R"("userscancreateroom": true,)");
  stop();
  {
    test::SqlFile db(server->dir().file("velmordata.db"));
    ASSERT_TRUE(db.exec("BEGIN;"));
    const std::string now = std::to_string(std::time(nullptr));
    for (int i = 0; i < kOthers + kHogs; ++i) {
      ASSERT_TRUE(db.exec("INSERT INTO channels VALUES('Stored" + std::to_string(i) + "', '" +
                          (i < kHogs ? "Hog" : "maker") + "', '', 'lead', " + now +
                          ", 64, 0, 0, 0);"));
    }
    ASSERT_TRUE(db.exec("COMMIT;"));
  }
  resume();
  auto isAnswer = [](const ServerMessage& m) {
    return m.is(ServerCode::RoomCreateFailed) || m.is(ServerCode::RoomCreated);
  };
  TestClient hog(server->port(), 1);
  ASSERT_TRUE(hog.loginAsGuest("Hog"));
  ASSERT_TRUE(hog.registerAccount(test::testHash(1)));
  hog.request([](W& w) { w.createRoom("HogsLast", "", "lead", 0); });
  EXPECT_TRUE(hog.answer(ServerCode::RoomCreateFailed, isAnswer)) << "his share is used up";

  TestClient other(server->port(), 2);
  ASSERT_TRUE(other.loginAsGuest("Other"));
  ASSERT_TRUE(other.registerAccount(test::testHash(2)));
  other.request([](W& w) {
    for (int i = 0; i < 20; ++i) w.createRoom("New" + std::to_string(i), "", "lead", 0);
  });
  std::size_t created = 0;
  std::size_t failed = 0;
  while (created + failed < 20) {
    auto m = other.next(10s);
    if (!m) break;
    created += m->is(ServerCode::RoomCreated) ? 1 : 0;
    failed += m->is(ServerCode::RoomCreateFailed) ? 1 : 0;
  }
  EXPECT_EQ(created, 5u);
  EXPECT_EQ(failed, 15u);
  other.request([](W& w) { w.listRooms(65535); });
  auto last = other.waitFor(ServerCode::RoomDirectory);
  ASSERT_TRUE(last);
  ASSERT_EQ(last->directory.size(), 20u);
  EXPECT_EQ(last->directory.back().name, "New4");
}

}  // namespace
}  // namespace velmor
