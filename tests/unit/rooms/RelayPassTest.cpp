// Relay passes on rooms and users built without a server (no database, no worker thread,
// no socket): what a pass sends to whom, and when it has nothing to tell.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "client/FrameDecoder.h"
#include "client/ServerMessage.h"
#include "rooms/Relay.h"
#include "rooms/UserRooms.h"
#include "support/RoomBed.h"
#include "support/RoomProbe.h"

namespace velmor {
namespace {

using client::ServerMessage;
using wire::ServerCode;

std::vector<ServerMessage> decode(const std::vector<std::string>& frames, bool navigation) {
  std::vector<ServerMessage> messages;
  for (const std::string& frame : frames) {
    std::string error;
    EXPECT_TRUE(client::decodeFrame(frame, {navigation}, messages, error)) << error;
  }
  return messages;
}

bool has(const std::vector<ServerMessage>& messages, ServerCode code) {
  for (const ServerMessage& m : messages) {
    if (m.is(code)) return true;
  }
  return false;
}

class RelayPassTest : public testing::Test {
 protected:
  // Runs the room's pass at the next 50 ms.
  void pass(Room& room) {
    bed.advanceMs(50);
    relayUpdate(room, bed.nowMs());
  }

  test::RoomBed bed;
};

TEST_F(RelayPassTest, PassWithNothingToTellSendsNothingAndKeepsTheSequence) {
  Room& room = bed.room("Field", true);
  auto& ann = bed.user("Ann");
  auto& ben = bed.user("Ben");
  ASSERT_TRUE(room.join(ann, ""));
  ASSERT_TRUE(room.join(ben, ""));
  pass(room);  // the joiners get the room's state
  EXPECT_TRUE(has(decode(ann.takeFrames(), true), ServerCode::RoomState));
  EXPECT_TRUE(has(decode(ben.takeFrames(), true), ServerCode::RoomState));

  ASSERT_FALSE(room.hasWork());
  const std::uint64_t passes = bed.services.relayPasses;
  const std::uint64_t packets = bed.traffic.packetsSent.get();
  RoomProbe::memberCheckTime(room) = bed.clock.ms();  // the idle check is not due
  for (int i = 0; i < 3; ++i) relayUpdate(room, bed.nowMs());
  EXPECT_EQ(bed.services.relayPasses, passes);
  EXPECT_EQ(bed.traffic.packetsSent.get(), packets);

  // One flag is enough for a pass to count.
  RoomProbe::pending(room).chatPending = 1;
  relayUpdate(room, bed.nowMs());
  EXPECT_EQ(bed.services.relayPasses, passes + 1);
}

// A member's move reaches the other member as one compact step, and the mover himself too.
TEST_F(RelayPassTest, MoveGoesOutAsACompactStepToEveryMember) {
  Room& room = bed.room("Field", true);
  auto& mover = bed.user("Mover");
  auto& watcher = bed.user("Watcher");
  ASSERT_TRUE(room.join(mover, ""));
  ASSERT_TRUE(room.join(watcher, ""));
  pass(room);
  mover.takeFrames();
  watcher.takeFrames();

  User::Position moved = mover.position();
  moved.x = static_cast<std::uint16_t>(moved.x + 2);
  moved.y = static_cast<std::uint16_t>(moved.y - 1);
  UserRooms::reportPosition(mover, moved, bed.clock.ms());
  pass(room);
  for (auto* member : {&mover, &watcher}) {
    const auto messages = decode(member->takeFrames(), true);
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(messages.front().kind, client::MessageKind::MemberStep);
    EXPECT_EQ(messages.front().step.dx, 2);
    EXPECT_EQ(messages.front().step.dy, -1);
  }
}

// The other online users hear of a chat room's member count; the members do not get it.
TEST_F(RelayPassTest, OthersHearTheMemberCountOfAChatRoom) {
  Room& room = bed.room("Hall", false);
  auto& member = bed.user("Member");
  auto& outsider = bed.user("Outsider");
  ASSERT_TRUE(room.join(member, ""));
  pass(room);
  const auto heard = decode(outsider.takeFrames(), false);
  ASSERT_TRUE(has(heard, ServerCode::RoomMemberCount));
  EXPECT_FALSE(has(decode(member.takeFrames(), false), ServerCode::RoomMemberCount));
}

}  // namespace
}  // namespace velmor
