// The room relay end to end: what members, channel followers and other online users get
// from positions, objects and chat, against the real executable over TCP.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "client/FrameDecoder.h"
#include "support/Eventually.h"
#include "support/ProcessTest.h"
#include "support/TestClient.h"

namespace velmor {
namespace {

using namespace std::chrono_literals;
using client::MessageKind;
using client::RequestWriter;
using client::ServerMessage;
using client::StepDirection;
using test::TestClient;
using wire::ServerCode;
using Clock = std::chrono::steady_clock;
using Frame = std::vector<ServerMessage>;
using ms = std::chrono::milliseconds;

using test::kQuiet;

// Room numbers follow the order of the configured rooms.
constexpr std::uint32_t kField = 0;
constexpr std::uint32_t kHall = 1;
constexpr std::uint32_t kVault = 2;

ServerMessage msg(ServerCode code, std::vector<std::uint32_t> numbers = {},
                  std::vector<std::string> texts = {}) {
  ServerMessage m;
  m.code = static_cast<std::uint16_t>(code);
  m.numbers = std::move(numbers);
  m.texts = std::move(texts);
  return m;
}

// A compact member step. A new direction follows as an i8 turn (type + 49) or as the u16
// value (type + 98), in the order of StepDirection.
ServerMessage memberStep(int dx, int dy, StepDirection direction = StepDirection::Unchanged,
                         int value = 0) {
  ServerMessage m;
  m.kind = MessageKind::MemberStep;
  m.code = static_cast<std::uint16_t>(wire::memberStepType(dx, dy) +
                                      static_cast<int>(direction) * wire::kMemberStepCount);
  m.step = {dx, dy, direction};
  if (direction == StepDirection::Step) m.step.directionStep = value;
  if (direction == StepDirection::Value) m.step.directionValue = static_cast<std::uint16_t>(value);
  return m;
}

ServerMessage objectStep(int dx, int dy) {
  ServerMessage m;
  m.kind = MessageKind::ObjectStep;
  m.code = wire::objectStepType(dx, dy);
  m.step.dx = dx;
  m.step.dy = dy;
  return m;
}

bool contains(const Frame& frame, const ServerMessage& wanted) {
  return std::find(frame.begin(), frame.end(), wanted) != frame.end();
}

// The object messages of a pass: everything from ObjectBatch on.
Frame objectPart(const Frame& frame) {
  auto batch = std::find_if(frame.begin(), frame.end(),
                            [](const auto& m) { return m.is(ServerCode::ObjectBatch); });
  return Frame(batch, frame.end());
}

bool isChat(const ServerMessage& m) {
  return m.is(ServerCode::LocalLine) || m.is(ServerCode::LocalLineRepeat) ||
         m.is(ServerCode::RoomLine) || m.is(ServerCode::WhisperLine);
}
std::vector<ServerMessage> chatOf(const std::vector<ServerMessage>& messages) {
  std::vector<ServerMessage> chat;
  std::copy_if(messages.begin(), messages.end(), std::back_inserter(chat), isChat);
  return chat;
}

// A client's traffic frame by frame, decoded from the raw payloads: a member gets one frame
// per relay pass, so the rules of a pass can be checked on one frame.
class FrameReader {
 public:
  explicit FrameReader(TestClient& client) : client_(client), seen_(client.frames().size()) {}

  std::optional<Frame> next(ms timeout = 3s) {
    const auto deadline = Clock::now() + timeout;
    while (seen_ == client_.frames().size()) {
      const auto left = std::chrono::duration_cast<ms>(deadline - Clock::now());
      if (left.count() <= 0) return std::nullopt;
      client_.next(left);  // reads on; the messages are taken from frames() below
    }
    client_.drain(0ms);  // the reader has taken the messages over
    return decode(client_.frames()[seen_++]);
  }

