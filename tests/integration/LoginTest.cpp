// Logins, accounts and admission, against the real executable over TCP.
#include <gtest/gtest.h>

#include <chrono>

#include "base/Version.h"
#include "support/Eventually.h"
#include "support/ProcessTest.h"
#include "support/TestClient.h"

namespace velmor {
namespace {

using namespace std::chrono_literals;
using client::RequestWriter;
using test::TestClient;
using wire::ServerCode;

using test::kQuiet;

class LoginTest : public test::ProcessTest {};

TEST_F(LoginTest, GuestIsWelcomedWithServerInfoAndTheLiveRooms) {
  start(R"("servername": "Test Server", "chatroommaxusers": 50, "navroommaxusers": 20,
           "userscancreateroom": true,)" +
        test::roomsSetting({{"Lobby", "", "x"},
                            {"Secret", "pw", "y", true, "", "nav"},
                            {"Small", "", "z", true, R"(, "maxusers": 10)", "nav"},
                            {"Asleep", "", "w", false}}));
  auto guest = connect();
  client::LoginFields fields;
  fields.name = "Guest";
  guest->request([&](RequestWriter& w) { w.login(fields); });
  auto welcome = guest->next();
  ASSERT_TRUE(welcome && welcome->is(ServerCode::GuestWelcome));
  const std::string& challenge = welcome->text(0);
  ASSERT_EQ(challenge.size(), 15u);
  for (char c : challenge) EXPECT_TRUE(c >= '!' && c <= '}') << int(c);

