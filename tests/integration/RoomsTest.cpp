// Room, channel and moderation requests, against the real executable over TCP.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "support/Eventually.h"
#include "support/ProcessTest.h"
#include "support/TestClient.h"

namespace velmor {
namespace {

using namespace std::chrono_literals;
using client::BanEntry;
using client::DirectoryEntry;
using client::RequestWriter;
using test::TestClient;
using wire::ServerCode;

using test::kAskOnly;
using test::kQuiet;
constexpr int kBannedHost = 10;  // 127.0.0.10, the one address a test reuses

// The answers of room and moderation requests. Room announcements and relay traffic are
// not answers: a join is silent whatever the relay later tells the room.
bool isAnswer(const client::ServerMessage& m) {
  using C = ServerCode;
  static constexpr C kAnswers[] = {
      C::RoomCreated,          C::RoomCreateFailed, C::RoomExists,     C::RoomExistsLocked,
      C::RoomCreationDenied,   C::MembersOnly,      C::NoSuchRoom,     C::RoomFull,
      C::WrongRoomPassword,    C::Banned,           C::RoomLeft,       C::RoomDirectory,
      C::RoomPasswordsChanged, C::RoomLockChanged,  C::ChannelJoined,  C::ChannelLeft,
      C::TooManyChannels,      C::KickedFromRoom,   C::BannedFromRoom, C::KickedFromServer,
      C::BannedFromServer,     C::RoomBanList,      C::ServerBanList};
  return std::any_of(std::begin(kAnswers), std::end(kAnswers), [&](C code) { return m.is(code); });
}

// The next answer is `code`; it is stored in `out` when given.
testing::AssertionResult answered(TestClient& c, ServerCode code,
                                  client::ServerMessage* out = nullptr) {
  return c.answer(code, isAnswer, out, 3s);
}

testing::AssertionResult silent(TestClient& c) {
  for (const auto& m : c.drain(kQuiet)) {
    if (isAnswer(m)) return testing::AssertionFailure() << "answered " << m.describe();
  }
  return testing::AssertionSuccess();
}

class RoomsTest : public test::ProcessTest {
 protected:
  static void kick(TestClient& c, std::string_view target, std::string_view reason) {
    c.request([&](RequestWriter& w) { w.roomKick(target, reason); });
  }
};

TEST_F(RoomsTest, SixthChannelIsTooMany) {
  const char* names[] = {"R1", "R2", "R3", "R4", "R5", "R6"};
  std::vector<test::RoomSetting> table;
  for (const char* name : names) table.push_back({name, "", "l"});
  start(test::roomsSetting(table));
  // Rooms with members have relay passes: a new follower's member list goes out there, and
  // with it his current channel clears, so the next join adds a channel instead of moving.
  std::vector<std::unique_ptr<TestClient>> occupants;
  for (const char* name : names) {
    occupants.push_back(guest(std::string("In ") + name));
    enter(*occupants.back(), name, "", kAskOnly);
  }
  auto follower = guest("Follower");
  for (int i = 0; i < 5; ++i) {
    follower->request([&](RequestWriter& w) { w.joinChannel(names[i], ""); });
    ASSERT_TRUE(answered(*follower, ServerCode::ChannelJoined)) << names[i];
    ASSERT_TRUE(follower->waitFor(ServerCode::MemberList)) << names[i];
  }
  follower->request([&](RequestWriter& w) { w.joinChannel(names[5], ""); });
  EXPECT_TRUE(answered(*follower, ServerCode::TooManyChannels));
  follower->request([&](RequestWriter& w) { w.joinChannel(names[0], ""); });
  EXPECT_TRUE(answered(*follower, ServerCode::TooManyChannels)) << "even for a channel he follows";
}

TEST_F(RoomsTest, ChannelsJoinLeaveAndKeepTheCurrentChannel) {
  start(test::roomsSetting(
      {{"Hall", "", "hl"}, {"Den", "", "dl"}, {"Vault", "key", "vl"}, {"Attic", "", "al", false}}));
  auto u = guest("Chatter");
  client::ServerMessage m;
  auto join = [&](std::string_view name, std::string_view password) {
    u->request([&](RequestWriter& w) { w.joinChannel(name, password); });
  };
  auto leave = [&](std::string_view name) {
    u->request([&](RequestWriter& w) { w.leaveChannel(name); });
  };
  join("Attic", "");  // stored, not live
  EXPECT_TRUE(answered(*u, ServerCode::NoSuchRoom));
  join("Vault", "wrong");
  EXPECT_TRUE(answered(*u, ServerCode::WrongRoomPassword));
  join("vault", "vl");  // the leader password opens it too
  ASSERT_TRUE(answered(*u, ServerCode::ChannelJoined, &m));
  EXPECT_EQ(m.numbers, (std::vector<std::uint32_t>{2}));
  join("Vault", "key");
  EXPECT_TRUE(silent(*u)) << "the current channel again";

  join("Hall", "");
  ASSERT_TRUE(answered(*u, ServerCode::ChannelJoined, &m));
  EXPECT_EQ(m.numbers, (std::vector<std::uint32_t>{0}));
  leave("Vault");
  EXPECT_TRUE(silent(*u)) << "joining Hall dropped the previous current channel";
  leave("hall");
  EXPECT_TRUE(silent(*u)) << "channel names are compared exactly";
  leave("Hall");
  ASSERT_TRUE(answered(*u, ServerCode::ChannelLeft, &m));
  EXPECT_EQ(m.numbers, (std::vector<std::uint32_t>{0, 1})) << "not the user's room";
  join("Hall", "");
  EXPECT_TRUE(silent(*u)) << "Hall is still the current channel";
  leave("Hall");
  EXPECT_TRUE(silent(*u));

  join("Den", "");
  ASSERT_TRUE(answered(*u, ServerCode::ChannelJoined, &m));
  EXPECT_EQ(m.numbers, (std::vector<std::uint32_t>{1}));
  join("Hall", "");
  EXPECT_TRUE(answered(*u, ServerCode::ChannelJoined));
  enter(*u, "Hall", "", kAskOnly);
  leave("Hall");
  ASSERT_TRUE(answered(*u, ServerCode::ChannelLeft, &m));
  EXPECT_EQ(m.numbers, (std::vector<std::uint32_t>{0, 0})) << "the user's own room";
}

TEST_F(RoomsTest, ListRoomsPagesTheStoredRoomsOnly) {
  std::vector<test::RoomSetting> table{{"Hall", "", "hl"}};
  std::vector<std::string> expected;
  for (int i = 0; i < 45; ++i) {
    char name[16];
    std::snprintf(name, sizeof(name), "Stored%02d", i);
    expected.emplace_back(name);
    table.push_back({name, "", "sl", false});
  }
  start(test::roomsSetting(table));
  auto u = guest("Reader");
  auto page = [&](std::uint16_t first) {
    u->request([&](RequestWriter& w) { w.listRooms(first); });
    client::ServerMessage m;
    EXPECT_TRUE(answered(*u, ServerCode::RoomDirectory, &m)) << first;
    return m;
  };
  auto last = page(40);
  EXPECT_EQ(last.numbers, (std::vector<std::uint32_t>{40, 5}));
  ASSERT_EQ(last.directory.size(), 5u);
  for (const DirectoryEntry& entry : last.directory) EXPECT_EQ(entry.creator, "server");
  EXPECT_EQ(page(45).numbers, (std::vector<std::uint32_t>{45, 0}));
  EXPECT_EQ(page(65535).numbers, (std::vector<std::uint32_t>{65535, 0}));
  auto first = page(0);
  EXPECT_EQ(first.numbers, (std::vector<std::uint32_t>{0, 20}));
  auto middle = page(20);
  std::vector<std::string> names;
  for (const auto* p : {&first, &middle, &last}) {
    for (const DirectoryEntry& entry : p->directory) names.push_back(entry.name);
  }
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, expected) << "every stored room once, the live Hall not at all";