  template <typename Wanted>
  std::optional<Frame> until(Wanted wanted, ms timeout = 3s) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
      const auto left = std::chrono::duration_cast<ms>(deadline - Clock::now());
      std::optional<Frame> frame = left.count() > 0 ? next(left) : std::nullopt;
      if (!frame || wanted(*frame)) return frame;
    }
  }
  std::optional<Frame> until(ServerCode code, ms timeout = 3s) {
    return until(
        [code](const Frame& f) {
          return std::any_of(f.begin(), f.end(), [code](const auto& m) { return m.is(code); });
        },
        timeout);
  }

  std::vector<Frame> within(ms window) {
    client_.drain(window);
    std::vector<Frame> frames;
    while (seen_ < client_.frames().size()) frames.push_back(decode(client_.frames()[seen_++]));
    return frames;
  }

 private:
  Frame decode(const std::string& payload) const {
    Frame frame;
    std::string error;
    client::decodeFrame(payload, {client_.navigationRoom}, frame, error);
    return frame;
  }

  TestClient& client_;
  std::size_t seen_;
};

// Identity and appearance of a test user, told apart by the first letter of the name.
struct Identity {
  std::string name;
  std::string coat;
  client::LoginFields fields;
};

Identity identityOf(std::string_view name) {
  const std::uint32_t seed = static_cast<unsigned char>(name[0]);
  Identity id{std::string(name), "coat of " + std::string(name), {}};
  id.fields.profileWord1 = seed * 1000 + 1;
  id.fields.profileWord2 = seed * 1000 + 2;
  id.fields.profileShort = static_cast<std::uint16_t>(seed + 3);
  id.fields.appearanceWord = seed * 1000 + 4;
  id.fields.appearanceByte = static_cast<std::uint8_t>(seed + 5);
  id.fields.appearanceShort1 = static_cast<std::uint16_t>(seed + 6);
  id.fields.appearanceShort2 = static_cast<std::uint16_t>(seed + 7);
  return id;
}

// MemberInfo in the navigation layout, as the user logged in.
ServerMessage memberInfo(std::string_view name, std::uint32_t isLeader) {
  const Identity id = identityOf(name);
  const client::LoginFields& f = id.fields;
  return msg(ServerCode::MemberInfo,
             {f.profileWord1, f.profileWord2, f.profileShort, f.appearanceWord, f.appearanceByte,
              f.appearanceShort1, f.appearanceShort2, isLeader},
             {id.name, id.coat});
}

class RelayTest : public test::ProcessTest {
 protected:
  void SetUp() override {
    start(R"("enemyupdateinterval": 50, )" +
          test::roomsSetting({{"Field", "", "lead", true, "", "nav"}, {"Hall"}, {"Vault", "pw"}}));
  }

  std::unique_ptr<TestClient> online(std::string_view name, bool navigation = false) {
    auto c = std::make_unique<TestClient>(server->port());
    c->navigationRoom = navigation;
    Identity id = identityOf(name);
    id.fields.name = id.name;
    id.fields.appearanceText = id.coat;
    c->request([&](RequestWriter& w) { w.login(id.fields); });
    EXPECT_TRUE(c->waitFor(ServerCode::RoomList)) << name << " is not online";
    return c;
  }

  // Entering a live room sends nothing at once: the joiner's state is the frame of the
  // next pass, opened by RoomState.
  Frame enter(TestClient& c, std::string_view room, std::string_view password = "") {
    FrameReader reader(c);
    c.request([&](RequestWriter& w) { w.enterRoom(room, password); });
    std::optional<Frame> state = reader.until(ServerCode::RoomState);
    EXPECT_TRUE(state) << "no RoomState after entering " << room;
    return state.value_or(Frame{});
  }
};

