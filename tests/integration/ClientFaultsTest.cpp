// Faults a client could cause, each pinned from outside against the real executable:
// rights kept across logins, bans passed by a leader of another room, a seat broken by a
// double entry, repeats that flood a room, files left unreadable or saved by a reader, and
// files that outlived their room; server bans walked past between login and admission or
// under another name, room bans that left a channel open, and room loads that arrived after
// the user had asked for something else.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "client/LoginProof.h"
#include "support/Databases.h"
#include "support/Eventually.h"
#include "support/ProcessTest.h"
#include "support/TestClient.h"

namespace velmor {
namespace {

using namespace std::chrono_literals;
using client::RequestWriter;
using client::ServerMessage;
using test::TestClient;
using W = client::RequestWriter;
using wire::ServerCode;

using test::kQuiet;
constexpr std::size_t kChunk = 8000;

std::size_t countOf(const std::vector<ServerMessage>& messages, ServerCode code) {
  return static_cast<std::size_t>(std::count_if(messages.begin(), messages.end(),
                                                [code](const auto& m) { return m.is(code); }));
}

class ClientFaultsTest : public test::ProcessTest {
 protected:
  static void login(TestClient& c, std::string_view name, std::string_view password = "") {
    client::LoginFields fields;
    fields.name = name;
    fields.password = password;
    c.request([&](W& w) { w.login(fields); });
  }
  std::string sqlFile(const char* name) const { return server->dir().file(name); }
};

// One frame of 600 repeats after a line of 1000 bytes: the repeats count toward the ten
// lines a member may say in a second, so the room hears the line ten times, not 601.
TEST_F(ClientFaultsTest, ChatRepeatsCountTowardTheLineAllowance) {
  start(test::roomsSetting({{"Hall"}}));
  auto talker = guest("Talker");
  auto listener = guest("Listener");
  enter(*talker, "Hall");
  enter(*listener, "Hall");
  listener->drain(kQuiet);
  const std::string line(1000, 'x');
  talker->request([&](W& w) {
    w.roomChat(line);
    for (int i = 0; i < 600; ++i) w.repeatRoomChat();
  });
  EXPECT_EQ(countOf(listener->drain(1500ms), ServerCode::RoomLine), 10u);
  // A second later the allowance is back: one more repeat is heard.
  talker->request([](W& w) { w.repeatRoomChat(); });
  EXPECT_EQ(countOf(listener->drain(kQuiet), ServerCode::RoomLine), 1u);
}

// The allowance is the user's, not renewed by leaving and entering again: ten lines, a
// re-entry and ten more within the second make the room hear ten.
TEST_F(ClientFaultsTest, ReenteringARoomDoesNotRenewTheLineAllowance) {
  start(test::roomsSetting({{"Hall"}}));
  auto talker = guest("Talker");
  auto listener = guest("Listener");
  enter(*talker, "Hall");
  enter(*listener, "Hall");
  listener->drain(kQuiet);
  talker->request([](W& w) {
    for (int i = 0; i < 10; ++i) w.roomChat("before " + std::to_string(i));
  });
  auto heard = listener->drain(150ms);  // delivered before he leaves
  talker->request([](W& w) {
    w.leaveRoom();
    w.enterRoom("Hall", "");
    for (int i = 0; i < 10; ++i) w.roomChat("after " + std::to_string(i));
  });
  for (auto& m : listener->drain(700ms)) heard.push_back(m);
  EXPECT_EQ(countOf(heard, ServerCode::RoomLine), 10u);
}

// After LoginReplaced or a server kick the connection may log in again; what the first
// login granted (membership, administration) must not carry over to the second.
TEST_F(ClientFaultsTest, SecondLoginStartsFromACleanIdentity) {
  start(R"("adminpassword": "root",)");
  auto admin = member("Warden", "root");
  auto gina = guest("Gina");
  struct Case {
    const char* name;
    bool byKick;
  };
  for (const Case& c : {Case{"Rover", false}, Case{"Kicked", true}}) {
    SCOPED_TRACE(c.name);
    auto first = member(c.name, "root");  // an administrator and a member
    std::unique_ptr<TestClient> second;
    if (c.byKick) {
      admin->request([&](W& w) { w.serverKick(c.name, "out"); });
      ASSERT_TRUE(first->waitFor(ServerCode::KickedFromServer));
    } else {
      second = connect();
      ASSERT_TRUE(second->loginAsMember(c.name, memberHash(c.name)));
      ASSERT_TRUE(first->waitFor(ServerCode::LoginReplaced));
    }
    // A guest login under the name of a guest who is online is refused, and she stays.
    login(*first, "gina");
    ASSERT_TRUE(first->waitFor(ServerCode::GuestWelcome));
    EXPECT_TRUE(first->waitFor(ServerCode::NameInUse, 2s));
    EXPECT_EQ(countOf(gina->drain(kQuiet), ServerCode::LoginReplaced), 0u);
  }
  // Administration without the password: a guest who once was an administrator is refused
  // the status text.
  auto replaced = member("Demoted", "root");
  auto owner = connect();
  ASSERT_TRUE(owner->loginAsMember("Demoted", memberHash("Demoted")));
  ASSERT_TRUE(replaced->waitFor(ServerCode::LoginReplaced));
  ASSERT_TRUE(replaced->loginAsGuest("Plain"));
  replaced->request([](W& w) { w.statusRequest("wrong"); });
  EXPECT_EQ(countOf(replaced->drain(kQuiet), ServerCode::StatusText), 0u);
  owner->request([](W& w) { w.statusRequest("wrong"); });
  EXPECT_EQ(countOf(owner->drain(kQuiet), ServerCode::StatusText), 0u)
      << "the member who logged in without the password is no administrator either";
}

// Leadership is of one room: a user banned from Alpha who leads Beta is still banned from
// Alpha, whether he asks from inside Beta or after leaving it.
TEST_F(ClientFaultsTest, LeadershipOfAnotherRoomDoesNotPassARoomBan) {
  start(test::roomsSetting({{"Alpha", "", "la"}, {"Beta", "", "lb"}}));
  auto leader = member("Chief");
  auto outcast = guest("Outcast");
  enter(*leader, "Alpha", "la");
  enter(*outcast, "Alpha");
  leader->request([](W& w) { w.roomBan("Outcast", "begone", 0); });
  ASSERT_TRUE(outcast->waitFor(ServerCode::BannedFromRoom));
  enter(*outcast, "Beta", "lb");  // leader of Beta

  outcast->request([](W& w) { w.enterRoom("Alpha", ""); });
  auto answer = outcast->waitFor(ServerCode::Banned, 2s);
  ASSERT_TRUE(answer) << "entered Alpha from Beta";
  EXPECT_EQ(answer->text(0), "Outcast");

  outcast->request([](W& w) { w.leaveRoom(); });
  ASSERT_TRUE(outcast->waitFor(ServerCode::RoomLeft));
  outcast->request([](W& w) { w.enterRoom("Alpha", ""); });
  EXPECT_TRUE(outcast->waitFor(ServerCode::Banned, 2s)) << "entered Alpha after leaving Beta";
}

// Locking and unlocking a room is told to every online user; a frame of a thousand toggles
// is told at most twice (the first change at once, the final state at the next tick).
TEST_F(ClientFaultsTest, RoomLockTogglesAreToldOncePerTick) {
  start(test::roomsSetting({{"Alpha", "", "la"}}));
  auto leader = member("Chief");
  auto watcher = guest("Watcher");
  enter(*leader, "Alpha", "la");
  watcher->drain(kQuiet);
  leader->request([](W& w) {
    for (int i = 0; i < 1001; ++i) w.setRoomPasswords(i % 2 == 0 ? "pw" : "", "");
  });
  const auto heard = watcher->drain(kQuiet);
  std::vector<ServerMessage> locks;
  std::copy_if(heard.begin(), heard.end(), std::back_inserter(locks),
               [](const auto& m) { return m.is(ServerCode::RoomLockChanged); });
  ASSERT_FALSE(locks.empty());
  EXPECT_LE(locks.size(), 2u);
  EXPECT_EQ(locks.back().number(1), 1u) << "the final state: locked";
  // A single change later is told at once, as ever.
  leader->request([](W& w) { w.setRoomPasswords("", ""); });
  auto unlocked = watcher->waitFor(ServerCode::RoomLockChanged, 1s);
  ASSERT_TRUE(unlocked);
  EXPECT_EQ(unlocked->number(1), 0u);
}

// The rooms of the settings file are stored with the creator "server", which is no user: one
// who logs in (or registers) under that name gets no creator's rights over them.
TEST_F(ClientFaultsTest, NameServerGivesNoCreatorRightsOverConfiguredRooms) {
  start(test::roomsSetting({{"Alpha", "", "la"}}));
  auto impostor = member("server");
  enter(*impostor, "Alpha");
  impostor->request([](W& w) { w.setRoomPasswords("taken", "mine").createFile("note", 1, 1); });
  const auto answers = impostor->drain(kQuiet);
  for (const ServerMessage& m : answers) {
    EXPECT_FALSE(m.is(ServerCode::RoomPasswordsChanged)) << "the room's passwords were changed";
    EXPECT_FALSE(m.is(ServerCode::FileCreated)) << "a file was created";
  }
  auto visitor = guest("Visitor");
  enter(*visitor, "Alpha");  // still open
}

// A room ban by name holds whatever letter case the banned name comes back in: names are one
// identity without regard to case, online and in the server's bans.
TEST_F(ClientFaultsTest, RoomBanByNameHoldsInAnyLetterCase) {
  start(test::roomsSetting({{"Alpha", "", "la"}}));
  auto leader = member("Chief");
  enter(*leader, "Alpha", "la");
  {
    auto outcast = guest("Outcast");
    enter(*outcast, "Alpha");
    leader->request([](W& w) { w.roomBan("Outcast", "begone", 0); });  // the name only
    ASSERT_TRUE(outcast->waitFor(ServerCode::BannedFromRoom));
  }
  auto again = guest("OUTCAST");
  again->request([](W& w) { w.enterRoom("Alpha", ""); });
  EXPECT_TRUE(again->waitFor(ServerCode::Banned, 2s));
}

// Two EnterRoom for a stored room in one frame: one seat, the right one, and no exit.
TEST_F(ClientFaultsTest, EnteringAStoredRoomTwiceKeepsOneSeat) {
  start(test::roomsSetting({{"Cellar", "", "lead", false}}));
  auto first = guest("First");
  first->request([](W& w) {
    w.enterRoom("Cellar", "");
    w.enterRoom("Cellar", "");
  });
  auto seen = first->drain(kQuiet);
  EXPECT_EQ(countOf(seen, ServerCode::RoomExited), 0u);
  ASSERT_EQ(countOf(seen, ServerCode::MemberList), 1u);
  auto second = guest("Second");
  enter(*second, "Cellar");
  second->drain(kQuiet);
  first->request([](W& w) { w.roomChat("hello"); });
  auto line = second->waitFor(ServerCode::RoomLine);
  ASSERT_TRUE(line);
  EXPECT_EQ(line->number(0), 0u) << "the first member speaks from seat 0";
  EXPECT_EQ(line->text(0), "hello");
}

// A reader who leaves (or disconnects) before the content of a stored file arrived: the
// loaded content still becomes the file's, and the next reader is answered.
TEST_F(ClientFaultsTest, FileStaysReadableWhenAReaderLeavesBeforeItsContentArrives) {
  start(test::roomsSetting({{"Archive"}}));
  const std::string data(20000, 'd');
  {
    auto owner = member("Keeper");
    enter(*owner, "Archive", "lead");
    for (const char* name : {"left", "gone"}) {
      owner->request([&](W& w) { w.createFile(name, 1, 0); });
      ASSERT_TRUE(owner->waitFor(ServerCode::FileCreated));
      owner->request(
          [&](W& w) { w.writeFile(20000, name, std::string_view(data).substr(0, 8000)); });
      for (std::size_t at = 8000; at < data.size(); at += kChunk) {
        ASSERT_TRUE(owner->waitFor(ServerCode::FileChunkAck));
        owner->request([&](W& w) { w.fileChunk(std::string_view(data).substr(at, kChunk)); });
      }
      ASSERT_TRUE(owner->waitFor(ServerCode::FileSaved));
    }
  }
  restart();  // the contents are no longer in memory

  auto leaver = guest("Leaver");
  enter(*leaver, "Archive");
  leaver->request([](W& w) { w.listFiles(); });
  auto listed = leaver->waitFor(ServerCode::FileList);
  ASSERT_TRUE(listed);
  ASSERT_EQ(listed->files.size(), 2u) << "a room live from the start lists its stored files";
  leaver->request([](W& w) {
    w.readFile("left", 0);
    w.leaveRoom();
  });
  ASSERT_TRUE(leaver->waitFor(ServerCode::RoomLeft));
  auto dropper = guest("Dropper");
  enter(*dropper, "Archive");
  dropper->request([](W& w) { w.readFile("gone", 0); });
  dropper.reset();  // disconnects before the content can arrive

  auto reader = guest("Reader");
  enter(*reader, "Archive");
  for (const char* name : {"left", "gone"}) {
    SCOPED_TRACE(name);
    reader->request([&](W& w) { w.readFile(name, 0); });
    auto content = reader->waitFor(ServerCode::FileContent, 2s);
    ASSERT_TRUE(content);
    EXPECT_EQ(content->number(0), 20000u);
    EXPECT_EQ(content->text(0), data.substr(0, 8000));
  }
}

// A reader without the write right who is given a file in chunks sends an empty FileChunk:
// a download is no upload, and nothing is saved.
TEST_F(ClientFaultsTest, EmptyChunkDuringADownloadSavesNothing) {
  start(test::roomsSetting({{"Archive"}}));
  auto owner = member("Keeper");
  enter(*owner, "Archive", "lead");
  owner->request([](W& w) { w.createFile("log", 1, 0); });
  ASSERT_TRUE(owner->waitFor(ServerCode::FileCreated));
  const std::string data(9000, 'l');
  owner->request([&](W& w) { w.writeFile(9000, "log", std::string_view(data).substr(0, 8000)); });
  ASSERT_TRUE(owner->waitFor(ServerCode::FileChunkAck));
  owner->request([&](W& w) { w.fileChunk(std::string_view(data).substr(8000)); });
  auto saved = owner->waitFor(ServerCode::FileSaved);
  ASSERT_TRUE(saved);

  auto reader = member("Reader");
  enter(*reader, "Archive");
  reader->request([](W& w) { w.readFile("log", 0); });
  ASSERT_TRUE(reader->waitFor(ServerCode::FileContent));
  reader->request([](W& w) { w.fileChunk(""); });
  EXPECT_EQ(countOf(reader->drain(kQuiet), ServerCode::FileSaved), 0u);
  reader->request([](W& w) { w.listFiles(); });
  auto list = reader->waitFor(ServerCode::FileList);
  ASSERT_TRUE(list);
  ASSERT_EQ(list->files.size(), 1u);
  EXPECT_EQ(list->files[0].editor, "Keeper");
  EXPECT_EQ(list->files[0].lastEdited, saved->number(0));
  // The download itself goes on.
  reader->request([](W& w) { w.fileChunkRequest(8000); });
  auto rest = reader->waitFor(ServerCode::FileChunkData);
  ASSERT_TRUE(rest);
  EXPECT_EQ(rest->text(0), data.substr(8000));
}

// A stored room that expires is deleted with its files: a room created later under the
// same name starts empty.
TEST_F(ClientFaultsTest, ExpiredRoomTakesItsFilesAlong) {
  start(R"("userscancreateroom": true,)");
  {
    auto maker = member("Maker");
    maker->request([](W& w) { w.createRoom("Attic", "", "lead", 0); });
    ASSERT_TRUE(maker->waitFor(ServerCode::RoomCreated));
    enter(*maker, "Attic");
    maker->request([](W& w) { w.createFile("old", 1, 1); });
    ASSERT_TRUE(maker->waitFor(ServerCode::FileCreated));
    maker->request([](W& w) { w.writeFile(6, "old", "secret"); });
    ASSERT_TRUE(maker->waitFor(ServerCode::FileSaved));
  }
  stop();
  {
    test::SqlFile rooms(sqlFile("velmordata.db"));
    const long eightDaysAgo = static_cast<long>(std::time(nullptr)) - 8 * 86400;
    ASSERT_TRUE(rooms.exec("UPDATE channels SET LastAccessed=" + std::to_string(eightDaysAgo) +
                           " WHERE Name='Attic';"));
  }
  resume();
  test::SqlFile rooms(sqlFile("velmordata.db"));
  test::SqlFile files(sqlFile("velmorfiledata.db"));
  test::eventually(
      [&] { return rooms.value("SELECT COUNT(*) FROM channels WHERE Name='Attic';") == "0"; }, 10s);
  ASSERT_EQ(rooms.value("SELECT COUNT(*) FROM channels WHERE Name='Attic';"), "0");
  EXPECT_EQ(files.value("SELECT COUNT(*) FROM files WHERE RoomName='Attic';"), "0");

  auto heir = member("Heir");
  heir->request([](W& w) { w.createRoom("Attic", "", "lead", 0); });
  ASSERT_TRUE(heir->waitFor(ServerCode::RoomCreated));
  enter(*heir, "Attic");
  heir->request([](W& w) { w.listFiles(); });
  auto list = heir->waitFor(ServerCode::FileList);
  ASSERT_TRUE(list);
  EXPECT_TRUE(list->files.empty());
}

// A member waits at his login challenge while an administrator bans his name: the proof he
// sends afterwards is not admitted. Admission checks the ban list again, as Login did.
TEST_F(ClientFaultsTest, ServerBanIsCheckedAgainAtAdmission) {
  start(R"("adminpassword": "root",)");
  auto admin = member("Warden", "root");
  auto online = member("Mallory");
  auto second = connect();
  login(*second, "Mallory");
  auto challenge = second->waitFor(ServerCode::LoginChallenge);
  ASSERT_TRUE(challenge);
  admin->request([](W& w) { w.serverBan("mallory", "cheating", 0); });
  ASSERT_TRUE(online->waitFor(ServerCode::BannedFromServer));
  const client::Hash16 proof = client::loginProof(memberHash("Mallory"), challenge->text(1));
  second->request([&](W& w) { w.loginProof(proof); });
  auto answer = second->next(2s);
  ASSERT_TRUE(answer);
  ASSERT_TRUE(answer->is(ServerCode::Banned)) << answer->describe();
  EXPECT_EQ(answer->text(0), "Mallory");
  EXPECT_EQ(countOf(second->drain(kQuiet), ServerCode::RoomList), 0u);
  admin->request([](W& w) { w.privateMessage("Mallory", "are you there?"); });
  EXPECT_EQ(countOf(second->drain(kQuiet), ServerCode::PrivateMessageNotice), 0u)
      << "not online under the banned name";
}

// A ban by address holds on the banned connection itself, which stays open: a login under
// another name is refused as a new connection from that address would be. A ban by name
// alone (mask 0) does not stop another name.
TEST_F(ClientFaultsTest, ServerBanByAddressHoldsForALoginUnderAnotherName) {
  start(R"("adminpassword": "root",)");
  auto admin = member("Warden", "root");
  struct Case {
    const char* victim;
    std::uint32_t mask;
    bool refused;
  };
  for (const Case& c : {Case{"Masked", 0xFFFFFFFFu, true}, Case{"Named", 0, false}}) {
    SCOPED_TRACE(c.victim);
    auto victim = guest(c.victim);
    admin->request([&](W& w) { w.serverBan(c.victim, "go", c.mask); });
    ASSERT_TRUE(victim->waitFor(ServerCode::BannedFromServer));
    login(*victim, std::string("Not") + c.victim);
    auto answer = victim->next(2s);
    ASSERT_TRUE(answer);
    if (c.refused) {
      ASSERT_TRUE(answer->is(ServerCode::Banned)) << answer->describe();
      EXPECT_EQ(answer->text(0), c.victim);
    } else {
      EXPECT_TRUE(answer->is(ServerCode::GuestWelcome)) << answer->describe();
    }
  }
}

// A room ban ends the victim's following of the room as a channel (a kick does not), and the
// room's bans hold for JoinChannel as for EnterRoom.
TEST_F(ClientFaultsTest, RoomBanEndsFollowingTheRoomAsAChannel) {
  struct Case {
    const char* name;
    bool ban;
  };
  for (const Case& c : {Case{"Kicked", false}, Case{"Banned", true}}) {
    SCOPED_TRACE(c.name);
    start(test::roomsSetting({{"Hall"}}));
    auto leader = member("Chief");
    auto victim = guest(c.name);
    enter(*leader, "Hall", "lead");
    enter(*victim, "Hall");
    victim->request([](W& w) { w.joinChannel("Hall", ""); });
    ASSERT_TRUE(victim->waitFor(ServerCode::ChannelJoined));
    victim->drain(kQuiet);
    leader->request([&](W& w) {
      if (c.ban) {
        w.roomBan(c.name, "begone", 0);
      } else {
        w.roomKick(c.name, "out");
      }
    });
    auto heard = victim->drain(kQuiet);
    EXPECT_EQ(countOf(heard, ServerCode::ChannelLeft), c.ban ? 1u : 0u);
    auto newcomer = guest("Newcomer");
    enter(*newcomer, "Hall");
    heard = victim->drain(kQuiet);
    EXPECT_EQ(countOf(heard, ServerCode::ChannelMemberJoined), c.ban ? 0u : 1u)
        << "channel traffic after the sanction";
    victim->request([](W& w) {
      w.leaveChannel("Hall");
      w.joinChannel("Hall", "");
    });
    heard = victim->drain(kQuiet);
    EXPECT_EQ(countOf(heard, ServerCode::ChannelJoined), c.ban ? 0u : 1u);
    EXPECT_EQ(countOf(heard, ServerCode::Banned), c.ban ? 1u : 0u);
    server.reset();
  }
}

// A stored room's load completes after the user asked for something else: the room becomes
// live, but he is not pulled into it. The last room request wins.
TEST_F(ClientFaultsTest, RoomLoadThatCompletesAfterANewerRequestDoesNotPullTheUserIn) {
  struct Case {
    const char* name;
    std::vector<const char*> requests;  // room names; "" is LeaveRoom
    int finalRoom;                      // room number of his last RoomState, -1 for none
  };
  // Hall is live (number 0); Cellar and Vault are stored and become live in load order.
  const std::vector<Case> cases{
      {"stored, then live", {"Cellar", "Hall"}, 0},
      {"stored, then leave", {"Cellar", ""}, -1},
      {"stored, live, stored again", {"Cellar", "Hall", "Cellar"}, 1},
      {"two stored rooms", {"Cellar", "Vault"}, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    start(test::roomsSetting(
        {{"Hall"}, {"Cellar", "", "lead", false}, {"Vault", "", "lead", false}}));
    auto watcher = guest("Watcher");
    enter(*watcher, "Hall");
    watcher->drain(kQuiet);
    auto user = guest("Mover");
    user->request([&](W& w) {
      for (const char* name : c.requests) {
        if (name[0] == '\0') {
          w.leaveRoom();
        } else {
          w.enterRoom(name, "");
        }
      }
    });
    int lastRoom = -1;
    for (const ServerMessage& m : user->drain(2 * kQuiet)) {
      if (m.is(ServerCode::RoomState)) lastRoom = static_cast<int>(m.number(0));
    }
    EXPECT_EQ(lastRoom, c.finalRoom);
    if (c.finalRoom != 0) {
      EXPECT_EQ(countOf(watcher->drain(kQuiet), ServerCode::MemberLeft), 0u);
    }
    server.reset();
  }
}

}  // namespace
}  // namespace velmor
