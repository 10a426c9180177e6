// What a member must have been told before a line reaches him: the seat of its speaker, the
// departures that renumbered the seats, and (for a newcomer) the room's state and recent
// lines. The server runs in-process with its tick and clock in the test's hands, so that a
// line falls between two relay passes of its room every time; the members are real
// clients on loopback sockets.
#include <gtest/gtest.h>

#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "support/InProcessServer.h"
#include "support/RoomProbe.h"
#include "support/TestClient.h"
#include "support/UserProbe.h"

namespace velmor {
namespace {

using namespace std::chrono_literals;
using client::RequestWriter;
using client::ServerMessage;
using test::TestClient;
using wire::ServerCode;

// A member's view of his room, built only from what the server sent him: the seats in
// order and the recent local lines. A line under a seat he does not know, or a repeat of a
// recent line he does not have, is a contradiction, recorded as a failure text.
class RoomView {
 public:
  void hear(const ServerMessage& m) {
    if (m.is(ServerCode::RoomState)) {
      inRoom_ = true;
      seats_.clear();
      recent_.clear();
    } else if (m.is(ServerCode::MemberList)) {
      for (const auto& member : m.members) seats_.push_back(member.name);
    } else if (m.is(ServerCode::MemberInfo)) {
      seats_.push_back(m.text(0));
    } else if (m.is(ServerCode::MemberLeft)) {
      const std::uint32_t slot = m.number(0);
      if (slot < seats_.size()) seats_.erase(seats_.begin() + slot);
    } else if (m.is(ServerCode::RecentLines)) {
      recent_.assign(m.texts.begin(), m.texts.end());
    } else if (m.is(ServerCode::RoomLine) || m.is(ServerCode::LocalLine) ||
               m.is(ServerCode::LocalLineRepeat) || m.is(ServerCode::WhisperLine)) {
      line(m);
    }
  }

  // What he heard, as "speaker: text", and the contradictions.
  std::vector<std::string> lines;
  std::vector<std::string> faults;

 private:
  void line(const ServerMessage& m) {
    if (!inRoom_) {
      faults.push_back("a line before RoomState: " + m.describe());
      return;
    }
    const std::uint32_t slot = m.number(0);
    if (slot >= seats_.size()) {
      faults.push_back("a line from seat " + std::to_string(slot) + " of " +
                       std::to_string(seats_.size()) + ": " + m.describe());
      return;
    }
    std::string text;
    if (m.is(ServerCode::LocalLineRepeat)) {
      const std::uint32_t index = m.number(1);
      if (index >= recent_.size()) {
        faults.push_back("a repeat of recent line " + std::to_string(index) + " of " +
                         std::to_string(recent_.size()));
        return;
      }
      text = recent_[index];
      recent_.erase(recent_.begin() + index);
      recent_.push_back(text);
    } else {
      text = m.text(0);
      if (m.is(ServerCode::LocalLine)) {
        if (recent_.size() == 16) recent_.erase(recent_.begin());
        recent_.push_back(text);
      }
    }
    lines.push_back(seats_[slot] + ": " + text);
  }

  bool inRoom_ = false;
  std::vector<std::string> seats_;
  std::vector<std::string> recent_;
};

class RelayOrderTest : public testing::TestWithParam<bool> {
 protected:
  RelayOrderTest()
      : server([](Settings& s) {
          s.rooms.push_back(RoomConfig{false, "Hall", "", "lead", 0, true, true});
          s.rooms.push_back(RoomConfig{true, "Field", "", "lead", 0, true, true});
        }) {
    server.server().holdTicks();
    clock.setLoopMs(uv_now(server.loop()));  // no jump: the rooms live since start count from here
    clock.setWallSeconds(static_cast<std::uint32_t>(std::time(nullptr)));
    core().clock.use(clock);
    core().tick();
  }

  ServerCore& core() { return server.core(); }
  bool navigation() const { return GetParam(); }
  const char* roomName() const { return navigation() ? "Field" : "Hall"; }
  Room& room() { return *core().rooms.findLive(navigation() ? "field" : "hall"); }