TEST_F(RelayTest, JoinerGetsTheRoomStateEveryMemberAndEveryObject) {
  auto alpha = online("Alpha", true);
  auto bravo = online("Bravo", true);
  auto charlie = online("Charlie", true);
  EXPECT_EQ(enter(*alpha, "Field"),
            (Frame{msg(ServerCode::RoomState, {kField, 1, 0}, {"server"}),
                   msg(ServerCode::RecentLines, {0}), memberInfo("Alpha", 0),
                   msg(ServerCode::MemberPosition, {0, 0, 0, 0, 0})}));
  enter(*bravo, "Field", "lead");
  const auto bravoJoined = Clock::now();

  FrameReader alphaReader(*alpha);
  alpha->request([](RequestWriter& w) {
    w.localChat("hello");
    w.objectReport("crate", 7, 8, 2);
  });
  ASSERT_TRUE(alphaReader.until(ServerCode::ObjectStopped)) << "the crate stops after 3 passes";
  // Alpha moves when Bravo has been still for longer than five passes: Bravo stops.
  std::this_thread::sleep_until(bravoJoined + 300ms);
  alpha->request([](RequestWriter& w) { w.position(10, 20, 1, 0, 3); });
  ASSERT_TRUE(alphaReader.until(ServerCode::MemberPosition));

  alpha->request([](RequestWriter& w) { w.objectReport("barrel", 300, 400, 5); });
  EXPECT_EQ(
      enter(*charlie, "Field"),
      (Frame{msg(ServerCode::RoomState, {kField, 1, 0}, {"server"}),
             msg(ServerCode::RecentLines, {1}, {"hello"}), memberInfo("Alpha", 0),
             msg(ServerCode::MemberPosition, {10, 20, 1, 0, 3}), memberInfo("Bravo", 1),
             msg(ServerCode::MemberPosition, {0, 0, 0, 0, 0}),
             msg(ServerCode::MemberRelayFlags, {0, 0}), memberInfo("Charlie", 0),
             msg(ServerCode::MemberPosition, {0, 0, 0, 0, 0}),
             msg(ServerCode::ObjectInfo, {}, {"crate"}), msg(ServerCode::ObjectPosition, {7, 8, 2}),
             msg(ServerCode::ObjectFlags, {0, 0}), msg(ServerCode::ObjectInfo, {}, {"barrel"}),
             msg(ServerCode::ObjectPosition, {300, 400, 5})}));
  // The members learn of the joiner in the same pass.
  auto told = FrameReader(*bravo).until([](const Frame& f) {
    auto info = std::find(f.begin(), f.end(), memberInfo("Charlie", 0));
    return info != f.end() && info + 1 != f.end() &&
           *(info + 1) == msg(ServerCode::MemberPosition, {0, 0, 0, 0, 0});
  });
  EXPECT_TRUE(told) << "Bravo is not told of Charlie";
}

TEST_F(RelayTest, MovesArriveAsCompactStepsOrFullPositions) {
  auto alpha = online("Alpha", true);
  auto bravo = online("Bravo", true);
  enter(*alpha, "Field");
  enter(*bravo, "Field");
  FrameReader reader(*alpha);
  ASSERT_TRUE(reader.until([](const Frame& f) {  // Alpha stops at a member pass
    return contains(f, msg(ServerCode::MemberStopped));
  }));
  bravo->request([](RequestWriter& w) { w.position(50, 50, 0, 0, 7); });
  ASSERT_TRUE(reader.until([](const Frame& f) {
    return contains(f, msg(ServerCode::MemberPosition, {50, 50, 0, 0, 7}));
  }));

  struct Move {
    std::uint16_t x, y;
    std::uint8_t layer, flags;
    std::uint16_t direction;
    ServerMessage relayed;
  };
  const Move moves[] = {
      {51, 48, 0, 0, 7, memberStep(1, -2)},
      {61, 48, 0, 0, 7, msg(ServerCode::MemberPosition, {61, 48, 0, 0, 7})},
      {62, 48, 0, 0, 9, memberStep(1, 0, StepDirection::Step, 2)},
      {62, 45, 0, 0, 400, memberStep(0, -3, StepDirection::Value, 400)},
      {62, 46, 0, 4, 400, msg(ServerCode::MemberPosition, {62, 46, 0, 4, 400})},
      {63, 46, 2, 4, 400, msg(ServerCode::MemberPosition, {63, 46, 2, 4, 400})},
  };
  for (const Move& m : moves) {
    bravo->request([&](RequestWriter& w) { w.position(m.x, m.y, m.layer, m.flags, m.direction); });
    // A pass in which Bravo did not move shows only his no-move step. Alpha, still since he
    // stopped, may go idle meanwhile on a slow machine: that note is his, not the move's.
    const ServerMessage alphaIdle = msg(ServerCode::MemberIdle, {0});
    auto frame = reader.until([&](Frame f) {
      std::erase(f, alphaIdle);
      return !f.empty() && f != Frame{memberStep(0, 0)};
    });
    ASSERT_TRUE(frame) << m.x << "," << m.y;
    std::erase(*frame, alphaIdle);
    EXPECT_EQ(*frame, Frame{m.relayed}) << "move to " << m.x << "," << m.y;
  }
}

