// When the tick relays which room: passes spread over the ticks, each room on its own period.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "rooms/RelaySchedule.h"
#include "rooms/UserRooms.h"
#include "support/RoomBed.h"
#include "support/RoomProbe.h"

namespace velmor {
namespace {

constexpr std::uint64_t kTickMs = 20;

class RelayScheduleTest : public testing::Test {
 protected:
  // Moves the clock one tick on and runs it; the rooms relayed in it.
  std::vector<Room*> tick() {
    bed.advanceMs(kTickMs);
    bed.rooms.tick(bed.nowMs(), bed.manual.wallSeconds());
    std::vector<Room*> relayed;
    for (const auto& room : bed.rooms.liveRooms()) {
      if (!room->members().empty() && RoomProbe::lastUpdateTime(*room) == bed.nowMs())
        relayed.push_back(room.get());
    }
    return relayed;
  }
  Room& occupiedRoom(int i) {
    Room& room = bed.room("Field " + std::to_string(i), true);
    EXPECT_TRUE(room.join(bed.user("Walker " + std::to_string(i)), ""));
    return room;
  }

  test::RoomBed bed;
};

TEST_F(RelayScheduleTest, RoomsFilledInOneTickAreRelayedInThreeTicksEachEverySixtyMs) {
  std::vector<Room*> rooms;
  for (int i = 0; i < 30; ++i) rooms.push_back(&occupiedRoom(i));

  std::map<Room*, std::vector<std::uint64_t>> passTimes;
  std::set<std::set<Room*>> groups;
  for (int t = 0; t < 30; ++t) {
    const std::vector<Room*> relayed = tick();
    EXPECT_LE(relayed.size(), 10u) << "tick " << t;
    if (!relayed.empty()) groups.insert(std::set<Room*>(relayed.begin(), relayed.end()));
    for (Room* room : relayed) passTimes[room].push_back(bed.nowMs());
  }
  EXPECT_EQ(groups.size(), 3u);  // the same three groups of ten, in turn
  for (const auto& group : groups) EXPECT_EQ(group.size(), 10u);
  ASSERT_EQ(passTimes.size(), rooms.size());
  for (const auto& [room, times] : passTimes) {
    ASSERT_GE(times.size(), 9u) << room->record().name;
    for (std::size_t k = 1; k < times.size(); ++k)
      EXPECT_EQ(times[k] - times[k - 1], 60u) << room->record().name << " pass " << k;
  }
  // Every room's first pass came within one period of the first tick.
  for (const auto& [room, times] : passTimes)
    EXPECT_LE(times.front(), passTimes.begin()->second.front() + 60);
}

// Only rooms with members hold a phase: one that empties gives its phase back, and the next
// room that fills takes the least held one, so the occupied rooms stay evenly spread.
TEST_F(RelayScheduleTest, EmptiedRoomGivesItsPhaseToTheNextRoomThatFills) {
  std::vector<Room*> rooms;
  for (int i = 0; i < 6; ++i) rooms.push_back(&occupiedRoom(i));
  bed.room("Empty Hall", true);
  tick();
  const RelaySchedule& schedule = bed.rooms.schedule();
  for (std::uint32_t p = 0; p < schedule.phases(); ++p) EXPECT_EQ(schedule.holders(p), 2u);

  const std::uint32_t freed = RoomProbe::relayPhase(*rooms[4]);
  UserRooms::leaveRoom(*rooms[4]->members().front(), LeaveReason::Request);
  tick();
  EXPECT_FALSE(RoomProbe::holdsRelayPhase(*rooms[4]));
  EXPECT_EQ(schedule.holders(freed), 1u);

  Room& late = occupiedRoom(99);
  tick();
  EXPECT_TRUE(RoomProbe::holdsRelayPhase(late));
  EXPECT_EQ(RoomProbe::relayPhase(late), freed);
  for (std::uint32_t p = 0; p < schedule.phases(); ++p) EXPECT_EQ(schedule.holders(p), 2u);
}

TEST(RelaySchedulePhases, ComeFromTheUpdateIntervalOverTheTick) {
  struct Case {
    std::uint32_t updateInterval, tickInterval, phases;
  };
  for (const Case c : {Case{50, 20, 3}, Case{60, 20, 3}, Case{61, 20, 4}, Case{100, 20, 5},
                       Case{20, 20, 1}, Case{10, 20, 1}, Case{0, 20, 1}, Case{50, 0, 1}}) {
    EXPECT_EQ(RelaySchedule(c.updateInterval, c.tickInterval).phases(), c.phases)
        << c.updateInterval << " / " << c.tickInterval;
  }
}

}  // namespace
}  // namespace velmor
