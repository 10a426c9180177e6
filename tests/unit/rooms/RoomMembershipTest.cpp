// Membership of a live room and the chat lines its members share, on rooms and users built
// without a server (no database, no worker thread, no socket): seats, leadership,
// renumbering, and the lines' reference counts.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "model/ChatLine.h"
#include "rooms/UserRooms.h"
#include "support/RoomBed.h"
#include "support/RoomProbe.h"
#include "support/UserProbe.h"

namespace velmor {
namespace {

class RoomMembershipTest : public testing::Test {
 protected:
  Room& live(const char* name, const char* leaderPassword = "lead") {
    return bed.room(name, false, leaderPassword);
  }
  User& fakeUser() { return bed.user("User" + std::to_string(++users)); }

  test::RoomBed bed;
  int users = 0;
};

TEST_F(RoomMembershipTest, JoiningTheRoomOneIsInChangesNothing) {
  Room& room = live("Hall");
  User& first = fakeUser();
  User& second = fakeUser();
  ASSERT_TRUE(room.join(first, ""));
  ASSERT_TRUE(room.join(second, ""));
  UserProbe::relay(first).fullStateDue = 0;  // as after his first relay pass
  RoomProbe::pending(room).membersDeparted = 0;
  EXPECT_TRUE(room.join(first, ""));
  ASSERT_EQ(room.members().size(), 2u);
  EXPECT_EQ(room.members()[0], &first);
  EXPECT_EQ(first.roomSlot(), 0u);
  EXPECT_EQ(second.roomSlot(), 1u);
  EXPECT_TRUE(RoomProbe::departedSlots(room).empty());
  EXPECT_FALSE(RoomProbe::pending(room).membersDeparted);
  EXPECT_EQ(first.relay().fullStateDue, 0u) << "his relay state is not started over";
}

TEST_F(RoomMembershipTest, LeavingARoomEndsLeadershipThere) {
  Room& alpha = live("Alpha", "la");
  Room& beta = live("Beta", "lb");
  User& user = fakeUser();
  ASSERT_TRUE(alpha.join(user, "la"));
  ASSERT_TRUE(user.rights().isLeader);
  UserRooms::leaveRoom(user, LeaveReason::Request);
  EXPECT_FALSE(user.rights().isLeader);
  ASSERT_TRUE(beta.join(user, "lb"));
  ASSERT_TRUE(user.rights().isLeader);
  ASSERT_TRUE(alpha.join(user, ""));  // moving on leaves Beta and its leadership
  EXPECT_FALSE(user.rights().isLeader);
  ASSERT_TRUE(beta.join(user, "lb"));
  EXPECT_TRUE(user.rights().isLeader) << "the leader password of the room entered still counts";
}

// A line queued three times (a line and two repeats) by the member at seat 2 moves to seat 1
// once when the member at seat 1 leaves, not once per time it is queued.
TEST_F(RoomMembershipTest, DepartureRenumbersEachQueuedLineOnce) {
  Room& room = live("Hall");
  User* members[3];
  for (User*& member : members) {
    member = &fakeUser();
    ASSERT_TRUE(room.join(*member, ""));
  }
  Ref<ChatLine> line = ChatLine::acquire();
  line->senderSlot = 2;
  for (int i = 0; i < 3; ++i) room.say(line);
  Ref<ChatLine> own = ChatLine::acquire();  // the leaver's line leaves the queue with him
  own->senderSlot = 1;
  room.say(own);
  UserRooms::leaveRoom(*members[1], LeaveReason::Request);
  ASSERT_EQ(RoomProbe::chatQueue(room).size(), 3u);
  for (const Ref<ChatLine>& queued : RoomProbe::chatQueue(room)) EXPECT_EQ(queued->senderSlot, 1u);
  EXPECT_EQ(members[2]->roomSlot(), 1u);
}

// More holders than a byte can count: the line goes back to the pool only with the last.
TEST(ChatLineReferences, DoNotWrapAroundForManyHolders) {
  Ref<ChatLine> line = ChatLine::acquire();
  std::vector<Ref<ChatLine>> holders(300, line);
  const std::uint32_t pooled = ChatLine::pooled();
  holders.clear();
  EXPECT_EQ(ChatLine::pooled(), pooled) << "returned to the pool while still held";
  line.reset();
  EXPECT_EQ(ChatLine::pooled(), pooled + 1);
}

}  // namespace
}  // namespace velmor
