#include "db/QueryPipeline.h"

#include <algorithm>
#include <cstdlib>
#include <future>

#include "base/Console.h"

namespace velmor {

QueryPipeline::QueryPipeline(uv_loop_t* mainLoop, MainDatabase& main, FileDatabase& files)
    : main_(main),
      files_(files),
      completionWakeup_([mainLoop](uv_async_t* handle) {
        return uv_async_init(mainLoop, handle, onCompletionWakeup);
      }) {
  completionWakeup_.get()->data = this;
}

QueryPipeline::~QueryPipeline() {
  stop();
  // Nothing is left after a stop; a pipeline that never started may still hold posts.
  VelmorBaseQuery* query = nullptr;
  while (requests_.try_dequeue(query)) delete query;
  while (completions_.try_dequeue(query)) delete query;
}

void QueryPipeline::start(WorkerHooks hooks) {
  std::promise<void> ready;
  std::future<void> started = ready.get_future();
  worker_ = std::thread([this, hooks = std::move(hooks), &ready]() mutable {
    uv_loop_t loop;
    uv_loop_init(&loop);
    workerWakeup_ = static_cast<uv_async_t*>(std::calloc(1, sizeof(uv_async_t)));
    uv_async_init(&loop, workerWakeup_, onWorkerWakeup);
    workerWakeup_->data = this;
    if (hooks.onStart) hooks.onStart(&loop);
    loop.data = &hooks;
    workerStarted_.store(true, std::memory_order_release);
    ready.set_value();
    // Queries posted before the wake-up existed are taken by this first batch.
    uv_async_send(workerWakeup_);
    uv_run(&loop, UV_RUN_DEFAULT);
    consoleWrite("Exiting Query Event Thread\n");
    uv_loop_close(&loop);
  });
  started.wait();
}

void QueryPipeline::post(QueryOwner* owner, VelmorBaseQuery* query) {
  query->result = 0;
  query->cancelled.store(false, std::memory_order_relaxed);
  if (stopped_) {
    delete query;
    return;
  }
  query->owner = owner;
  if (owner != nullptr) owner->track(query);
  requests_.enqueue(query);
  if (workerStarted()) uv_async_send(workerWakeup_);
}

void QueryPipeline::onWorkerWakeup(uv_async_t* handle) {
  auto* pipeline = static_cast<QueryPipeline*>(handle->data);
  if (!pipeline->runBatch()) return;
  // The stop: the batch above took everything posted before it, and the stop's wake-up was
  // sent before the batch could begin. Close the worker's handles so that its loop ends.
  auto* hooks = static_cast<WorkerHooks*>(handle->loop->data);
  if (hooks != nullptr && hooks->onStop) hooks->onStop(handle->loop);
  uv_close(reinterpret_cast<uv_handle_t*>(handle), freeHandle);
}

bool QueryPipeline::runBatch() {
  std::lock_guard<std::mutex> lock(queryLock_);
  // stop() raises the flag under this lock, after every post it follows: seen here, all of
  // them are in the queue for this batch.
  const bool stopping = stopRequested_.load(std::memory_order_acquire);
  BatchTransaction& mainBatch = main_.transaction();
  BatchTransaction& fileBatch = files_.transaction();
  const bool inTransaction = mainBatch.begin();
  const bool filesInTransaction = fileBatch.begin();
  VelmorBaseQuery* query = nullptr;
  while (requests_.try_dequeue(query)) {
    if (query->cancelled.load(std::memory_order_acquire)) {
      delete query;
      continue;
    }
    Storage storage{main_, files_};
    query->succeeded = query->execute(storage);
    if (query->cancelled.load(std::memory_order_acquire)) {
      delete query;  // the owner went away while it ran; its effect stays committed
      continue;
    }
    executed_.push_back(query);
  }
  // The file changes were acknowledged when they were posted: there is no reply to change
  // when they cannot be stored.
  if (filesInTransaction && !fileBatch.commit()) fileBatch.rollback();
  if (inTransaction && !mainBatch.commit()) {
    // Disk full, an I/O error, a lock held too long: nothing of the batch was stored, and
    // its replies must not say otherwise.
    mainBatch.rollback();
    for (VelmorBaseQuery* done : executed_) done->rolledBack();
  }
  batches_.fetch_add(1, std::memory_order_relaxed);
  if (!executed_.empty()) {
    for (VelmorBaseQuery* done : executed_) completions_.enqueue(done);
    executed_.clear();
    uv_async_send(completionWakeup_.get());
  }
  return stopping;
}

void QueryPipeline::onCompletionWakeup(uv_async_t* handle) {
  static_cast<QueryPipeline*>(handle->data)->dispatchCompletions();
}

void QueryPipeline::dispatchCompletions() {
  VelmorBaseQuery* query = nullptr;
  while (completions_.try_dequeue(query)) {
    if (query->cancelled.load(std::memory_order_acquire)) {
      delete query;
      continue;
    }
    if (QueryOwner* owner = query->owner) owner->untrack(query);
    const bool kept = query->succeeded && query->complete();
    if (!kept) delete query;
  }
}

void QueryPipeline::stop() {
  if (stopped_) return;
  stopped_ = true;
  if (worker_.joinable()) {
    {
      std::lock_guard<std::mutex> lock(queryLock_);
      stopRequested_.store(true, std::memory_order_release);
      uv_async_send(workerWakeup_);
    }
    worker_.join();
    dispatchCompletions();
  }
  completionWakeup_.close();
}

}  // namespace velmor