  // Ticks at the same clock reading, one per relay phase: every room's chance to deliver
  // its chat between passes, and no pass (none is due).
  void ticksBetweenPasses() {
    for (std::uint32_t i = 0; i < core().rooms.schedule().phases(); ++i) core().tick();
  }
  // One relay period later, one tick per phase: every room with members gets its pass.
  void relayPeriod() {
    clock.advanceMs(60);
    ticksBetweenPasses();
  }

  struct Member {
    std::unique_ptr<TestClient> client;
    RoomView view;
    std::vector<ServerMessage> welcome;  // the RoomList of his welcome
    // Reads what arrived and lets his view hear it.
    void listen(std::chrono::milliseconds window = 30ms) {
      for (const ServerMessage& m : client->drain(window)) view.hear(m);
    }
  };

  Member& online(const std::string& name) {
    auto& member = members.emplace_back(std::make_unique<Member>());
    member->client = std::make_unique<TestClient>(server.port(), 0,
                                                  [this] { uv_run(server.loop(), UV_RUN_NOWAIT); });
    member->client->navigationRoom = navigation();
    client::LoginFields fields;
    fields.name = name;
    member->client->request([&](RequestWriter& w) { w.login(fields); });
    EXPECT_TRUE(member->client->waitFor(ServerCode::GuestWelcome));
    core().tick();  // admission
    auto list = member->client->waitFor(ServerCode::RoomList);
    EXPECT_TRUE(list) << name;
    if (list) member->welcome.push_back(*list);
    return *member;
  }
  // Enters the room and waits for the pass that gives him its state.
  Member& inRoom(const std::string& name) {
    Member& member = online(name);
    const std::size_t before = room().members().size();
    member.client->request([&](RequestWriter& w) { w.enterRoom(roomName(), ""); });
    EXPECT_TRUE(server.pumpUntil([&] { return room().members().size() == before + 1; }));
    relayPeriod();
    member.listen();
    return member;
  }
  void waitForChat() {
    ASSERT_TRUE(server.pumpUntil([&] { return !RoomProbe::chatQueue(room()).empty(); }));
  }

