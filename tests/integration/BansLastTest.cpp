// Bans outlive the process and the room: server bans are stored as they are made and read back
// at the start; a room's bans are stored with the room, come back when it wakes, and go with it
// when it expires. Against the real executable.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <ctime>
#include <string>

#include "support/Databases.h"
#include "support/Eventually.h"
#include "support/ProcessTest.h"
#include "support/TestClient.h"

namespace velmor {
namespace {

using namespace std::chrono_literals;
using client::RequestWriter;
using test::TestClient;
using wire::ServerCode;

constexpr int kRogueHost = 11;  // 127.0.0.11: banned by address

class BansLastTest : public test::ProcessTest {
 protected:
  std::string stored(const std::string& sql) {
    test::SqlFile file(server->dir().file("velmordata.db"));
    return file.value(sql);
  }
  // The Banned answer a fresh connection from `host` gets, logging in as `name`: the name of
  // the ban entry, or "" when he is let in.
  std::string bannedAs(std::string_view name, int host = 0) {
    auto c = connect(host);
    client::LoginFields fields;
    fields.name = name;
    c->request([&](RequestWriter& w) { w.login(fields); });
    for (int i = 0; i < 10; ++i) {
      auto m = c->next(3s);
      if (!m) return "(no answer)";
      if (m->is(ServerCode::Banned)) return m->text(0);
      if (m->is(ServerCode::GuestWelcome) || m->is(ServerCode::ServerInfo)) return "";
    }
    return "(no answer)";
  }
  static std::string enterAnswer(TestClient& c, std::string_view room) {
    enter(c, room, "", test::kAskOnly);
    for (int i = 0; i < 50; ++i) {
      auto m = c.next(3s);
      if (!m) return "(no answer)";
      if (m->is(ServerCode::Banned)) return "banned as " + m->text(0);
      if (m->is(ServerCode::MemberList)) return "entered";
    }
    return "(no answer)";
  }
};

// A ban by address and one by name hold after a stop and a start, and so does an unban: after
// SIGTERM, and after SIGKILL once the storage holds them (the last change's row is there,
// and the changes are stored in order).
TEST_F(BansLastTest, ServerBansAndUnbansHoldAfterARestart) {
  const struct {
    const char* stop;
    int signum;
  } rows[] = {{"SIGTERM", SIGTERM}, {"SIGKILL once stored", SIGKILL}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.stop);
    start(R"("adminpassword": "root",)");
    {
      auto chief = member("Chief", "root");
      auto rogue = connect(kRogueHost);
      ASSERT_TRUE(rogue->loginAsGuest("Rogue"));
      auto named = guest("Named");
      auto lifted = guest("Lifted");
      chief->request([](RequestWriter& w) {
        w.serverBan("rogue", "cheating", 0xFFFFFFFF)
            .serverBan("lifted", "by mistake", 0)
            .serverUnban("Lifted")
            .serverBan("named", "spam", 0);
      });
      ASSERT_TRUE(named->waitFor(ServerCode::BannedFromServer));
      ASSERT_TRUE(test::eventually([&] {
        return stored(
                   "SELECT group_concat(Name) FROM (SELECT Name FROM serverbans ORDER BY Id);") ==
               "Rogue,Named";
      }));
    }
    server->signal(row.signum);
    ASSERT_TRUE(server->waitExit(10s).has_value());
    resume();
    EXPECT_EQ(bannedAs("Anyone", kRogueHost), "Rogue") << "the address ban";
    EXPECT_EQ(bannedAs("NAMED"), "Named") << "the name ban, in any case";
    EXPECT_EQ(bannedAs("Lifted"), "") << "the unban";
    auto chief = member("Chief2", "root");
    chief->request([](RequestWriter& w) { w.listServerBans(); });
    auto list = chief->waitFor(ServerCode::ServerBanList);
    ASSERT_TRUE(list);
    EXPECT_EQ(list->bans, (std::vector<client::BanEntry>{{"Rogue", "Chief", "cheating", 0xFFFFFFFF},
                                                         {"Named", "Chief", "spam", 0}}));
    stop();
  }
}

// A room's ban holds after the room slept and woke, after a restart, and goes with the room
// when it expires: a room created again under its name has none.
TEST_F(BansLastTest, RoomBanHoldsAfterSleepAndRestartAndGoesWithTheExpiredRoom) {
  start(R"("roomidletime": 1, "userscancreateroom": true,)");
  auto maker = member("Maker");
  maker->request([](RequestWriter& w) { w.createRoom("Attic", "", "lead", 0); });
  ASSERT_TRUE(maker->waitFor(ServerCode::RoomCreated));
  enter(*maker, "Attic", "lead");
  {
    auto victim = guest("Victim");
    enter(*victim, "Attic");
    maker->request([](RequestWriter& w) { w.roomBan("victim", "noise", 0).leaveRoom(); });
    ASSERT_TRUE(victim->waitFor(ServerCode::BannedFromRoom));
    ASSERT_TRUE(maker->waitFor(ServerCode::RoomClosed, 5s)) << "Attic went to sleep";
    ASSERT_TRUE(test::eventually(
        [&] { return stored("SELECT COUNT(*) FROM roombans WHERE Room='attic';") == "1"; }));
    EXPECT_EQ(enterAnswer(*victim, "Attic"), "banned as Victim") << "woken from its row";
  }
  stop();
  resume();
  EXPECT_EQ(enterAnswer(*guest("Victim"), "Attic"), "banned as Victim") << "after a restart";
  stop();
  {
    test::SqlFile rooms(server->dir().file("velmordata.db"));
    const long eightDaysAgo = static_cast<long>(std::time(nullptr)) - 8 * 86400;
    ASSERT_TRUE(rooms.exec("UPDATE channels SET LastAccessed=" + std::to_string(eightDaysAgo) +
                           " WHERE Name='Attic';"));
  }
  resume();
  ASSERT_TRUE(test::eventually(
      [&] { return stored("SELECT COUNT(*) FROM channels WHERE Name='Attic';") == "0"; }, 10s));
  EXPECT_EQ(stored("SELECT COUNT(*) FROM roombans;"), "0") << "its bans went with it";
  auto heir = member("Heir");
  heir->request([](RequestWriter& w) { w.createRoom("Attic", "", "lead", 0); });
  ASSERT_TRUE(heir->waitFor(ServerCode::RoomCreated));
  EXPECT_EQ(enterAnswer(*guest("Victim"), "Attic"), "entered") << "the new room has no bans";
}

}  // namespace
}  // namespace velmor
