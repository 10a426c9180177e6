#pragma once

// The query pipeline: all database work runs on one worker thread, so that the main loop
// never waits for SQLite.
//
//   main loop                                   query worker (own libuv loop)
//   post(q) --> request queue --> wake-up --->  batch: lock; BEGIN; execute every queued
//                                               query; COMMIT; unlock; then hand them back
//   dispatch <-- wake-up <-- completion queue <-'
//
// Each queue is single-producer single-consumer (the main loop produces requests and
// consumes completions; the worker the reverse); enqueueing publishes everything written
// into the query with release/acquire ordering. A wake-up may coalesce several sends, so
// both sides drain their queue completely each time.
//
// Completions are handed back only after their batch committed: a reply that depends on
// a query (a registration, a created room) never goes out for a change the database could
// still lose.
//
// Work the storage cannot do now (a lock another program holds past the busy timeout, a
// full disk, an I/O error, a transaction SQLite rolled back by itself) is not lost: a
// query whose change was acknowledged before it ran (storedAtAnyCost), and a read whose
// poster waits for it, is kept by the worker and run again in a later batch, after a pause
// that grows from kFirstRetryPauseMs to kLastRetryPauseMs. Work on the same room keeps its
// order behind it (a save, then a delete of the same file, ends deleted); work on other
// rooms goes on. While a database fails, its statements wait kProbeTimeoutMs for a lock
// instead of the busy timeout, and new work for it waits with the kept work, so that the
// worker is never held longer than one batch. A transaction that SQLite ends by itself
// stops its batch: what ran in it is kept or answered as failed, the rest runs next.
//
// Ownership: a posted query belongs to the pipeline. The worker destroys a query it finds
// cancelled (before or after executing it, or while it keeps it); the dispatch destroys a
// cancelled one, and destroys the others after their completion unless it returns true
// (it kept the query).
//
// stop() lets the worker execute and commit everything posted so far, tries what it keeps
// until it is stored or the retry limit passes (the rest is named on the console and
// handed back as failed), ends the worker, joins the thread, and dispatches the last
// completions on the calling (main) thread. The limit counts from the stop request, not
// from the end of the batch running then: a wait for a lock gives up at the limit too.

#include <uv.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include <readerwriterqueue/readerwriterqueue.h>

#include "base/UvHandle.h"
#include "db/ChangeShares.h"
#include "db/FileDatabase.h"
#include "db/MainDatabase.h"
#include "db/PipelineFigures.h"
#include "db/Queries.h"

namespace velmor {

class QueryPipeline final : public QueryPoster {
 public:
  // Worker loop: runs when the worker starts and when it stops (the status screen).
  struct WorkerHooks {
    std::function<void(uv_loop_t*)> onStart;
    std::function<void(uv_loop_t*)> onStop;
  };

  static constexpr std::uint32_t kFirstRetryPauseMs = 50;
  static constexpr std::uint32_t kLastRetryPauseMs = 1000;
  static constexpr int kProbeTimeoutMs = 50;
  // How long stop() goes on storing what the storage refused (within the shutdown limit).
  static constexpr std::chrono::milliseconds kStopRetryLimit{8000};

  // `busyTimeoutMs`: the busy timeout both databases were opened with.
  QueryPipeline(uv_loop_t* mainLoop, MainDatabase& main, FileDatabase& files,
                int busyTimeoutMs = kDefaultBusyTimeoutMs);
  ~QueryPipeline() override;
  QueryPipeline(const QueryPipeline&) = delete;
  QueryPipeline& operator=(const QueryPipeline&) = delete;

  // Starts the worker thread and returns once its wake-up exists. Main thread.
  void start(WorkerHooks hooks = {});
  // Hands a query to the worker; an owner keeps it among his pending queries until it
  // completes. Main loop only. After stop() the query is destroyed at once.
  void post(QueryOwner* owner, VelmorBaseQuery* query) override;
  // Runs the worker's last batch (and its retries, up to `retryLimit`), ends and joins it,
  // dispatches what came back and closes the completion wake-up. Main loop only;
  // idempotent.
  void stop(std::chrono::milliseconds retryLimit = kStopRetryLimit);

