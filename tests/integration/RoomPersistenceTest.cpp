// Rooms outlive the process: what a sleeping room saved is there after a restart.
#include <gtest/gtest.h>

#include <chrono>

#include "support/ProcessTest.h"
#include "support/TestClient.h"

namespace velmor {
namespace {

using namespace std::chrono_literals;
using RoomPersistence = test::ProcessTest;
using client::RequestWriter;
using wire::ServerCode;

TEST_F(RoomPersistence, NewPasswordsOfASleptRoomSurviveARestart) {
  start(R"("roomidletime": 1, "userscancreateroom": true,)");
  {
    auto guest = std::make_unique<test::TestClient>(server->port());
    ASSERT_TRUE(guest->loginAsGuest("Owner"));
    ASSERT_TRUE(guest->registerAccount(test::testHash(5)));
    test::TestClient owner(server->port());
    ASSERT_TRUE(owner.loginAsMember("Owner", test::testHash(5)));
    owner.request([](RequestWriter& w) { w.createRoom("Den", "old", "oldlead", 0); });
    ASSERT_TRUE(owner.waitFor(ServerCode::RoomCreated));
    owner.request([](RequestWriter& w) { w.enterRoom("den", "old"); });
    ASSERT_TRUE(owner.waitFor(ServerCode::MemberList));  // loaded and joined
    owner.request([](RequestWriter& w) { w.setRoomPasswords("new", "newlead"); });
    ASSERT_TRUE(owner.waitFor(ServerCode::RoomPasswordsChanged));
    owner.request([](RequestWriter& w) { w.leaveRoom(); });
    ASSERT_TRUE(owner.waitFor(ServerCode::RoomLeft));
    // Asleep after the idle second: the room closes for everyone online.
    ASSERT_TRUE(owner.waitFor(ServerCode::RoomClosed, 5s));
  }
  stop(3s);  // the stop executes and commits the save that the sleep posted

  resume();
  test::TestClient visitor(server->port());
  ASSERT_TRUE(visitor.loginAsGuest("Visitor"));
  visitor.request([](RequestWriter& w) { w.enterRoom("Den", "old"); });
  EXPECT_TRUE(visitor.waitFor(ServerCode::WrongRoomPassword));
  visitor.request([](RequestWriter& w) { w.enterRoom("Den", "new"); });
  ASSERT_TRUE(visitor.waitFor(ServerCode::MemberList));  // loaded and joined
  visitor.request([](RequestWriter& w) { w.leaveRoom(); });
  EXPECT_TRUE(visitor.waitFor(ServerCode::RoomLeft)) << "entered with the new password";
  visitor.request([](RequestWriter& w) { w.enterRoom("Den", "newlead"); });
  visitor.request([](RequestWriter& w) { w.leaveRoom(); });
  EXPECT_TRUE(visitor.waitFor(ServerCode::RoomLeft)) << "and with the new leader password";
}

}  // namespace
}  // namespace velmor
