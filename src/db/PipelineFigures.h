#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>

#include "base/Histogram.h"
#include "base/RelaxedCounter.h"
#include "db/Queries.h"

namespace velmor {

// The query pipeline's figures, for the metrics endpoint. Each has one writer: the main loop
// counts the queries it posts (the worker those a query leaves it to do) and the completions
// it dispatches; the worker counts the
// requests it takes, times its batches and says how much work it keeps waiting for the
// storage and since when. Any thread reads them (relaxed atomics, no lock).
class PipelineFigures {
 public:
  // Batches commit with a sync to the disk (milliseconds) and may wait out the busy timeout
  // (5 s by default) for a lock another program holds.
  static constexpr std::array<std::uint64_t, 14> kBatchBucketsNs{
      250'000,     500'000,       1'000'000,     2'500'000,     5'000'000,
      10'000'000,  25'000'000,    50'000'000,    100'000'000,   250'000'000,
      500'000'000, 1'000'000'000, 2'500'000'000, 10'000'000'000};
  using BatchDurations = Histogram<kBatchBucketsNs.size()>;

  // The steady clock the ages are measured with, in ns. Any thread.
  static std::uint64_t steadyNowNs() {
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                          std::chrono::steady_clock::now().time_since_epoch())
                                          .count());
  }

  // Main loop.
  void notePosted(QueryKind kind) {
    posted_[index(kind)].add(1);
    postedAll_.add(1);
  }
  void noteCompleted(QueryKind kind) { completed_[index(kind)].add(1); }

  // Worker.
  void noteTaken() { taken_.add(1); }
  void noteBatch(std::uint64_t nanoseconds) { batchDurations_.observe(nanoseconds); }
  // `oldestSinceNs`: when the longest-waiting of them was first kept (0 with none).
  void noteWaiting(std::size_t count, std::uint64_t oldestSinceNs) {
    waiting_.set(count);
    oldestWaitingSinceNs_.set(oldestSinceNs);
  }

  // Any thread.
  std::uint64_t posted(QueryKind kind) const { return posted_[index(kind)].get(); }
  std::uint64_t completed(QueryKind kind) const { return completed_[index(kind)].get(); }
  // Posted and not yet taken by the worker: the request queue's length.
  std::uint64_t queueDepth() const {
    const std::uint64_t taken = taken_.get();  // first: it never passes what was posted
    const std::uint64_t posted = postedAll_.get();
    return posted > taken ? posted - taken : 0;
  }
  const BatchDurations& batchDurations() const { return batchDurations_; }
  std::size_t waiting() const { return waiting_.get(); }
  // How long the oldest work kept for the storage has waited, in seconds (0 with none).
  double oldestWaitingSeconds(std::uint64_t nowNs = steadyNowNs()) const {
    const std::uint64_t since = oldestWaitingSinceNs_.get();
    if (since == 0 || nowNs <= since) return 0;
    return static_cast<double>(nowNs - since) / 1e9;
  }

 private:
  static std::size_t index(QueryKind kind) { return static_cast<std::size_t>(kind); }

  std::array<RelaxedCounter<std::uint64_t>, kQueryKinds> posted_{};
  std::array<RelaxedCounter<std::uint64_t>, kQueryKinds> completed_{};
  RelaxedCounter<std::uint64_t> postedAll_;
  RelaxedCounter<std::uint64_t> taken_;
  BatchDurations batchDurations_{kBatchBucketsNs};
  RelaxedCounter<std::size_t> waiting_;
  RelaxedCounter<std::uint64_t> oldestWaitingSinceNs_;
};

}  // namespace velmor
