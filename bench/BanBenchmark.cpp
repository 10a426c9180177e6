// What a ban match costs at connect, at login and at room entry with N bans in the list:
// N address bans of single addresses, a few subnet bans, and name bans; the address and name
// asked for match none of them, so that a walk of the list would have to go to its end.
#include <benchmark/benchmark.h>

#include <arpa/inet.h>

#include <string>

#include "base/FixedText.h"
#include "model/BanList.h"

namespace velmor {
namespace {

BanList listOf(std::int64_t count) {
  BanList list;
  for (std::int64_t i = 0; i < count; ++i) {
    BanEntry ban;
    copyText(ban.name, "Banned" + std::to_string(i));
    copyText(ban.reason, "a reason of some length, as administrators write them");
    ban.address = htonl(0x0A000000u + static_cast<std::uint32_t>(i));  // 10.0.0.0 upwards
    ban.mask = i % 1000 == 0 ? htonl(0xFFFFFF00u) : (i % 3 == 0 ? 0 : 0xFFFFFFFFu);
    list.add(ban);
  }
  return list;
}

void BanMatchAtConnect(benchmark::State& state) {
  const BanList list = listOf(state.range(0));
  const std::uint32_t peer = htonl(0xC0A80001u);  // 192.168.0.1: not banned
  for (auto _ : state) benchmark::DoNotOptimize(list.findAddress(peer));
}
BENCHMARK(BanMatchAtConnect)->Arg(100)->Arg(100000);

void BanMatchAtRoomEntry(benchmark::State& state) {
  const BanList list = listOf(state.range(0));
  const std::uint32_t peer = htonl(0xC0A80001u);
  for (auto _ : state) benchmark::DoNotOptimize(list.findAddressOrName(peer, "Innocent Bystander"));
}
BENCHMARK(BanMatchAtRoomEntry)->Arg(100)->Arg(100000);

}  // namespace
}  // namespace velmor