TEST_F(RelayTest, QuietMemberStopsThenGoesIdleAndComesBack) {
  auto walker = online("Walker", true);  // slot 0: moves on, so every pass serves the members
  auto quiet = online("Quiet", true);    // slot 1
  enter(*walker, "Field");
  enter(*quiet, "Field");
  FrameReader reader(*walker);
  quiet->request([](RequestWriter& w) { w.position(5, 5, 0, 0, 0); });
  const auto lastActivity = Clock::now();

  std::vector<Frame> frames;
  ms idleAfter{0};
  for (std::uint16_t x = 100; idleAfter.count() == 0 && Clock::now() - lastActivity < 3s; ++x) {
    walker->request([x](RequestWriter& w) { w.position(x, 100, 0, 0, 0); });
    for (Frame& f : reader.within(30ms)) {
      if (contains(f, msg(ServerCode::MemberIdle, {1}))) {
        idleAfter = std::chrono::duration_cast<ms>(Clock::now() - lastActivity);
      }
      EXPECT_FALSE(contains(f, msg(ServerCode::MemberIdle, {0}))) << "the walker is active";
      frames.push_back(std::move(f));
    }
  }
  EXPECT_GE(idleAfter.count(), 1900);
  EXPECT_LE(idleAfter.count(), 2600);

  // Quiet's move, his no-move steps (the walker never stands still), then his stop.
  auto isMove = [](const Frame& f) {
    return contains(f, msg(ServerCode::MemberPosition, {5, 5, 0, 0, 0}));
  };
  auto isStop = [](const Frame& f) { return contains(f, msg(ServerCode::MemberStopped)); };
  auto move = std::find_if(frames.begin(), frames.end(), isMove);
  auto stop = std::find_if(frames.begin(), frames.end(), isStop);
  ASSERT_NE(move, frames.end());
  ASSERT_NE(stop, frames.end()) << "Quiet never stops";
  ASSERT_LT(move, stop);
  EXPECT_GE(stop - move - 1, 2);
  EXPECT_LE(stop - move - 1, 5);
  for (auto f = move + 1; f != stop; ++f) EXPECT_TRUE(contains(*f, memberStep(0, 0)));
  EXPECT_EQ(std::count_if(frames.begin(), frames.end(), isStop), 1);

  // The same position again is activity: he is back at the next pass.
  quiet->request([](RequestWriter& w) { w.position(5, 5, 0, 0, 0); });
  EXPECT_TRUE(reader.until(
      [](const Frame& f) { return contains(f, msg(ServerCode::MemberActive, {1})); }, 500ms));

  // Idle again, then a move: MemberMoving alone ends his idleness, no MemberActive before it.
  bool idleAgain = false;
  for (std::uint16_t x = 300; !idleAgain && x < 500; ++x) {
    walker->request([x](RequestWriter& w) { w.position(x, 100, 0, 0, 0); });
    for (const Frame& f : reader.within(30ms))
      idleAgain = idleAgain || contains(f, msg(ServerCode::MemberIdle, {1}));
  }
  ASSERT_TRUE(idleAgain);
  quiet->request([](RequestWriter& w) { w.position(6, 5, 0, 0, 0); });
  auto moved = reader.until(
      [](const Frame& f) { return contains(f, msg(ServerCode::MemberMoving, {1})); }, 500ms);
  ASSERT_TRUE(moved);
  EXPECT_FALSE(contains(*moved, msg(ServerCode::MemberActive, {1})));
}