  enter(*u, "Stored07", "", kAskOnly);  // the room wakes and leaves the directory
  ASSERT_TRUE(u->waitFor(ServerCode::RoomOpened));
  EXPECT_EQ(page(40).numbers, (std::vector<std::uint32_t>{40, 4}));
}

TEST_F(RoomsTest, LeaderPasswordMakesALeaderAndTheRoomPasswordUnmakesOne) {
  start(test::roomsSetting({{"Keep", "gate", "crown"}, {"Open", "", ""}}));
  auto lead = member("Lead");
  auto plain = member("Plain");
  auto target = guest("Target");
  enter(*lead, "Keep", "crown", kAskOnly);
  enter(*plain, "Keep", "gate", kAskOnly);
  enter(*target, "Keep", "gate", kAskOnly);
  auto listBans = [](TestClient& c) { c.request([](RequestWriter& w) { w.listRoomBans(); }); };

  listBans(*plain);
  EXPECT_TRUE(silent(*plain));
  kick(*plain, "Target", "no");
  EXPECT_TRUE(silent(*target)) << "an ordinary member cannot kick";
  listBans(*lead);
  client::ServerMessage m;
  ASSERT_TRUE(answered(*lead, ServerCode::RoomBanList, &m));
  EXPECT_TRUE(m.bans.empty());

  lead->request([](RequestWriter& w) { w.roomBan("Target", "spam", 0); });
  ASSERT_TRUE(answered(*target, ServerCode::BannedFromRoom, &m));
  EXPECT_EQ(m.text(0), "spam");
  enter(*target, "Keep", "gate", kAskOnly);
  ASSERT_TRUE(answered(*target, ServerCode::Banned, &m));
  EXPECT_EQ(m.text(0), "Target");
  listBans(*lead);
  ASSERT_TRUE(answered(*lead, ServerCode::RoomBanList, &m));
  EXPECT_EQ(m.bans, (std::vector<BanEntry>{{"Target", "Lead", "spam", 0}}));
  lead->request([](RequestWriter& w) { w.roomUnban("Target"); });
  EXPECT_TRUE(silent(*lead));
  enter(*target, "Keep", "gate", kAskOnly);
  EXPECT_TRUE(silent(*target)) << "unbanned";

  // A wrong password changes nothing; the room password makes an ordinary member.
  lead->request([](RequestWriter& w) { w.claimLeader("nope"); });
  EXPECT_TRUE(answered(*lead, ServerCode::WrongRoomPassword));
  kick(*lead, "Target", "still leader");
  ASSERT_TRUE(answered(*target, ServerCode::KickedFromRoom, &m));
  EXPECT_EQ(m.text(0), "still leader");
  enter(*target, "Keep", "gate", kAskOnly);
  lead->request([](RequestWriter& w) { w.claimLeader("gate"); });
  EXPECT_TRUE(silent(*lead));
  listBans(*lead);
  EXPECT_TRUE(silent(*lead));
  kick(*lead, "Target", "demoted");
  EXPECT_TRUE(silent(*target));
  lead->request([](RequestWriter& w) { w.claimLeader("crown"); });
  listBans(*lead);
  EXPECT_TRUE(answered(*lead, ServerCode::RoomBanList)) << "the leader password restores";

  // An empty leader password makes nobody leader, at entry or by claim.
  enter(*plain, "Open", "", kAskOnly);
  listBans(*plain);
  EXPECT_TRUE(silent(*plain));
  plain->request([](RequestWriter& w) { w.claimLeader(""); });
  listBans(*plain);
  EXPECT_TRUE(silent(*plain));
}

TEST_F(RoomsTest, SetRoomPasswordsUnlocksForEveryoneAndIgnoresOthers) {
  start(test::roomsSetting({{"Hall", "", "hl"}, {"Locked", "pw", "lp"}}));
  auto watcher1 = guest("Watcher one");
  auto watcher2 = guest("Watcher two");
  auto outsider = guest("Outsider");
  auto lead = member("Leader");
  enter(*outsider, "Locked", "pw", kAskOnly);
  enter(*lead, "Locked", "lp", kAskOnly);
  auto set = [](TestClient& c, std::string_view password, std::string_view leader) {
    c.request([&](RequestWriter& w) { w.setRoomPasswords(password, leader); });
  };

  set(*outsider, "", "new");
  EXPECT_TRUE(silent(*outsider)) << "neither creator nor leader";
  EXPECT_TRUE(silent(*watcher1));
  set(*lead, "same", "same");
  set(*lead, "lp", "");  // the current leader password as the room password
  lead->request([](RequestWriter& w) { w.type(wire::ClientType::SetRoomPasswords).string(""); });
  EXPECT_TRUE(silent(*lead));
  EXPECT_TRUE(silent(*watcher1));

  set(*lead, "", "");
  client::ServerMessage m;
  for (TestClient* c : {watcher1.get(), watcher2.get(), outsider.get(), lead.get()}) {
    ASSERT_TRUE(answered(*c, ServerCode::RoomLockChanged, &m));
    EXPECT_EQ(m.numbers, (std::vector<std::uint32_t>{1, 0}));
  }
  EXPECT_TRUE(answered(*lead, ServerCode::RoomPasswordsChanged));
  enter(*watcher1, "Locked", "", kAskOnly);
  EXPECT_TRUE(silent(*watcher1)) << "unlocked";

  set(*lead, "again", "");
  for (TestClient* c : {watcher2.get(), lead.get()}) {
    ASSERT_TRUE(answered(*c, ServerCode::RoomLockChanged, &m));
    EXPECT_EQ(m.numbers, (std::vector<std::uint32_t>{1, 1}));
  }
  EXPECT_TRUE(answered(*lead, ServerCode::RoomPasswordsChanged));
  enter(*watcher2, "Locked", "", kAskOnly);
  EXPECT_TRUE(answered(*watcher2, ServerCode::WrongRoomPassword));
  watcher2->request([](RequestWriter& w) { w.enterRoom("Locked", "lp").leaveRoom(); });
  EXPECT_TRUE(answered(*watcher2, ServerCode::RoomLeft)) << "the leader password was kept";
}

TEST_F(RoomsTest, LeadersCannotKickLeadersOrAdminsButAdminsKickAnywhere) {
  start(R"("adminpassword": "root",)" +
        test::roomsSetting({{"Arena", "", "boss"}, {"Annex", "", "other"}}));
  auto admin = member("Admin", "root");
  auto first = member("First");
  auto second = member("Second");
  auto victim = guest("Victim");
  enter(*first, "Arena", "boss", kAskOnly);
  enter(*second, "Arena", "boss", kAskOnly);
  enter(*admin, "Arena", "", kAskOnly);
  enter(*victim, "Annex", "", kAskOnly);

  kick(*first, "Second", "go");
  kick(*first, "Admin", "go");
  kick(*first, "Victim", "go");  // a leader of another room
  kick(*admin, "First", "go");   // nobody kicks a leader
  for (TestClient* c : {second.get(), admin.get(), victim.get(), first.get()}) {
    EXPECT_TRUE(silent(*c));
  }
  kick(*victim, "First", "go");
  EXPECT_TRUE(answered(*victim, ServerCode::MembersOnly));

  kick(*admin, "VICTIM", "rules");
  client::ServerMessage m;
  ASSERT_TRUE(answered(*victim, ServerCode::KickedFromRoom, &m));
  EXPECT_EQ(m.text(0), "rules");
  victim->request([](RequestWriter& w) { w.leaveRoom(); });
  EXPECT_TRUE(silent(*victim)) << "no longer in Annex";
  for (TestClient* c : {second.get(), admin.get()}) {
    c->request([](RequestWriter& w) { w.leaveRoom(); });
    EXPECT_TRUE(answered(*c, ServerCode::RoomLeft)) << "still in Arena";
  }
}

TEST_F(RoomsTest, EnteringTheCurrentRoomIsIgnoredAndLeavingIsAnswered) {
  start(test::roomsSetting({{"Hall", "", "hl"},
                            {"Vault", "key", "vl"},
                            {"Tiny", "", "tl", true, R"(, "maxusers": 1)"}}));
  auto u = guest("Walker");
  auto other = guest("Other");
  auto leaveRoom = [](TestClient& c) { c.request([](RequestWriter& w) { w.leaveRoom(); }); };
  leaveRoom(*u);
  EXPECT_TRUE(silent(*u)) << "in no room";

  enter(*u, "Vault", "key", kAskOnly);
  enter(*u, "VAULT", "wrong", kAskOnly);
  EXPECT_TRUE(silent(*u)) << "a fresh entry with this password would be refused";
  enter(*u, "Tiny", "", kAskOnly);  // leaves the Vault
  enter(*other, "Tiny", "", kAskOnly);
  EXPECT_TRUE(answered(*other, ServerCode::RoomFull));
  enter(*u, "tiny", "", kAskOnly);
  EXPECT_TRUE(silent(*u)) << "a fresh entry into the full room would be refused";

  enter(*u, "Hall", "", kAskOnly);
  enter(*other, "Tiny", "", kAskOnly);
  EXPECT_TRUE(silent(*other)) << "Walker left Tiny by entering Hall";
  enter(*other, "Vault", "nope", kAskOnly);
  EXPECT_TRUE(answered(*other, ServerCode::WrongRoomPassword));
  leaveRoom(*other);
  EXPECT_TRUE(answered(*other, ServerCode::RoomLeft)) << "a refused entry keeps the old room";
  leaveRoom(*u);
  EXPECT_TRUE(answered(*u, ServerCode::RoomLeft));
  leaveRoom(*u);
  EXPECT_TRUE(silent(*u));
}

TEST_F(RoomsTest, RoomOfThreeHundredRefusesTheTwoHundredFiftySixthMember) {
  start(test::roomsSetting({{"Crowd", "", "cl", true, R"(, "maxusers": 300)"}}));
  constexpr int kUsers = 256;
  std::vector<std::unique_ptr<TestClient>> crowd;
  for (int i = 0; i < kUsers; ++i) {
    char name[8];
    std::snprintf(name, sizeof(name), "G%03d", i);
    crowd.push_back(connect());
    client::LoginFields fields;
    fields.name = name;
    crowd.back()->request([&](RequestWriter& w) { w.login(fields); });
  }
  for (int i = 0; i < kUsers; ++i) ASSERT_TRUE(crowd[i]->waitFor(ServerCode::RoomList)) << i;
  // Each entry is followed by a listing, so the directory answer proves the entry was handled.
  for (int i = 0; i < kUsers - 1; ++i) {
    crowd[i]->request([](RequestWriter& w) { w.enterRoom("Crowd", "").listRooms(0); });
  }
  for (int i = 0; i < kUsers - 1; ++i) {
    ASSERT_TRUE(answered(*crowd[i], ServerCode::RoomDirectory)) << "member " << i;
  }
  TestClient& last = *crowd.back();
  enter(last, "Crowd", "", kAskOnly);
  EXPECT_TRUE(answered(last, ServerCode::WrongRoomPassword));
  crowd[0]->request([](RequestWriter& w) { w.leaveRoom(); });
  EXPECT_TRUE(answered(*crowd[0], ServerCode::RoomLeft));
  last.request([](RequestWriter& w) { w.enterRoom("Crowd", "").leaveRoom(); });
  EXPECT_TRUE(answered(last, ServerCode::RoomLeft)) << "a slot came free";
}

TEST_F(RoomsTest, ServerKickAndBanByAddressAndName) {
  start(R"("adminpassword": "root",)");
  auto chief = member("Chief", "root");
  auto deputy = guest("Deputy", "root");  // an administrator, not a member
  auto drifter = guest("Drifter");
  auto rogue = connect(kBannedHost);
  ASSERT_TRUE(rogue->loginAsGuest("Rogue"));

  deputy->request([](RequestWriter& w) { w.serverKick("Drifter", "x"); });
  EXPECT_TRUE(answered(*deputy, ServerCode::MembersOnly));
  drifter->request([](RequestWriter& w) { w.serverKick("Chief", "x"); });
  EXPECT_TRUE(silent(*chief));
  EXPECT_TRUE(silent(*drifter));
  chief->request([](RequestWriter& w) { w.serverKick("drifter", "bye"); });
  client::ServerMessage m;
  ASSERT_TRUE(answered(*drifter, ServerCode::KickedFromServer, &m));
  EXPECT_EQ(m.text(0), "bye");
  EXPECT_TRUE(connect()->loginAsGuest("Drifter")) << "the name is free again";

  chief->request([](RequestWriter& w) { w.serverBan("ROGUE", "cheating", 0xFFFFFFFF); });
  ASSERT_TRUE(answered(*rogue, ServerCode::BannedFromServer, &m));
  EXPECT_EQ(m.text(0), "cheating");
  EXPECT_FALSE(rogue->closedByServer(100ms)) << "the banned connection stays open";
  chief->request([](RequestWriter& w) { w.listServerBans(); });
  ASSERT_TRUE(answered(*chief, ServerCode::ServerBanList, &m));
  EXPECT_EQ(m.bans, (std::vector<BanEntry>{{"Rogue", "Chief", "cheating", 0xFFFFFFFF}}));

  auto again = connect(kBannedHost);
  ASSERT_TRUE(answered(*again, ServerCode::Banned, &m));
  EXPECT_EQ(again->frames().front(), std::string("\x3C\x05\x00Rogue", 8));
  EXPECT_TRUE(again->closedByServer(3s));
  auto renamed = connect();
  client::LoginFields fields;
  fields.name = "rOGUE";
  renamed->request([&](RequestWriter& w) { w.login(fields); });
  ASSERT_TRUE(answered(*renamed, ServerCode::Banned, &m));
  EXPECT_EQ(m.text(0), "Rogue");

  chief->request([](RequestWriter& w) { w.serverUnban("Rogue").listServerBans(); });
  ASSERT_TRUE(answered(*chief, ServerCode::ServerBanList, &m));
  EXPECT_TRUE(m.bans.empty());
  EXPECT_TRUE(connect(kBannedHost)->loginAsGuest("Rogue")) << "unbanned address and name";
}

TEST_F(RoomsTest, CreateRoomNeedsPermissionThenMembership) {
  start(R"("adminpassword": "root",)");
  auto create = [](TestClient& c) {
    c.request([](RequestWriter& w) { w.createRoom("Forge", "", "smith", 0); });
  };
  auto passer = guest("Passer");
  create(*passer);
  EXPECT_TRUE(answered(*passer, ServerCode::RoomCreationDenied));
  auto settler = member("Settler");
  create(*settler);
  EXPECT_TRUE(answered(*settler, ServerCode::RoomCreationDenied));
  auto warden = guest("Warden", "root");
  create(*warden);
  EXPECT_TRUE(answered(*warden, ServerCode::MembersOnly)) << "administrators need an account";
  ASSERT_TRUE(warden->registerAccount(test::testHash(7)));
  create(*warden);
  EXPECT_TRUE(answered(*warden, ServerCode::RoomCreated));
}

TEST_F(RoomsTest, CreatedRoomIsStoredListedAndLoadedOnEntry) {
  start(R"("userscancreateroom": true,)" + test::roomsSetting({{"Cellar", "pw", "cl", false}}));
  auto visitor = guest("Visitor");
  auto maker = member("Maker");
  auto create = [&](std::string_view name, std::string_view password, std::string_view leader) {
    maker->request([&](RequestWriter& w) { w.createRoom(name, password, leader, 2); });
  };
  visitor->request([](RequestWriter& w) { w.createRoom("Forge", "", "smith", 0); });
  EXPECT_TRUE(answered(*visitor, ServerCode::MembersOnly));
  create("9lives", "", "x");
  create("Forge", "same", "same");
  create("Forge", "", "");
  EXPECT_TRUE(silent(*maker)) << "bad name, equal passwords, no leader password";

  create("Forge", "", "smith");
  EXPECT_TRUE(answered(*maker, ServerCode::RoomCreated));
  create("FORGE", "", "other");
  EXPECT_TRUE(answered(*maker, ServerCode::RoomExists));
  create("cellar", "", "other");
  EXPECT_TRUE(answered(*maker, ServerCode::RoomExists));
  maker->request([](RequestWriter& w) { w.leaveRoom().listRooms(0); });
  client::ServerMessage m;
  ASSERT_TRUE(answered(*maker, ServerCode::RoomDirectory, &m)) << "not entered automatically";
  EXPECT_EQ(m.directory, (std::vector<DirectoryEntry>{{"Cellar", "server"}, {"Forge", "Maker"}}));

  enter(*visitor, "Nowhere", "", kAskOnly);
  EXPECT_TRUE(answered(*visitor, ServerCode::NoSuchRoom));
  enter(*visitor, "Cellar", "bad", kAskOnly);
  EXPECT_TRUE(answered(*visitor, ServerCode::WrongRoomPassword));
  visitor->navigationRoom = true;  // any non-zero byte makes a navigation room
  enter(*visitor, "forge", "", kAskOnly);
  auto opened = visitor->waitFor(ServerCode::RoomOpened);
  ASSERT_TRUE(opened);
  ASSERT_EQ(opened->rooms.size(), 1u);
  EXPECT_EQ(opened->rooms[0].name, "Forge");
  EXPECT_TRUE(opened->rooms[0].navigation);
  EXPECT_TRUE(silent(*visitor));
  create("Forge", "", "third");
  EXPECT_TRUE(answered(*maker, ServerCode::RoomExists)) << "live now";
  maker->request([](RequestWriter& w) { w.listRooms(0); });
  ASSERT_TRUE(answered(*maker, ServerCode::RoomDirectory, &m));
  EXPECT_EQ(m.directory, (std::vector<DirectoryEntry>{{"Cellar", "server"}}));

  visitor->request([](RequestWriter& w) { w.leaveRoom(); });
  EXPECT_TRUE(answered(*visitor, ServerCode::RoomLeft));
  visitor->navigationRoom = false;
  enter(*visitor, "Cellar", "cl", kAskOnly);
  ASSERT_TRUE(visitor->waitFor(ServerCode::RoomOpened));
  visitor->request([](RequestWriter& w) { w.leaveRoom(); });
  EXPECT_TRUE(answered(*visitor, ServerCode::RoomLeft)) << "the leader password loads it";
}

}  // namespace
}  // namespace velmor
