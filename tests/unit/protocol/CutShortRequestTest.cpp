// A request that runs past the end of its frame is dropped whole, wherever it was cut: it
// answers nothing and changes nothing. The server runs in-process, so that its state can be
// looked at; its users are real clients on loopback sockets.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "core/ServerCore.h"
#include "rooms/Room.h"
#include "support/Eventually.h"
#include "support/InProcessServer.h"
#include "support/TestClient.h"
#include "users/User.h"

namespace velmor {
namespace {

using client::RequestWriter;
using client::ServerMessage;
using test::TestClient;
using wire::ServerCode;

struct Row {
  const char* name;
  std::function<void(RequestWriter&)> write;
};

bool anyOf(const std::vector<ServerMessage>& messages, std::initializer_list<ServerCode> codes) {
  return std::any_of(messages.begin(), messages.end(), [&](const ServerMessage& m) {
    return std::any_of(codes.begin(), codes.end(), [&](ServerCode c) { return m.is(c); });
  });
}

TEST(CutShortRequestTest, RequestCutShortAtAnyByteActsNot) {
  test::InProcessServer server([](Settings& s) {
    s.adminpassword = "root";
    s.rooms.push_back(RoomConfig{true, "Yard", "", "lead", 0, true, true});
  });
  ServerCore& core = server.core();
  auto pump = [&server] { uv_run(server.loop(), UV_RUN_NOWAIT); };
  TestClient warden(server.port(), 1, pump);
  TestClient vic(server.port(), 2, pump);
  warden.navigationRoom = vic.navigationRoom = true;
  ASSERT_TRUE(warden.loginAsGuest("Warden", "root"));
  ASSERT_TRUE(warden.registerAccount(test::testHash(1)));
  ASSERT_TRUE(vic.loginAsGuest("Vic"));
  warden.request([](RequestWriter& w) { w.enterRoom("Yard", "lead"); });
  vic.request([](RequestWriter& w) { w.enterRoom("Yard", ""); });
  ASSERT_TRUE(warden.waitFor(ServerCode::RoomState));
  ASSERT_TRUE(vic.waitFor(ServerCode::RoomState));
  const User& wardenUser = *core.online.find("warden");
  const User& vicUser = *core.online.find("vic");
  const Room& yard = *core.rooms.findLive("yard");
  const User::Position position = wardenUser.position();
  const User::Appearance appearance = wardenUser.appearance();

  const Row rows[] = {
      {"Position", [](RequestWriter& w) { w.position(1, 2, 3, 4, 5); }},
      {"Appearance", [](RequestWriter& w) { w.appearance(1, 2, 3, 4, "coat"); }},
      {"EnemyReport", [](RequestWriter& w) { w.enemyReport(1, 2, 3); }},
      {"StatusRequest", [](RequestWriter& w) { w.statusRequest("root"); }},
      {"ListRooms", [](RequestWriter& w) { w.listRooms(0); }},
      {"RoomKick", [](RequestWriter& w) { w.roomKick("Vic", "out"); }},
      {"RoomBan", [](RequestWriter& w) { w.roomBan("Vic", "out", 0xFFFFFFFF); }},
      {"ServerKick", [](RequestWriter& w) { w.serverKick("Vic", "out"); }},
      {"ServerBan", [](RequestWriter& w) { w.serverBan("Vic", "out", 0xFFFFFFFF); }},
      {"RoomUnban", [](RequestWriter& w) { w.roomUnban("Vic"); }},
      {"ServerUnban", [](RequestWriter& w) { w.serverUnban("Vic"); }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const std::string message = RequestWriter::frame(row.write).substr(2);
    // Each cut in a read of its own: a cut request stops the rest of its read.
    for (std::size_t cut = 1; cut < message.size(); ++cut) {
      const std::uint64_t reads = core.traffic.packetsReceived.get();
      ASSERT_TRUE(warden.send(std::string{char(cut), 0} + message.substr(0, cut)));
      ASSERT_TRUE(server.pumpUntil([&] { return core.traffic.packetsReceived.get() > reads; }));
    }
    warden.request([](RequestWriter& w) { w.listFiles(); });
    std::vector<ServerMessage> answered;
    while (auto m = warden.next()) {
      if (m->is(ServerCode::FileList)) break;
      answered.push_back(*m);
    }
    EXPECT_FALSE(anyOf(answered, {ServerCode::StatusText, ServerCode::RoomDirectory}));
    EXPECT_FALSE(
        anyOf(vic.drain(test::kQuiet),
              {ServerCode::KickedFromRoom, ServerCode::BannedFromRoom, ServerCode::KickedFromServer,
               ServerCode::BannedFromServer, ServerCode::EnemySighting}));
    EXPECT_TRUE(wardenUser.position() == position);
    EXPECT_TRUE(wardenUser.appearance() == appearance);
    EXPECT_EQ(vicUser.room(), &yard);
    EXPECT_TRUE(vicUser.presence().loggedIn());
    EXPECT_TRUE(core.serverBans.entries().empty());
    EXPECT_TRUE(yard.banList().entries().empty());
  }
}

}  // namespace
}  // namespace velmor
