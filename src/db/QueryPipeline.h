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
// Ownership: a posted query belongs to the pipeline. The worker destroys a query it finds
// cancelled (before or after executing it); the dispatch destroys a cancelled one, and
// destroys the others after their completion unless complete() returns true (it kept the
// query).
//
// stop() lets the worker execute and commit everything posted so far, ends it, joins the
// thread, and dispatches the last completions on the calling (main) thread.

#include <uv.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include <readerwriterqueue/readerwriterqueue.h>

#include "db/FileDatabase.h"
#include "db/MainDatabase.h"
#include "db/Queries.h"
#include "base/UvHandle.h"

namespace velmor {

class QueryPipeline final : public QueryPoster {
 public:
  // Worker loop: runs when the worker starts and when it stops (the status screen).
  struct WorkerHooks {
    std::function<void(uv_loop_t*)> onStart;
    std::function<void(uv_loop_t*)> onStop;
  };

  QueryPipeline(uv_loop_t* mainLoop, MainDatabase& main, FileDatabase& files);
  ~QueryPipeline() override;
  QueryPipeline(const QueryPipeline&) = delete;
  QueryPipeline& operator=(const QueryPipeline&) = delete;

  // Starts the worker thread and returns once its wake-up exists. Main thread.
  void start(WorkerHooks hooks = {});
  // Hands a query to the worker; an owner keeps it among his pending queries until it
  // completes. Main loop only. After stop() the query is destroyed at once.
  void post(QueryOwner* owner, VelmorBaseQuery* query) override;
  // Runs the worker's last batch, ends and joins it, dispatches what came back and closes
  // the completion wake-up. Main loop only; idempotent.
  void stop();

  bool workerStarted() const { return workerStarted_.load(std::memory_order_acquire); }
  // Held by the worker for each batch; tests hold it to gather posts into one batch.
  std::mutex& queryLock() { return queryLock_; }
  std::uint64_t batches() const { return batches_.load(std::memory_order_relaxed); }

 private:
  static void onWorkerWakeup(uv_async_t* handle);
  static void onCompletionWakeup(uv_async_t* handle);
  void workerMain(WorkerHooks hooks);
  bool runBatch();             // worker; true when it was the stop's last batch
  void dispatchCompletions();  // main loop

  MainDatabase& main_;
  FileDatabase& files_;

  // Constant after start().
  moodycamel::ReaderWriterQueue<VelmorBaseQuery*> requests_{255};
  moodycamel::ReaderWriterQueue<VelmorBaseQuery*> completions_{255};
  UvHandle<uv_async_t> completionWakeup_;  // main loop
  uv_async_t* workerWakeup_ = nullptr;     // created and closed by the worker
  std::thread worker_;
  std::mutex queryLock_;
  std::atomic<bool> workerStarted_{false};
  std::atomic<bool> stopRequested_{false};
  std::atomic<std::uint64_t> batches_{0};
  bool stopped_ = false;  // main loop

  // Worker only: the queries of the running batch, handed back after COMMIT.
  std::vector<VelmorBaseQuery*> executed_;
};

}  // namespace velmor