TEST_F(RelayTest, ChatLimitLetsTenLinesThroughInAnySecond) {
  auto alpha = online("Alpha");
  auto bravo = online("Bravo");
  enter(*alpha, "Hall");
  enter(*bravo, "Hall");
  alpha->request([](RequestWriter& w) {
    for (int i = 1; i <= 11; ++i) w.roomChat("line " + std::to_string(i));
  });
  const auto first = Clock::now();
  std::this_thread::sleep_until(first + 500ms);
  alpha->request([](RequestWriter& w) { w.roomChat("too soon"); });
  std::this_thread::sleep_until(first + 1100ms);
  alpha->request([](RequestWriter& w) { w.roomChat("a second later"); });

  std::vector<ServerMessage> expected;
  for (int i = 1; i <= 10; ++i) {
    expected.push_back(msg(ServerCode::RoomLine, {0}, {"line " + std::to_string(i)}));
  }
  expected.push_back(msg(ServerCode::RoomLine, {0}, {"a second later"}));
  EXPECT_EQ(chatOf(bravo->drain(kQuiet)), expected);
}

TEST_F(RelayTest, RepeatedLocalLineGoesOutAsItsIndexInTheRecentLines) {
  auto alpha = online("Alpha", true);
  auto bravo = online("Bravo", true);
  auto charlie = online("Charlie", true);
  enter(*alpha, "Field");
  enter(*bravo, "Field");
  alpha->request([](RequestWriter& w) {
    w.localChat("hi");
    w.localChat("yo");
  });
  EXPECT_EQ(bravo->waitFor(ServerCode::LocalLine), msg(ServerCode::LocalLine, {0}, {"hi"}));
  EXPECT_EQ(bravo->waitFor(ServerCode::LocalLine), msg(ServerCode::LocalLine, {0}, {"yo"}));
  bravo->request([](RequestWriter& w) { w.localChat("hi"); });  // recent: yo, hi
  EXPECT_EQ(bravo->waitFor(ServerCode::LocalLineRepeat), msg(ServerCode::LocalLineRepeat, {1, 0}));
  alpha->request([](RequestWriter& w) { w.repeatLocalChat(); });  // recent: hi, yo
  EXPECT_EQ(bravo->waitFor(ServerCode::LocalLineRepeat), msg(ServerCode::LocalLineRepeat, {0, 0}));
  EXPECT_TRUE(chatOf(bravo->drain(kQuiet)).empty());
  const Frame state = enter(*charlie, "Field");
  ASSERT_GE(state.size(), 2u);
  EXPECT_EQ(state[1], msg(ServerCode::RecentLines, {2}, {"hi", "yo"}));
}

TEST_F(RelayTest, LocalLineInAChatRoomIsDroppedButCanBeRepeatedAsRoomLine) {
  auto alpha = online("Alpha");
  auto bravo = online("Bravo");
  enter(*alpha, "Hall");
  enter(*bravo, "Hall");
  alpha->request([](RequestWriter& w) {
    w.localChat("quiet");
    w.repeatLocalChat();
    w.repeatRoomChat();
    w.repeatRoomChat();
  });
  EXPECT_EQ(chatOf(bravo->drain(kQuiet)),
            (std::vector<ServerMessage>{msg(ServerCode::RoomLine, {0}, {"quiet"}),
                                        msg(ServerCode::RoomLine, {0}, {"quiet"})}));
}

