// One relay pass of a navigation room in which every member moved: time per pass and
// heap allocations per pass (operator new is counted; the steady state makes none).
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "AllocationCount.h"
#include "rooms/Membership.h"
#include "rooms/Relay.h"
#include "support/RoomBed.h"

namespace velmor {
namespace {

void NavigationPassAllMoved(benchmark::State& state) {
  const auto memberCount = static_cast<std::size_t>(state.range(0));
  test::RoomBed bed;
  Room& room = bed.rooms.makeLive(makeRoomRecord("Field", "bench", "", "lead", 300, true, true));
  std::vector<test::RoomBed::Member*> members;
  for (std::size_t i = 0; i < memberCount; ++i) {
    test::RoomBed::Member& member = bed.user("Member" + std::to_string(i));
    member.recording = false;  // the pass alone is measured, not a test's copy of its frames
    join(room, member, "");
    members.push_back(&member);
  }
  auto movedPass = [&] {
    bed.advanceMs(50);
    for (User* member : members) {
      member->position.x = static_cast<std::uint16_t>(member->position.x + 1);
      member->position.y = static_cast<std::uint16_t>(member->position.y - 2);
      member->relay.presenceChanged = 1;
      member->relay.lastMoved = member->relay.lastActivity = bed.clock.ms();
    }
    room.relay.memberStateChanged = 1;
    relayUpdate(room, bed.nowMs());
  };
  for (int warm = 0; warm < 10; ++warm) movedPass();  // joiners served, buffers grown

  std::size_t allocated = 0;
  for (auto _ : state) {
    const std::size_t before = bench::allocationsSoFar();
    movedPass();
    allocated += bench::allocationsSoFar() - before;
  }
  state.counters["allocations_per_pass"] =
      benchmark::Counter(static_cast<double>(allocated), benchmark::Counter::kAvgIterations);
  state.counters["members"] = static_cast<double>(memberCount);
}
BENCHMARK(NavigationPassAllMoved)->Arg(100)->Arg(255);

}  // namespace
}  // namespace velmor
