// One relay pass of a navigation room in which every member moved: time per pass and
// heap allocations per pass (operator new is counted; the steady state makes none).
#include <benchmark/benchmark.h>
#include <uv.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <new>
#include <vector>

#include "settings/Settings.h"
#include "users/User.h"
#include "rooms/Relay.h"
#include "rooms/RoomRegistry.h"
#include "server/VelmorServer.h"

namespace {
std::atomic<std::size_t> allocations{0};
}

// The replaced operator new takes its memory from malloc, so free is the matching release.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

void* operator new(std::size_t size) {
  allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
  std::free(p);
}

namespace velmor {
namespace {

// A server with its files in a temporary folder; never listens (the loop is not run).
struct BenchServer {
  BenchServer() : directory(makeDirectory()), settings(directory) {
    settings.useupnp = false;
    settings.bindaddress = "127.0.0.1";
    uv_loop_init(&loop);
    server = std::make_unique<VelmorServer>(&loop, &settings);
  }
  ~BenchServer() {
    server->shutdown();
    uv_run(&loop, UV_RUN_DEFAULT);
    server.reset();
    uv_run(&loop, UV_RUN_DEFAULT);
    uv_loop_close(&loop);
    std::filesystem::remove_all(directory);
  }
  static std::string makeDirectory() {
    std::string pattern = (std::filesystem::temp_directory_path() / "velmor-bench-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    return pattern + "/";
  }

  std::string directory;
  Settings settings;
  uv_loop_t loop{};
  std::unique_ptr<VelmorServer> server;
};

void NavigationPassAllMoved(benchmark::State& state) {
  const auto memberCount = static_cast<std::size_t>(state.range(0));
  BenchServer bench;
  ServerCore& core = bench.server->core();
  Room& room = makeLive(core, makeRoomRecord("Field", "bench", "", "lead", 300, true, true));
  std::vector<std::unique_ptr<User>> members;
  for (std::size_t i = 0; i < memberCount; ++i) {
    members.push_back(std::make_unique<User>(nullptr, nullptr, &core));
    join(room, *members.back(), "");
  }
  std::uint64_t now = 1'000'000;
  auto movedPass = [&] {
    now += 50;
    core.clock = static_cast<std::uint32_t>(now);
    for (auto& member : members) {
      member->posX = static_cast<std::uint16_t>(member->posX + 1);
      member->posY = static_cast<std::uint16_t>(member->posY - 2);
      member->presenceChanged = 1;
      member->lastMoved = member->lastActivity = core.clock;
    }
    room.memberStateChanged = 1;
    relayUpdate(room, now);
  };
  for (int warm = 0; warm < 10; ++warm) movedPass();  // joiners served, buffers grown

  std::size_t allocated = 0;
  for (auto _ : state) {
    const std::size_t before = allocations.load(std::memory_order_relaxed);
    movedPass();
    allocated += allocations.load(std::memory_order_relaxed) - before;
  }
  state.counters["allocations_per_pass"] =
      benchmark::Counter(static_cast<double>(allocated), benchmark::Counter::kAvgIterations);
  state.counters["members"] = static_cast<double>(memberCount);
  members.clear();
}
BENCHMARK(NavigationPassAllMoved)->Arg(100)->Arg(255);

}  // namespace
}  // namespace velmor

BENCHMARK_MAIN();