TEST_F(RelayTest, WhisperReachesOnlyTheNamedMember) {
  auto alpha = online("Alpha");
  auto bravo = online("Bravo");
  auto charlie = online("Charlie");
  auto delta = online("Delta");  // online, in no room
  enter(*alpha, "Hall");
  enter(*bravo, "Hall");
  enter(*charlie, "Hall");
  FrameReader reader(*bravo);
  alpha->request([](RequestWriter& w) {
    w.whisper("Nobody", "lost");
    w.whisper("delta", "outside");
    w.whisper("bRAVO", "psst");
  });
  auto whisper = reader.until(ServerCode::WhisperLine);
  ASSERT_TRUE(whisper);
  EXPECT_EQ(*whisper, Frame{msg(ServerCode::WhisperLine, {0}, {"psst"})}) << "a frame of its own";
  EXPECT_TRUE(chatOf(bravo->drain(kQuiet)).empty());
  for (TestClient* other : {alpha.get(), charlie.get(), delta.get()}) {
    EXPECT_TRUE(chatOf(other->drain(50ms)).empty());
  }
}

TEST_F(RelayTest, UnchangedObjectStopsAfterThreeObjectPasses) {
  auto alpha = online("Alpha", true);
  enter(*alpha, "Field");
  FrameReader reader(*alpha);
  std::vector<Frame> passes;
  // Reported on and on with the same values: fresh, but unchanged.
  for (auto end = Clock::now() + 500ms; Clock::now() < end;) {
    alpha->request([](RequestWriter& w) { w.objectReport("crate", 7, 8, 2); });
    for (const Frame& f : reader.within(30ms)) {
      if (Frame objects = objectPart(f); !objects.empty()) passes.push_back(objects);
    }
  }
  const ServerMessage batch = msg(ServerCode::ObjectBatch);
  EXPECT_EQ(passes, (std::vector<Frame>{{batch, msg(ServerCode::ObjectInfo, {}, {"crate"}),
                                         msg(ServerCode::ObjectPosition, {7, 8, 2})},
                                        {batch, objectStep(0, 0)},
                                        {batch, objectStep(0, 0)},
                                        {batch, msg(ServerCode::ObjectStopped)}}));

  alpha->request([](RequestWriter& w) { w.objectReport("crate", 9, 5, 2); });
  auto moved = reader.until(ServerCode::ObjectMoving);
  ASSERT_TRUE(moved);
  EXPECT_EQ(objectPart(*moved),
            (Frame{batch, msg(ServerCode::ObjectMoving, {0}), objectStep(2, -3)}));
  alpha->request([](RequestWriter& w) { w.objectReport("crate", 9, 5, 3); });
  auto placed = reader.until(ServerCode::ObjectPosition);
  ASSERT_TRUE(placed);
  EXPECT_EQ(objectPart(*placed), (Frame{batch, msg(ServerCode::ObjectPosition, {9, 5, 3})}));
}

TEST_F(RelayTest, NameBeyondTheObjectLimitTakesOverTheEntryReportedLongestAgo) {
  auto alpha = online("Alpha", true);
  enter(*alpha, "Field");
  FrameReader reader(*alpha);
  auto name = [](int i) { return "obj" + std::to_string(i); };
  alpha->request([&](RequestWriter& w) {
    for (int i = 0; i < 255; ++i) w.objectReport(name(i), static_cast<std::uint16_t>(i), 1, 0);
  });
  auto announced = reader.until(ServerCode::ObjectInfo);
  ASSERT_TRUE(announced);
  EXPECT_EQ(std::count_if(announced->begin(), announced->end(),
                          [](const auto& m) { return m.is(ServerCode::ObjectInfo); }),
            255);
  ASSERT_TRUE(reader.until(ServerCode::ObjectStopped));

  // Every entry but the first is reported again a moment later, then a new name comes.
  alpha->request([&](RequestWriter& w) {
    for (int i = 1; i < 255; ++i) w.objectReport(name(i), static_cast<std::uint16_t>(i), 1, 0);
    w.objectReport("newcomer", 500, 500, 1);
  });
  auto taken = reader.until(ServerCode::ObjectName);
  ASSERT_TRUE(taken) << "no entry was taken over";
  EXPECT_EQ(objectPart(*taken),
            (Frame{msg(ServerCode::ObjectBatch), msg(ServerCode::ObjectMoving, {0}),
                   msg(ServerCode::ObjectName, {}, {"newcomer"}),
                   msg(ServerCode::ObjectPosition, {500, 500, 1})}));
}