  bool workerStarted() const { return workerStarted_.load(std::memory_order_acquire); }
  // Held by the worker for each batch; tests hold it to gather posts into one batch.
  std::mutex& queryLock() { return queryLock_; }
  std::uint64_t batches() const { return batches_.load(std::memory_order_relaxed); }
  // Queries the worker keeps to try again (any thread: a figure).
  std::size_t waiting() const { return figures_.waiting(); }
  // Posts, completions, the queue, the batches and the waiting work (any thread).
  const PipelineFigures& figures() const { return figures_; }
  // What the changes in flight hold, by their posters' addresses (charged at post, let go at
  // the completion's dispatch). Main loop.
  const ChangeShares& changes() const { return changes_; }
  // Acknowledged changes the stop gave up unstored. Main loop, after stop().
  std::size_t unstoredAtStop() const { return unstoredAtStop_; }

 private:
  class Batch;  // one batch's steps and state (worker)

  static void onWorkerWakeup(uv_async_t* handle);
  static void onRetryTimer(uv_timer_t* timer);
  static void onCompletionWakeup(uv_async_t* handle);
  // Worker: a batch, and at the stop the retries that follow it, then the end of the loop.
  void workerBatch(bool retryRound);
  // Worker: one transaction per database over the kept work (when `retryRound`, or at the
  // stop) and the new requests; true when it was the stop's batch.
  bool runBatch(bool retryRound);
  void scheduleRetry(bool grow);            // worker
  void publishWaiting();                    // worker: the waiting work's figures
  void giveUpWaiting();                     // worker, at the stop
  void setProbing(std::uint8_t databases);  // worker: the short busy timeout where failing
  bool pastStopDeadline() const;            // worker
  // SQLite's busy handler of the worker's connections: sleeps while a lock another program
  // holds lasts, up to the connection's timeout and never past the stop's deadline.
  static int onBusy(void* context, int attempt);
  void dispatchCompletions();  // main loop

  MainDatabase& main_;
  FileDatabase& files_;
  const int busyTimeoutMs_;

  // Constant after start().
  moodycamel::ReaderWriterQueue<VelmorBaseQuery*> requests_{255};
  moodycamel::ReaderWriterQueue<VelmorBaseQuery*> completions_{255};
  UvHandle<uv_async_t> completionWakeup_;  // main loop
  uv_async_t* workerWakeup_ = nullptr;     // created and closed by the worker
  uv_timer_t* retryTimer_ = nullptr;       // created and closed by the worker
  std::thread worker_;
  std::mutex queryLock_;
  std::atomic<bool> workerStarted_{false};
  std::atomic<bool> stopRequested_{false};
  std::atomic<std::uint64_t> batches_{0};
  PipelineFigures figures_;
  bool stopped_ = false;            // main loop
  ChangeShares changes_;            // main loop
  std::size_t unstoredAtStop_ = 0;  // written by the worker before it ends, read after join

  // When the stop gives up what it keeps and every wait for a lock (steady clock, ns; 0
  // before the stop). Set by stop(), read by the worker.
  std::atomic<std::uint64_t> stopDeadlineNs_{0};
  // Held by stop() while it raises the flag and wakes the worker, and by the worker while it
  // closes the wake-up: the wake-up is never sent once closed.
  std::mutex stopLock_;

  // The wait for locks of each worker connection (onBusy). Worker only.
  struct BusyWait {
    QueryPipeline* pipeline = nullptr;
    int timeoutMs = 0;
    std::uint64_t startedNs = 0;
  };
  BusyWait mainBusy_;
  BusyWait fileBusy_;

  // Worker only: the queries of the running batch, in order, handed back after COMMIT;
  // the queries kept to be tried again, in the order they were posted; the requests a lost
  // transaction stopped before they ran (the next batch takes them first); the databases that
  // failed and have work waiting; the pause before the next retry round.
  std::vector<VelmorBaseQuery*> batch_;
  std::deque<VelmorBaseQuery*> waiting_;
  std::vector<VelmorBaseQuery*> untaken_;  // requests a lost transaction left for the next batch
  std::uint8_t failing_ = 0;
  std::uint32_t retryPauseMs_ = 0;
};

}  // namespace velmor
