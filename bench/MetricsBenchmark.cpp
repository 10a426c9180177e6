// What the figures cost. On the main loop: one tick's record (the 5 s window and the
// histogram) and one counter, with the heap allocations they make (none). On the metrics
// endpoint's thread: rendering a whole scrape of a running server, in both formats.
#include <benchmark/benchmark.h>

#include <string>

#include "AllocationCount.h"
#include "base/TrafficCounters.h"
#include "core/TickTimes.h"
#include "metrics/ProcessFigures.h"
#include "metrics/ServerMetrics.h"
#include "support/ServerHarness.h"

namespace velmor {
namespace {

void TickRecord(benchmark::State& state) {
  TickTimes times;
  std::uint64_t ns = 40'000;
  const std::size_t before = bench::allocationsSoFar();
  for (auto _ : state) {
    times.record(ns);
    ns = (ns * 7 + 13) % 30'000'000;  // durations spread over the buckets
  }
  state.counters["allocations_per_op"] = benchmark::Counter(
      static_cast<double>(bench::allocationsSoFar() - before), benchmark::Counter::kAvgIterations);
}
BENCHMARK(TickRecord);

void CounterAdd(benchmark::State& state) {
  TrafficCounters counters;
  for (auto _ : state) {
    counters.chatLinesRelayed.add(1);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(CounterAdd);

// Arg 0: the text format, 1: OpenMetrics.
void RenderScrape(benchmark::State& state) {
  test::ServerHarness server;
  DescriptorListing descriptors;
  const ExpositionFormat format =
      state.range(0) == 0 ? ExpositionFormat::Text : ExpositionFormat::OpenMetrics;
  std::size_t bytes = 0;
  for (auto _ : state) {
    const std::string body = renderServerMetrics(server.server(), descriptors, format);
    bytes = body.size();
    benchmark::DoNotOptimize(body.data());
  }
  state.counters["bytes"] = static_cast<double>(bytes);
}
BENCHMARK(RenderScrape)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace velmor