TEST_F(RelayTest, RoomWithPasswordNeverTellsItsMemberCount) {
  auto watcher = online("Watcher");
  auto alpha = online("Alpha");
  auto bravo = online("Bravo");
  auto charlie = online("Charlie", true);
  enter(*alpha, "Vault", "pw");
  enter(*bravo, "Hall");
  enter(*charlie, "Field");
  for (TestClient* member : {alpha.get(), bravo.get(), charlie.get()}) {
    member->request([](RequestWriter& w) { w.leaveRoom(); });
    ASSERT_TRUE(member->waitFor(ServerCode::RoomLeft));
  }
  std::vector<std::vector<std::uint32_t>> counts;
  for (const ServerMessage& m : watcher->drain(kQuiet)) {
    if (m.is(ServerCode::RoomMemberCount)) counts.push_back(m.numbers);
  }
  std::sort(counts.begin(), counts.end());
  // A chat room tells joins and departures, a navigation room departures only.
  EXPECT_EQ(counts, (std::vector<std::vector<std::uint32_t>>{{kField, 0}, {kHall, 0}, {kHall, 1}}))
      << "nothing for the Vault, number " << kVault;
}

TEST_F(RelayTest, ChannelFollowerGetsMembershipNewsButNoneOfTheRoomTraffic) {
  auto alpha = online("Alpha");
  auto bravo = online("Bravo");
  auto charlie = online("Charlie", true);
  auto delta = online("Delta", true);
  enter(*alpha, "Hall");
  enter(*charlie, "Field");
  auto follower = online("Follower");
  const Identity a = identityOf("Alpha"), b = identityOf("Bravo"), c = identityOf("Charlie"),
                 d = identityOf("Delta");

  // A chat room: joins, leader changes and departures, no chat.
  follower->request([](RequestWriter& w) { w.joinChannel("hall", ""); });
  EXPECT_EQ(follower->next(), msg(ServerCode::ChannelJoined, {kHall}));
  ServerMessage hallList = msg(ServerCode::MemberList, {kHall, 1});
  hallList.members = {{a.name, a.fields.profileWord1, a.fields.profileShort, 0}};
  EXPECT_EQ(follower->next(), hallList) << "once, when following starts";
  enter(*bravo, "Hall");
  alpha->request([](RequestWriter& w) { w.roomChat("members only"); });
  ASSERT_TRUE(bravo->waitFor(ServerCode::RoomLine));
  alpha->request([](RequestWriter& w) { w.claimLeader("lead"); });
  ASSERT_TRUE(bravo->waitFor(ServerCode::MemberLeaderState));
  bravo->request([](RequestWriter& w) { w.leaveRoom(); });
  ASSERT_TRUE(alpha->waitFor(ServerCode::MemberLeft));
  EXPECT_EQ(follower->drain(kQuiet),
            (std::vector<ServerMessage>{
                msg(ServerCode::ChannelMemberJoined,
                    {kHall, b.fields.profileWord1, b.fields.profileShort, 0}, {b.name}),
                msg(ServerCode::ChannelLeaderState, {kHall, 0, 1}),
                msg(ServerCode::ChannelMemberLeft, {kHall, 1})}));

  // A navigation room: joins and departures, no positions.
  follower->request([](RequestWriter& w) { w.joinChannel("Field", ""); });
  EXPECT_EQ(follower->next(), msg(ServerCode::ChannelJoined, {kField}));
  ServerMessage fieldList = msg(ServerCode::MemberList, {kField, 1});
  fieldList.members = {{c.name, c.fields.profileWord1, c.fields.profileShort, 0}};
  EXPECT_EQ(follower->next(), fieldList);
  enter(*delta, "Field");
  charlie->request([](RequestWriter& w) {
    w.position(3, 3, 0, 0, 0);
    w.localChat("members only");
  });
  ASSERT_TRUE(delta->waitFor(ServerCode::LocalLine));
  delta->request([](RequestWriter& w) { w.leaveRoom(); });
  ASSERT_TRUE(charlie->waitFor(ServerCode::MemberLeft));
  EXPECT_EQ(follower->drain(kQuiet),
            (std::vector<ServerMessage>{
                msg(ServerCode::ChannelMemberJoined,
                    {kField, d.fields.profileWord1, d.fields.profileShort, 0}, {d.name}),
                msg(ServerCode::ChannelMemberLeft, {kField, 1})}));
}

