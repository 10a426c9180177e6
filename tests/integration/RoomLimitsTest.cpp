// The limits that keep every client's view whole at any size of data: no more rooms live
// than one RoomList can name, and no more stored than ListRooms can reach. Against the real
// executable.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <memory>
#include <string>

#include "support/Databases.h"
#include "support/ServerProcess.h"
#include "support/TestClient.h"

namespace velmor {
namespace {

using namespace std::chrono_literals;
using client::ServerMessage;
using test::TestClient;
using W = client::RequestWriter;
using wire::ServerCode;

// A room name of the longest kind (31 characters), numbered.
std::string longName(int i) {
  std::string name = "Room" + std::to_string(i);
  return name + std::string(31 - name.size(), 'x');
}

// 1726 rooms of 31-character names asked to be live from the start: an entry takes at most
// 2 + 31 + 1 + 4 bytes, so a RoomList of 65535 bytes names 1724 of them. The 1724 are live,
// every client is told all of them, and the rest stay asleep: entering one is answered
// RoomFull, as for a room that can take nobody.
TEST(RoomLimitsTest, LiveRoomsStopWhereTheRoomListFillsItsFrame) {
  constexpr int kRooms = 1726;
  constexpr int kFit = (65535 - 3) / 38;
  std::string rooms = R"("rooms": [)";
  for (int i = 0; i < kRooms; ++i) {
    if (i > 0) rooms += ", ";
    rooms +=
        R"({"type": "chat", "name": ")" + longName(i) +
        R"(", "password": "", "leaderpassword": "lead", "loadatstartup": true, "maxusers": 7})";
  }
  test::ServerProcess server(rooms + "],");
  ASSERT_TRUE(server.start());
  ASSERT_TRUE(server.waitListening(30s)) << server.output();
  TestClient guest(server.port());
  client::LoginFields fields;
  fields.name = "Guest";
  guest.request([&](W& w) { w.login(fields); });
  auto list = guest.waitFor(ServerCode::RoomList, 10s);
  ASSERT_TRUE(list);
  EXPECT_EQ(list->rooms.size(), static_cast<std::size_t>(kFit));
  EXPECT_EQ(list->number(0), static_cast<std::uint32_t>(kFit)) << "the count names them all";
  guest.request([&](W& w) { w.enterRoom(longName(kRooms - 1), ""); });
  EXPECT_TRUE(guest.answer(ServerCode::RoomFull, [](const ServerMessage& m) {
    return m.is(ServerCode::RoomFull) || m.is(ServerCode::RoomState) ||
           m.is(ServerCode::NoSuchRoom);
  }));
  guest.request([](W& w) { w.listRooms(0); });
  auto directory = guest.waitFor(ServerCode::RoomDirectory);
  ASSERT_TRUE(directory);
  EXPECT_EQ(directory->directory.size(), static_cast<std::size_t>(kRooms - kFit));
}

// A directory of 65,555 sleeping rooms is listed to its end (ListRooms from 65,535), and no
// room is created beyond it: RoomCreateFailed, never a room no page can reach.
TEST(RoomLimitsTest, NoRoomIsCreatedBeyondWhatListRoomsReaches) {
  test::ServerProcess server(R"("adminpassword": "root",)");
  ASSERT_TRUE(server.start());
  ASSERT_TRUE(server.waitListening(10s)) << server.output();
  server.signal(SIGINT);
  ASSERT_EQ(server.waitExit(10s), 0) << server.output();
  {
    test::SqlFile db(server.dir().file("velmordata.db"));
    ASSERT_TRUE(db.exec("BEGIN;"));
    const std::string now = std::to_string(std::time(nullptr));
    for (int i = 0; i < 65555; ++i) {
      ASSERT_TRUE(db.exec("INSERT INTO channels VALUES('Stored" + std::to_string(i) +
                          "', 'maker', '', 'lead', " + now + ", 64, 0, 0, 0);"));
    }
    ASSERT_TRUE(db.exec("COMMIT;"));
  }
  ASSERT_TRUE(server.start());
  ASSERT_TRUE(server.waitListening(30s)) << server.output();
  TestClient admin(server.port());
  ASSERT_TRUE(admin.loginAsGuest("Warden", "root"));
  ASSERT_TRUE(admin.registerAccount(test::testHash(1)));
  admin.request([](W& w) { w.listRooms(65535); });
  auto last = admin.waitFor(ServerCode::RoomDirectory);
  ASSERT_TRUE(last);
  ASSERT_EQ(last->directory.size(), 20u);
  EXPECT_EQ(last->directory.back().name, "Stored65554");
  admin.request([](W& w) { w.createRoom("OneTooMany", "", "lead", 0); });
  EXPECT_TRUE(admin.answer(ServerCode::RoomCreateFailed, [](const ServerMessage& m) {
    return m.is(ServerCode::RoomCreateFailed) || m.is(ServerCode::RoomCreated);
  }));
}

}  // namespace
}  // namespace velmor
