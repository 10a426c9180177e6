// Membership of a live room and the chat lines its members share, on rooms and users built
// inside the server: seats, leadership, renumbering, and the lines' reference counts.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "model/ChatLine.h"
#include "rooms/RoomRegistry.h"
#include "support/InProcessServer.h"

namespace velmor {
namespace {

class RoomMembershipTest : public testing::Test {
 protected:
  ~RoomMembershipTest() override { users.clear(); }

  Room& live(const char* name, const char* leaderPassword = "lead") {
    return makeLive(core(), makeRoomRecord(name, "server", "", leaderPassword, 64, false, false));
  }
  User& fakeUser() {
    users.push_back(std::make_unique<User>(nullptr, nullptr, &core()));
    return *users.back();
  }
  ServerCore& core() { return server.core(); }

  test::InProcessServer server;
  std::vector<std::unique_ptr<User>> users;
};

TEST_F(RoomMembershipTest, JoiningTheRoomOneIsInChangesNothing) {
  Room& room = live("Hall");
  User& first = fakeUser();
  User& second = fakeUser();
  ASSERT_TRUE(join(room, first, ""));
  ASSERT_TRUE(join(room, second, ""));
  first.fullStateDue = 0;  // as after his first relay pass
  room.memberLeft = 0;
  EXPECT_TRUE(join(room, first, ""));
  ASSERT_EQ(room.members.size(), 2u);
  EXPECT_EQ(room.members[0], &first);
  EXPECT_EQ(first.roomSlot, 0u);
  EXPECT_EQ(second.roomSlot, 1u);
  EXPECT_TRUE(room.departedSlots.empty());
  EXPECT_FALSE(room.memberLeft);
  EXPECT_EQ(first.fullStateDue, 0u) << "his relay state is not started over";
}

TEST_F(RoomMembershipTest, LeavingARoomEndsLeadershipThere) {
  Room& alpha = live("Alpha", "la");
  Room& beta = live("Beta", "lb");
  User& user = fakeUser();
  ASSERT_TRUE(join(alpha, user, "la"));
  ASSERT_TRUE(user.isLeader);
  leave(alpha, user);
  EXPECT_FALSE(user.isLeader);
  ASSERT_TRUE(join(beta, user, "lb"));
  ASSERT_TRUE(user.isLeader);
  ASSERT_TRUE(join(alpha, user, ""));  // moving on leaves Beta and its leadership
  EXPECT_FALSE(user.isLeader);
  ASSERT_TRUE(join(beta, user, "lb"));
  EXPECT_TRUE(user.isLeader) << "the leader password of the room entered still counts";
}

// A line queued three times (a line and two repeats) by the member at seat 2 moves to seat 1
// once when the member at seat 1 leaves, not once per time it is queued.
TEST_F(RoomMembershipTest, DepartureRenumbersEachQueuedLineOnce) {
  Room& room = live("Hall");
  User* members[3];
  for (User*& member : members) {
    member = &fakeUser();
    ASSERT_TRUE(join(room, *member, ""));
  }
  ChatLine* line = ChatLine::acquire();
  line->senderSlot = 2;
  for (int i = 0; i < 3; ++i) {
    line->addRef();
    room.chatQueue.push_back(line);
  }
  ChatLine* own = ChatLine::acquire();  // the leaver's line leaves the queue with him
  own->senderSlot = 1;
  room.chatQueue.push_back(own);
  leave(room, *members[1]);
  ASSERT_EQ(room.chatQueue.size(), 3u);
  for (const ChatLine* queued : room.chatQueue) EXPECT_EQ(queued->senderSlot, 1u);
  EXPECT_EQ(members[2]->roomSlot, 1u);
  ChatLine::release(line);
}

// More holders than a byte can count: the line goes back to the pool only with the last.
TEST(ChatLineReferences, DoNotWrapAroundForManyHolders) {
  ChatLine* line = ChatLine::acquire();
  for (int i = 0; i < 300; ++i) line->addRef();
  const std::uint32_t pooled = ChatLine::pooled();
  for (int i = 0; i < 300; ++i) ChatLine::release(line);
  EXPECT_EQ(ChatLine::pooled(), pooled) << "returned to the pool while still held";
  ChatLine::release(line);
  EXPECT_EQ(ChatLine::pooled(), pooled + 1);
}

}  // namespace
}  // namespace velmor
