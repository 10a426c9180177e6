// One relay pass of a navigation room in which every member moved: time per pass and
// heap allocations per pass (operator new is counted; the steady state makes none).
#include <benchmark/benchmark.h>

#include <chrono>
#include <string>
#include <vector>

#include "AllocationCount.h"
#include "rooms/Relay.h"
#include "rooms/UserRooms.h"
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
    room.join(member, "");
    members.push_back(&member);
  }
  auto movedPass = [&] {
    bed.advanceMs(50);
    for (User* member : members) {
      User::Position moved = member->position();
      moved.x = static_cast<std::uint16_t>(moved.x + 1);
      moved.y = static_cast<std::uint16_t>(moved.y - 2);
      UserRooms::reportPosition(*member, moved, bed.clock.ms());
    }
  };
  for (int warm = 0; warm < 10; ++warm) {  // joiners served, buffers grown
    movedPass();
    relayUpdate(room, bed.nowMs());
  }

  std::size_t allocated = 0;
  for (auto _ : state) {
    const std::size_t before = bench::allocationsSoFar();
    movedPass();  // the members' reports, not timed
    const auto start = std::chrono::steady_clock::now();
    relayUpdate(room, bed.nowMs());
    state.SetIterationTime(
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    allocated += bench::allocationsSoFar() - before;
  }
  state.counters["allocations_per_pass"] =
      benchmark::Counter(static_cast<double>(allocated), benchmark::Counter::kAvgIterations);
  state.counters["members"] = static_cast<double>(memberCount);
}
BENCHMARK(NavigationPassAllMoved)->Arg(100)->Arg(255)->UseManualTime();

}  // namespace
}  // namespace velmor