TEST_F(RelayTest, MemberWhoLeavesBeforeHisFirstPassIsNeverAnnounced) {
  auto alpha = online("Alpha", true);
  auto bravo = online("Bravo", true);
  auto charlie = online("Charlie", true);
  enter(*alpha, "Field");
  enter(*bravo, "Field");
  charlie->request([](RequestWriter& w) {
    w.enterRoom("Field", "");
    w.leaveRoom();
  });
  EXPECT_EQ(charlie->next(), msg(ServerCode::RoomLeft)) << "and no RoomExited before it";
  EXPECT_TRUE(charlie->drain(kQuiet).empty());
  for (const ServerMessage& m : alpha->drain(kQuiet)) {
    EXPECT_FALSE(m.is(ServerCode::MemberLeft) || m.text(0) == "Charlie") << m.describe();
  }

  // Once served, a member's departure is told.
  bravo->request([](RequestWriter& w) { w.leaveRoom(); });
  EXPECT_EQ(bravo->waitFor(ServerCode::RoomExited), msg(ServerCode::RoomExited, {kField}));
  EXPECT_EQ(bravo->next(), msg(ServerCode::RoomLeft));
  auto left = alpha->waitFor(ServerCode::MemberLeft);
  ASSERT_TRUE(left);
  EXPECT_EQ(left->numbers, std::vector<std::uint32_t>{1});
}

TEST_F(RelayTest, PrivateMessageFindsItsRecipientWhateverTheLetterCase) {
  auto romeo = online("Romeo");
  auto alpha = online("Alpha");
  auto delta = online("Delta");  // in no room
  enter(*alpha, "Hall");
  alpha->request([](RequestWriter& w) { w.privateMessage("ROMEO", "from a room"); });
  EXPECT_EQ(romeo->waitFor(ServerCode::PrivateMessageNotice),
            msg(ServerCode::PrivateMessageNotice, {}, {"from a room", "Alpha"}));
  delta->request([](RequestWriter& w) { w.privateMessage("Romeo", "from nowhere"); });
  EXPECT_EQ(romeo->waitFor(ServerCode::PrivateMessageNotice),
            msg(ServerCode::PrivateMessageNotice, {}, {"from nowhere", "Delta"}));
  alpha->request([](RequestWriter& w) {
    w.privateMessage("alpha", "to myself");
    w.privateMessage("Nobody", "lost");
  });
  for (TestClient* c : {romeo.get(), alpha.get(), delta.get()}) {
    for (const ServerMessage& m : c->drain(kQuiet)) {
      EXPECT_FALSE(m.is(ServerCode::PrivateMessageNotice)) << m.describe();
    }
  }
}

}  // namespace
}  // namespace velmor
