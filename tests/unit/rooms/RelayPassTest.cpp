// Relay passes seen from inside the server.
#include <gtest/gtest.h>

#include "rooms/Relay.h"
#include "rooms/RoomRegistry.h"
#include "support/InProcessServer.h"
#include "support/TestClient.h"

namespace velmor {
namespace {

using namespace std::chrono_literals;
using client::RequestWriter;
using wire::ServerCode;

TEST(RelayPass, PassWithNothingToTellSendsNothingAndKeepsTheSequence) {
  test::InProcessServer server([](Settings& s) {
    s.rooms.push_back(RoomConfig{true, "Field", "", "lead", 0, true, true});
  });
  auto idle = [&] { uv_run(server.loop(), UV_RUN_NOWAIT); };
  test::TestClient a(server.port(), 0, idle);
  test::TestClient b(server.port(), 0, idle);
  a.navigationRoom = b.navigationRoom = true;
  ASSERT_TRUE(a.loginAsGuest("Ann"));
  ASSERT_TRUE(b.loginAsGuest("Ben"));
  a.request([](RequestWriter& w) { w.enterRoom("Field", ""); });
  b.request([](RequestWriter& w) { w.enterRoom("Field", ""); });
  ASSERT_TRUE(a.waitFor(ServerCode::RoomState));
  ASSERT_TRUE(b.waitFor(ServerCode::RoomState));
  a.drain(100ms);
  b.drain(100ms);

  Room& room = *findLiveRoom(server.core(), "field");
  ServerCore& core = server.core();
  ASSERT_FALSE(room.membersJoined || room.memberStateChanged || room.chatPending ||
               room.objectsChanged || room.membersDeparted || room.channelMembersChanged ||
               room.enemiesPending);
  const std::uint32_t sequence = core.relaySequence;
  const std::uint64_t packets = core.packetsSent.get();
  const std::uint64_t now = core.now();
  core.clock = static_cast<std::uint32_t>(now);
  room.memberCheckTime = core.clock;  // the idle check is not due
  for (int pass = 0; pass < 3; ++pass) relayUpdate(room, now);
  EXPECT_EQ(core.relaySequence, sequence);
  EXPECT_EQ(core.packetsSent.get(), packets);

  // One flag is enough for a pass to count.
  room.chatPending = 1;
  relayUpdate(room, now);
  EXPECT_EQ(core.relaySequence, sequence + 1);
}

}  // namespace
}  // namespace velmor
