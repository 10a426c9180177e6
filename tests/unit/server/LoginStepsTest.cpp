// Login steps that need a look inside the server: ban list, pending queries, stored names.
#include <gtest/gtest.h>

#include <mutex>

#include "base/FixedText.h"
#include "support/Eventually.h"
#include "support/InProcessServer.h"
#include "support/TestClient.h"

namespace velmor {
namespace {

using namespace std::chrono_literals;
using client::RequestWriter;
using wire::ServerCode;

class LoginStepsTest : public testing::Test {
 protected:
  std::unique_ptr<test::TestClient> connect() {
    return std::make_unique<test::TestClient>(server.port(), 0,
                                              [this] { uv_run(server.loop(), UV_RUN_NOWAIT); });
  }
  test::InProcessServer server;
};

TEST_F(LoginStepsTest, BannedNameIsAnsweredWithTheEntryName) {
  BanEntry ban;
  copyText(ban.name, "Mallory");
  server.core().serverBans.add(ban);
  auto client = connect();
  client::LoginFields fields;
  fields.name = "mALLORY";
  client->request([&](RequestWriter& w) { w.login(fields); });
  auto banned = client->next();
  ASSERT_TRUE(banned && banned->is(ServerCode::Banned));
  EXPECT_EQ(banned->text(0), "Mallory");
  EXPECT_TRUE(client->drain(test::kQuiet).empty());
}

TEST_F(LoginStepsTest, DisconnectWhileTheLookupIsQueuedLeavesNothingBehind) {
  auto client = connect();
  ASSERT_TRUE(server.pumpUntil([&] { return server.server().users.size() == 1; }));
  {
    std::lock_guard<std::mutex> hold(server.core().pipeline().queryLock());
    client::LoginFields fields;
    fields.name = "Leaver";
    client->request([&](RequestWriter& w) { w.login(fields); });
    ASSERT_TRUE(server.pumpUntil([&] { return server.server().users[0]->hasPendingQueries(); }));
    client->socket().close();
    ASSERT_TRUE(server.pumpUntil([&] { return server.server().disconnects == 1; }));
  }
  ASSERT_TRUE(server.settleQueries());  // the worker dropped the cancelled lookup
  EXPECT_FALSE(server.core().online.admissionDue());
  EXPECT_TRUE(server.core().online.list().empty());
  EXPECT_EQ(server.core().traffic.users.get(), 0u);
}

TEST_F(LoginStepsTest, StoredLetterCaseOfTheNameWins) {
  auto guest = connect();
  ASSERT_TRUE(guest->loginAsGuest("DaVinci"));
  ASSERT_TRUE(guest->registerAccount(test::testHash(8)));
  guest.reset();
  ASSERT_TRUE(server.pumpUntil([&] { return server.core().online.list().empty(); }));
  auto member = connect();
  ASSERT_TRUE(member->loginAsMember("davinci", test::testHash(8)));
  ASSERT_EQ(server.core().online.list().size(), 1u);
  const User& user = *server.core().online.list()[0];
  EXPECT_STREQ(user.identity().name, "DaVinci");
  EXPECT_STREQ(user.identity().nameKey, "davinci");
  EXPECT_TRUE(user.rights().isMember);
}

// A guest refused with NameInUse stays refused on that connection (no further Login), but
// he is not left marked as waiting for an admission that will never come.
TEST_F(LoginStepsTest, GuestRefusedForATakenNameIsNotLeftWaitingForAdmission) {
  auto holder = connect();
  ASSERT_TRUE(holder->loginAsGuest("Twin"));
  auto second = connect();
  client::LoginFields fields;
  fields.name = "twin";
  second->request([&](RequestWriter& w) { w.login(fields); });
  ASSERT_TRUE(second->waitFor(ServerCode::NameInUse));
  ASSERT_EQ(server.server().users.size(), 2u);
  const User& refused = *server.server().users[1];
  EXPECT_FALSE(refused.presence().admissionPending()) << "he is in no admission queue";
  EXPECT_FALSE(server.core().online.admissionDue());
  fields.name = "Other";
  second->request([&](RequestWriter& w) { w.login(fields); });
  EXPECT_TRUE(second->drain(test::kQuiet).empty()) << "no further login on this connection";
  EXPECT_EQ(server.core().online.list().size(), 1u);
}

}  // namespace
}  // namespace velmor
