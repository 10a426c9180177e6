// A request that runs past the end of its frame is dropped whole, wherever it was cut: it
// answers nothing and changes nothing. The server runs in-process, so that its state can be
// looked at; its users are real clients on loopback sockets.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "core/ServerCore.h"
#include "rooms/Room.h"
#include "support/Eventually.h"
#include "support/InProcessServer.h"
#include "support/TestClient.h"
#include "users/User.h"
#include "wire/Schema.h"

namespace velmor {
namespace {

using client::RequestWriter;
using client::ServerMessage;
using test::TestClient;
using wire::ServerCode;

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
  ASSERT_TRUE(vic.loginAsGuest("Member1"));  // whom the examples name
  warden.request([](RequestWriter& w) { w.enterRoom("Yard", "lead"); });
  vic.request([](RequestWriter& w) { w.enterRoom("Yard", ""); });
  ASSERT_TRUE(warden.waitFor(ServerCode::RoomState));
  ASSERT_TRUE(vic.waitFor(ServerCode::RoomState));
  const User& wardenUser = *core.online.find("warden");
  const User& vicUser = *core.online.find("member1");
  const Room& yard = *core.rooms.findLive("yard");
  const User::Position position = wardenUser.position();
  const User::Appearance appearance = wardenUser.appearance();

  warden.drain(test::kQuiet);  // the room's welcome
  vic.drain(test::kQuiet);
  // Every request of the wire's definition, whole as its example, cut after each byte.
  for (const wire::RequestInfo& request : wire::kRequests) {
    SCOPED_TRACE(request.name);
    const std::string message = char(request.type) + std::string(request.example);
    // Each cut in a read of its own: a cut request stops the rest of its read.
    for (std::size_t cut = 1; cut < message.size(); ++cut) {
      const std::uint64_t reads = core.traffic.packetsReceived.get();
      ASSERT_TRUE(warden.send(std::string{char(cut), 0} + message.substr(0, cut)));
      ASSERT_TRUE(server.pumpUntil([&] { return core.traffic.packetsReceived.get() > reads; }));
    }
  }
  warden.request([](RequestWriter& w) { w.listFiles(); });
  std::vector<ServerMessage> answered;
  while (auto m = warden.next()) {
    if (m->is(ServerCode::FileList)) break;
    answered.push_back(*m);
  }
  EXPECT_TRUE(answered.empty()) << answered.size() << " answers, the first "
                                << answered.front().name();
  EXPECT_FALSE(
      anyOf(vic.drain(test::kQuiet),
            {ServerCode::KickedFromRoom, ServerCode::BannedFromRoom, ServerCode::KickedFromServer,
             ServerCode::BannedFromServer, ServerCode::EnemySighting, ServerCode::LocalLine,
             ServerCode::RoomLine, ServerCode::WhisperLine, ServerCode::PrivateMessageNotice}));
  EXPECT_TRUE(wardenUser.position() == position);
  EXPECT_TRUE(wardenUser.appearance() == appearance);
  EXPECT_EQ(vicUser.room(), &yard);
  EXPECT_TRUE(vicUser.presence().loggedIn());
  EXPECT_TRUE(core.serverBans.entries().empty());
  EXPECT_TRUE(yard.banList().entries().empty());
  EXPECT_TRUE(yard.files().empty());
}

}  // namespace
}  // namespace velmor