  ManualClock clock{0, 0};  // outlives the server, whose teardown may still read it
  test::InProcessServer server;
  std::vector<std::unique_ptr<Member>> members;
};

// A member leaves and one seated after him speaks before the room's next pass: everyone
// must hear of the departure before the line, which carries the speaker's new seat. A
// whisper, sent in a frame of its own, comes after the pass's frame too.
TEST_P(RelayOrderTest, LineSaidAfterADepartureIsNotCreditedToTheLeaver) {
  Member& anna = inRoom("Anna");
  Member& bert = inRoom("Bert");
  Member& cleo = inRoom("Cleo");
  relayPeriod();
  anna.listen();
  cleo.listen();

  bert.client->request([](RequestWriter& w) { w.leaveRoom(); });
  ASSERT_TRUE(bert.client->waitFor(ServerCode::RoomLeft));
  cleo.client->request([](RequestWriter& w) {
    w.roomChat("after Bert left");
    w.whisper("Anna", "psst");
  });
  waitForChat();
  ticksBetweenPasses();
  relayPeriod();
  anna.listen();
  cleo.listen();
  EXPECT_EQ(anna.view.faults, std::vector<std::string>{});
  EXPECT_EQ(anna.view.lines, (std::vector<std::string>{"Cleo: after Bert left", "Cleo: psst"}));
  EXPECT_EQ(cleo.view.faults, std::vector<std::string>{});
  EXPECT_EQ(cleo.view.lines, std::vector<std::string>{"Cleo: after Bert left"});
}

// A newcomer speaks in the frame that brings him in: the others must have his seat before
// his line, and he hears no line before the room's state.
TEST_P(RelayOrderTest, NewcomersLineComesAfterHisSeatAndNoLineBeforeHisRoomState) {
  Member& anna = inRoom("Anna");
  Member& bert = inRoom("Bert");
  relayPeriod();
  anna.listen();

  Member& dora = online("Dora");
  bert.client->request([](RequestWriter& w) { w.roomChat("hello"); });
  waitForChat();
  dora.client->request([&](RequestWriter& w) {
    w.enterRoom(roomName(), "");
    w.roomChat("hi, I am new");
  });
  ASSERT_TRUE(server.pumpUntil(
      [&] { return room().members().size() == 3 && RoomProbe::chatQueue(room()).size() == 2; }));
  ticksBetweenPasses();
  relayPeriod();
  for (Member* member : {&anna, &bert, &dora}) member->listen();
  EXPECT_EQ(anna.view.faults, std::vector<std::string>{});
  EXPECT_EQ(dora.view.faults, std::vector<std::string>{});
  EXPECT_EQ(anna.view.lines, (std::vector<std::string>{"Bert: hello", "Dora: hi, I am new"}));

  // Once in, he hears the room as everyone does.
  anna.client->request([](RequestWriter& w) { w.roomChat("welcome"); });
  waitForChat();
  ticksBetweenPasses();
  relayPeriod();
  dora.listen();
  EXPECT_EQ(dora.view.faults, std::vector<std::string>{});
  ASSERT_FALSE(dora.view.lines.empty());
  EXPECT_EQ(dora.view.lines.back(), "Anna: welcome");
}

// A newcomer hears the lines of his first pass after the room's state, his own and those
// said after his entry alike, in a chat room as in a navigation room.
TEST_P(RelayOrderTest, NewcomerHearsTheLinesOfHisFirstPass) {
  Member& anna = inRoom("Anna");
  Member& dora = online("Dora");
  dora.client->request([&](RequestWriter& w) {
    w.enterRoom(roomName(), "");
    w.roomChat("hi, I am new");
  });
  ASSERT_TRUE(server.pumpUntil(
      [&] { return room().members().size() == 2 && RoomProbe::chatQueue(room()).size() == 1; }));
  anna.client->request([](RequestWriter& w) { w.roomChat("welcome"); });
  ASSERT_TRUE(server.pumpUntil([&] { return RoomProbe::chatQueue(room()).size() == 2; }));
  ticksBetweenPasses();
  relayPeriod();
  dora.listen();
  EXPECT_EQ(dora.view.faults, std::vector<std::string>{});
  EXPECT_EQ(dora.view.lines, (std::vector<std::string>{"Dora: hi, I am new", "Anna: welcome"}));
}

INSTANTIATE_TEST_SUITE_P(ChatAndNavigationRooms, RelayOrderTest, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& info) {
                           return info.param ? std::string("Navigation") : std::string("Chat");
                         });

class NewcomerRecentLinesTest : public RelayOrderTest {};

// A newcomer's recent lines are the room's after the pass that brings him in: a repeat of
// a line said in that pass names the same text for him as for the others.
TEST_P(NewcomerRecentLinesTest, RecentLinesOfANewcomerIncludeThoseOfHisFirstPass) {
  Member& anna = inRoom("Anna");
  anna.client->request([](RequestWriter& w) { w.localChat("first"); });
  waitForChat();
  relayPeriod();
  anna.listen();

  Member& dora = online("Dora");
  dora.client->request([&](RequestWriter& w) { w.enterRoom(roomName(), ""); });
  ASSERT_TRUE(server.pumpUntil([&] { return room().members().size() == 2; }));
  anna.client->request([](RequestWriter& w) { w.localChat("second"); });
  waitForChat();
  relayPeriod();
  dora.listen();
  anna.listen();

  // Both lines said again: repeats that index the recent lines.
  anna.client->request([](RequestWriter& w) {
    w.localChat("second");
    w.localChat("first");
  });
  waitForChat();
  relayPeriod();
  dora.listen();
  anna.listen();
  EXPECT_EQ(dora.view.faults, std::vector<std::string>{});
  EXPECT_EQ(anna.view.faults, std::vector<std::string>{});
  const std::vector<std::string> expected{"Anna: second", "Anna: first"};
  ASSERT_GE(dora.view.lines.size(), 2u);
  EXPECT_EQ(std::vector<std::string>(dora.view.lines.end() - 2, dora.view.lines.end()), expected);
}

INSTANTIATE_TEST_SUITE_P(NavigationRoom, NewcomerRecentLinesTest, testing::Values(true));

class AnnouncementOrderTest : public RelayOrderTest {
 protected:
  // A member creates the stored room Den and enters it: live, and not yet announced (no
  // tick ran since).
  Member& makerInDen() {
    Member& maker = online("Maker");
    maker.client->request(
        [](RequestWriter& w) { w.registerAccount(test::testHash(1), test::testHash(2)); });
    EXPECT_TRUE(maker.client->waitFor(ServerCode::Registered));
    UserProbe::rights(*core().online.list().back()).isAdmin = 1;  // may create rooms
    maker.client->request([](RequestWriter& w) { w.createRoom("Den", "", "lead", 0); });
    EXPECT_TRUE(maker.client->waitFor(ServerCode::RoomCreated));
    maker.client->request([](RequestWriter& w) { w.enterRoom("Den", "lead"); });
    EXPECT_TRUE(server.pumpUntil([&] {
      const Room* den = core().rooms.findLive("den");
      return den != nullptr && den->members().size() == 1;
    }));
    return maker;
  }
  // The live rooms as a user knows them: his welcome, then what he was told.
  static std::vector<client::RoomEntry> roomsKnownTo(Member& member,
                                                     std::vector<std::string>& faults) {
    std::vector<client::RoomEntry> rooms = member.welcome.at(0).rooms;
    for (const ServerMessage& m : member.client->drain(50ms)) {
      if (m.is(ServerCode::RoomOpened)) rooms.push_back(m.rooms.at(0));
      if (m.is(ServerCode::RoomLockChanged) || m.is(ServerCode::ChannelJoined)) {
        if (m.number(0) >= rooms.size()) {
          faults.push_back("room " + std::to_string(m.number(0)) + " of " +
                           std::to_string(rooms.size()) + ": " + m.describe());
        } else if (m.is(ServerCode::RoomLockChanged)) {
          rooms[m.number(0)].hasPassword = m.number(1) != 0;
        }
      }
    }
    return rooms;
  }
};

// The creator of a stored room enters it and locks it before the tick announces it: the
// others hear of the room once, by its opening, which carries the lock; never of a lock
// change for a room number past the end of their list.
TEST_P(AnnouncementOrderTest, LockChangeOfARoomNotYetAnnouncedIsCarriedByItsOpening) {
  Member& olga = online("Olga");
  Member& maker = makerInDen();
  maker.client->request([](RequestWriter& w) { w.setRoomPasswords("secret", ""); });
  ASSERT_TRUE(maker.client->waitFor(ServerCode::RoomPasswordsChanged));
  core().tick();
  std::vector<std::string> faults;
  const std::vector<client::RoomEntry> rooms = roomsKnownTo(olga, faults);
  EXPECT_EQ(faults, std::vector<std::string>{});
  ASSERT_FALSE(rooms.empty());
  EXPECT_EQ(rooms.back().name, "Den");
  EXPECT_TRUE(rooms.back().hasPassword);
}

// Following a room that is live but not yet announced: its opening comes first.
TEST_P(AnnouncementOrderTest, ChannelJoinedOfARoomNotYetAnnouncedComesAfterItsOpening) {
  Member& olga = online("Olga");
  makerInDen();
  olga.client->request([](RequestWriter& w) { w.joinChannel("Den", ""); });
  ASSERT_TRUE(
      server.pumpUntil([&] { return core().rooms.findLive("den")->channelMembers().size() == 1; }));
  core().tick();
  std::vector<std::string> faults;
  const std::vector<client::RoomEntry> rooms = roomsKnownTo(olga, faults);
  EXPECT_EQ(faults, std::vector<std::string>{});
  EXPECT_EQ(rooms.size(), 3u) << "Den announced once";
}

INSTANTIATE_TEST_SUITE_P(ChatRoom, AnnouncementOrderTest, testing::Values(false));

}  // namespace
}  // namespace velmor