  auto info = guest->next();
  ASSERT_TRUE(info && info->is(ServerCode::ServerInfo));
  EXPECT_EQ(info->text(0), "Test Server");
  EXPECT_EQ(info->numbers, (std::vector<std::uint32_t>{50, 20, 1}));
  auto list = guest->next();
  ASSERT_TRUE(list && list->is(ServerCode::RoomList));
  ASSERT_EQ(list->rooms.size(), 3u);
  EXPECT_EQ(list->rooms[0].name, "Lobby");
  EXPECT_FALSE(list->rooms[0].hasPassword);
  EXPECT_FALSE(list->rooms[0].navigation);
  EXPECT_TRUE(list->rooms[0].hasCount);
  EXPECT_EQ(list->rooms[0].memberCount, 0u);
  EXPECT_FALSE(list->rooms[0].limitDiffers);
  EXPECT_EQ(list->rooms[1].name, "Secret");
  EXPECT_TRUE(list->rooms[1].hasPassword);
  EXPECT_TRUE(list->rooms[1].navigation);
  EXPECT_FALSE(list->rooms[1].hasCount);
  EXPECT_EQ(list->rooms[2].name, "Small");
  EXPECT_TRUE(list->rooms[2].limitDiffers);
  EXPECT_EQ(list->rooms[2].maxUsers, 10u);
  EXPECT_EQ(guest->frames().size(), 2u) << "ServerInfo and RoomList share one frame";
}

TEST_F(LoginTest, RegisteredMemberLogsInWithTheRightProofOnly) {
  start();
  auto guest = connect();
  ASSERT_TRUE(guest->loginAsGuest("Alice"));
  ASSERT_TRUE(guest->registerAccount(test::testHash(1)));
  guest->request(
      [&](RequestWriter& w) { w.registerAccount(test::testHash(9), test::testHash(2)); });
  EXPECT_TRUE(guest->waitFor(ServerCode::RegistrationFailed)) << "the name is taken now";

  auto member = connect();
  EXPECT_TRUE(member->loginAsMember("alice", test::testHash(1)));

  auto impostor = connect();
  client::LoginFields fields;
  fields.name = "ALICE";
  impostor->request([&](RequestWriter& w) { w.login(fields); });
  ASSERT_TRUE(impostor->waitFor(ServerCode::LoginChallenge));
  impostor->request([&](RequestWriter& w) { w.loginProof(test::testHash(7)); });
  EXPECT_TRUE(impostor->waitFor(ServerCode::LoginProofRejected));
  // Still connected, but neither a proof nor a new login gets anywhere.
  impostor->request([&](RequestWriter& w) { w.loginProof(test::testHash(1)); });
  impostor->request([&](RequestWriter& w) { w.login(fields); });
  impostor->request([&](RequestWriter& w) { w.keepAlive(); });
  EXPECT_TRUE(impostor->drain(kQuiet).empty());
  EXPECT_FALSE(impostor->closedByServer(50ms));
}

TEST_F(LoginTest, GuestNameOnlineIsInUseAndMemberLoginReplacesTheOnlineOne) {
  start();
  auto bob = connect();
  ASSERT_TRUE(bob->loginAsGuest("bob"));
  auto otherBob = connect();
  client::LoginFields fields;
  fields.name = "BOB";
  otherBob->request([&](RequestWriter& w) { w.login(fields); });
  ASSERT_TRUE(otherBob->waitFor(ServerCode::GuestWelcome));
  auto inUse = otherBob->next();
  ASSERT_TRUE(inUse && inUse->is(ServerCode::NameInUse));
  EXPECT_EQ(otherBob->frames().back(), std::string("\xFF\x07", 2));

  auto first = connect();
  ASSERT_TRUE(first->loginAsGuest("Carol"));
  ASSERT_TRUE(first->registerAccount(test::testHash(3)));
  auto second = connect();
  ASSERT_TRUE(second->loginAsMember("carol", test::testHash(3)));
  auto replaced = first->waitFor(ServerCode::LoginReplaced);
  ASSERT_TRUE(replaced);
  EXPECT_EQ(first->frames().back(), std::string("\x36", 1));
  EXPECT_FALSE(first->closedByServer(100ms)) << "the replaced user stays connected";
}

// A member replaced by a login of his account elsewhere while in a room is told, after
// LoginReplaced, that he is out of it.
TEST_F(LoginTest, ReplacedMemberInARoomIsToldHeIsOutOfIt) {
  start(test::roomsSetting({{"Hall", "", "x"}}));
  auto first = connect();
  ASSERT_TRUE(first->loginAsGuest("Dana"));
  ASSERT_TRUE(first->registerAccount(test::testHash(4)));
  first->request([](RequestWriter& w) { w.enterRoom("Hall", ""); });
  ASSERT_TRUE(first->waitFor(ServerCode::MemberList));
  auto second = connect();
  ASSERT_TRUE(second->loginAsMember("dana", test::testHash(4)));
  ASSERT_TRUE(first->waitFor(ServerCode::LoginReplaced));
  auto exited = first->next();
  ASSERT_TRUE(exited && exited->is(ServerCode::RoomExited));
}

TEST_F(LoginTest, PasswordsAdminAndServer) {
  start(R"("adminpassword": "root", "serverpassword": "door",)");
  auto admin = connect();
  client::LoginFields fields;
  fields.name = "Admin";
  fields.password = "root";
  admin->request([&](RequestWriter& w) { w.login(fields); });
  auto granted = admin->next();
  ASSERT_TRUE(granted && granted->is(ServerCode::AdminGranted));
  auto welcome = admin->next();
  ASSERT_TRUE(welcome && welcome->is(ServerCode::GuestWelcome));

  auto guest = connect();
  EXPECT_TRUE(guest->loginAsGuest("Visitor", "door"));

  auto stranger = connect();
  fields.name = "Stranger";
  fields.password = "wrong";
  stranger->request([&](RequestWriter& w) { w.login(fields); });
  auto refused = stranger->next();
  ASSERT_TRUE(refused && refused->is(ServerCode::ServerPasswordWrong));
  EXPECT_TRUE(stranger->drain(kQuiet).empty());

  // The status text goes to the administrator, and to nobody else without the password.
  admin->request([&](RequestWriter& w) { w.statusRequest(""); });
  auto status = admin->waitFor(ServerCode::StatusText);
  ASSERT_TRUE(status);
  EXPECT_NE(status->text(0).find(std::string("Version: ") + kServerVersion + "\n"),
            std::string::npos)
      << status->text(0);
  EXPECT_NE(status->text(0).find("Users: 3\n"), std::string::npos) << status->text(0);
  EXPECT_NE(status->text(0).find(" ms\nTick p99 (5 s): "), std::string::npos) << status->text(0);
  guest->request([&](RequestWriter& w) { w.statusRequest("nope"); });
  EXPECT_TRUE(guest->drain(kQuiet).empty());
  guest->request([&](RequestWriter& w) { w.statusRequest("root"); });
  EXPECT_TRUE(guest->waitFor(ServerCode::StatusText));
}

TEST_F(LoginTest, UsersAdmittedTogetherGetIdenticalWelcomeFrames) {
  start(test::roomsSetting({{"Hall", "", "x"}}));
  auto a = connect();
  auto b = connect();
  client::LoginFields fields;
  fields.name = "First";
  a->request([&](RequestWriter& w) { w.login(fields); });
  fields.name = "Second";
  b->request([&](RequestWriter& w) { w.login(fields); });
  ASSERT_TRUE(a->waitFor(ServerCode::RoomList));
  ASSERT_TRUE(b->waitFor(ServerCode::RoomList));
  EXPECT_EQ(a->frames().back(), b->frames().back());
}

TEST_F(LoginTest, NameRulesRefuseWithoutReplyAndTheConnectionStaysUsable) {
  start();
  char suffix = 'A';
  for (const char* bad : {"9lives", "_under", " space", "trailing ", "hy-phen", ""}) {
    auto client = connect();
    client::LoginFields fields;
    fields.name = bad;
    client->request([&](RequestWriter& w) { w.login(fields); });
    EXPECT_TRUE(client->drain(100ms).empty()) << '"' << bad << '"';
    EXPECT_TRUE(client->loginAsGuest(std::string("Good ") + suffix++)) << "after \"" << bad << '"';
  }
  auto spaced = connect();
  EXPECT_TRUE(spaced->loginAsGuest("A b"));
}

TEST_F(LoginTest, RequestsOutOfTurnStopWithoutReply) {
  start();
  auto guest = connect();
  ASSERT_TRUE(guest->loginAsGuest("Early"));
  guest->request(
      [&](RequestWriter& w) { w.loginProof(test::testHash(1)); });  // after a guest welcome
  EXPECT_TRUE(guest->drain(kQuiet).empty());
  ASSERT_TRUE(guest->registerAccount(test::testHash(4)));
  guest->request(
      [&](RequestWriter& w) { w.registerAccount(test::testHash(4), test::testHash(4)); });
  EXPECT_TRUE(guest->waitFor(ServerCode::RegistrationFailed)) << "a guest's account record stays";

  auto member = connect();
  ASSERT_TRUE(member->loginAsMember("Early", test::testHash(4)));
  member->request(
      [&](RequestWriter& w) { w.registerAccount(test::testHash(5), test::testHash(5)); });
  EXPECT_TRUE(member->drain(kQuiet).empty()) << "a member has no account record to register";

  auto fresh = connect();
  fresh->request(
      [&](RequestWriter& w) { w.registerAccount(test::testHash(5), test::testHash(5)); });
  EXPECT_TRUE(fresh->drain(kQuiet).empty()) << "before admission";
}

TEST_F(LoginTest, ChallengesDifferBetweenTwoStarts) {
  start();
  auto first = connect()->loginAsGuest("Repeat");
  ASSERT_TRUE(first);
  stop(3s);
  resume();
  auto second = connect()->loginAsGuest("Repeat");
  ASSERT_TRUE(second);
  EXPECT_NE(*first, *second);
}

}  // namespace
}  // namespace velmor
