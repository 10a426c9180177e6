#include "db/QueryPipeline.h"

#include <algorithm>
#include <cstdlib>
#include <iterator>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "base/Console.h"

namespace velmor {

namespace {

// The key of a room's work: its name with A..Z lowered (room names are unique in any case).
std::string roomKey(std::string_view room) {
  std::string key(room);
  for (char& c : key) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return key;
}

}  // namespace

QueryPipeline::QueryPipeline(uv_loop_t* mainLoop, MainDatabase& main, FileDatabase& files,
                             int busyTimeoutMs)
    : main_(main),
      files_(files),
      busyTimeoutMs_(busyTimeoutMs),
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
  worker_ = std::thread([this, hooks = std::move(hooks)]() mutable {
    uv_loop_t loop;
    uv_loop_init(&loop);
    workerWakeup_ = static_cast<uv_async_t*>(std::calloc(1, sizeof(uv_async_t)));
    uv_async_init(&loop, workerWakeup_, onWorkerWakeup);
    workerWakeup_->data = this;
    retryTimer_ = static_cast<uv_timer_t*>(std::calloc(1, sizeof(uv_timer_t)));
    uv_timer_init(&loop, retryTimer_);
    retryTimer_->data = this;
    // From here on the worker's own wait for locks, which the stop can cut short.
    mainBusy_.pipeline = fileBusy_.pipeline = this;
    setProbing(0);
    sqlite3_busy_handler(main_.connection(), onBusy, &mainBusy_);
    sqlite3_busy_handler(files_.connection(), onBusy, &fileBusy_);
    if (hooks.onStart) hooks.onStart(&loop);
    loop.data = &hooks;
    // The flag lives in the pipeline, which outlives the thread: the starter may return
    // the moment it sees it.
    workerStarted_.store(true, std::memory_order_release);
    workerStarted_.notify_all();
    // Queries posted before the wake-up existed are taken by this first batch.
    uv_async_send(workerWakeup_);
    uv_run(&loop, UV_RUN_DEFAULT);
    consoleWrite("Exiting Query Event Thread\n");
    uv_loop_close(&loop);
  });
  workerStarted_.wait(false, std::memory_order_acquire);
}

void QueryPipeline::post(QueryOwner* owner, VelmorBaseQuery* query) {
  query->cancelled_.store(false, std::memory_order_relaxed);
  if (stopped_) {
    delete query;
    return;
  }
  query->owner_ = owner;
  if (owner != nullptr) owner->track(query);
  changes_.charge(query->charge_);
  figures_.notePosted(query->kind());
  requests_.enqueue(query);
  if (workerStarted()) uv_async_send(workerWakeup_);
}

void QueryPipeline::onWorkerWakeup(uv_async_t* handle) {
  static_cast<QueryPipeline*>(handle->data)->workerBatch(false);
}

void QueryPipeline::onRetryTimer(uv_timer_t* timer) {
  static_cast<QueryPipeline*>(timer->data)->workerBatch(true);
}

void QueryPipeline::workerBatch(bool retryRound) {
  if (!runBatch(retryRound)) return;
  // The stop: the batch above took everything posted before it (the stop's wake-up was
  // sent before the batch could begin). What the storage refused is tried again until the
  // deadline; then the worker's handles close, so that its loop ends.
  std::uint32_t pauseMs = kFirstRetryPauseMs;
  while ((!waiting_.empty() || !untaken_.empty()) && !pastStopDeadline()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
    pauseMs = std::min(pauseMs * 2, kLastRetryPauseMs);
    runBatch(true);
  }
  giveUpWaiting();
  uv_loop_t* loop = workerWakeup_->loop;
  auto* hooks = static_cast<WorkerHooks*>(loop->data);
  if (hooks != nullptr && hooks->onStop) hooks->onStop(loop);
  uv_close(reinterpret_cast<uv_handle_t*>(retryTimer_), freeHandle);
  std::lock_guard<std::mutex> lock(stopLock_);  // stop() is done with the wake-up
  uv_close(reinterpret_cast<uv_handle_t*>(workerWakeup_), freeHandle);
}

bool QueryPipeline::pastStopDeadline() const {
  const std::uint64_t deadline = stopDeadlineNs_.load(std::memory_order_acquire);
  return deadline != 0 && PipelineFigures::steadyNowNs() >= deadline;
}

int QueryPipeline::onBusy(void* context, int attempt) {
  // Short sleeps first, as a lock held for an instant is the common case.
  static constexpr int kPausesMs[] = {1, 2, 5, 10, 15, 20, 25};
  auto& wait = *static_cast<BusyWait*>(context);
  const std::uint64_t now = PipelineFigures::steadyNowNs();
  if (attempt == 0) wait.startedNs = now;
  const std::uint64_t limitNs = static_cast<std::uint64_t>(wait.timeoutMs) * 1'000'000;
  const std::uint64_t stopNs = wait.pipeline->stopDeadlineNs_.load(std::memory_order_acquire);
  std::uint64_t giveUpNs = wait.startedNs + limitNs;
  if (stopNs != 0) giveUpNs = std::min(giveUpNs, stopNs);
  if (now >= giveUpNs) return 0;
  const int step = std::min<int>(attempt, std::size(kPausesMs) - 1);
  const std::uint64_t pauseNs = std::min<std::uint64_t>(
      static_cast<std::uint64_t>(kPausesMs[step]) * 1'000'000, giveUpNs - now);
  std::this_thread::sleep_for(std::chrono::nanoseconds(pauseNs));
  return 1;
}

void QueryPipeline::setProbing(std::uint8_t databases) {
  mainBusy_.timeoutMs = (databases & kMainDatabase) != 0 ? kProbeTimeoutMs : busyTimeoutMs_;
  fileBusy_.timeoutMs = (databases & kFileDatabase) != 0 ? kProbeTimeoutMs : busyTimeoutMs_;
}

// One batch of the worker, in the steps that make it: take the kept work and the new
// requests, deciding each one (run it now, or keep it back behind the work that must wait);
// commit each database's part; settle (hand back what was done and stored, keep what was
// not). Its state lives for one batch; worker only, under the query lock.
class QueryPipeline::Batch {
 public:
  Batch(QueryPipeline& pipeline, bool retryRound)
      : p_(pipeline),
        startedNs_(PipelineFigures::steadyNowNs()),
        // stop() raises the flag under the query lock, after every post it follows: seen
        // here, all of them are in the queue for this batch.
        stopping_(pipeline.stopRequested_.load(std::memory_order_acquire)),
        tryKept_(retryRound || stopping_),
        mainBatch_(pipeline.main_.transaction()),
        fileBatch_(pipeline.files_.transaction()),
        storage_{pipeline.main_, pipeline.files_} {}

  bool stopping() const { return stopping_; }

  // The work kept from earlier batches, in the order it was posted.
  void takeKept() {
    std::deque<VelmorBaseQuery*> kept;
    kept.swap(p_.waiting_);
    worked_ = !kept.empty();  // a batch that had something to do, for its duration
    for (VelmorBaseQuery* query : kept) {
      if (query->cancelled()) {
        delete query;
        continue;
      }
      work_.push_back({query, true});
    }
  }

  // The new requests: those a lost transaction left over first, then the queue's.
  void takeRequests() {
    firstRequest_ = work_.size();
    for (VelmorBaseQuery* query : p_.untaken_) work_.push_back({query, false});
    p_.untaken_.clear();
    VelmorBaseQuery* query = nullptr;
    while (p_.requests_.try_dequeue(query)) work_.push_back({query, false});
  }

  // One transaction per database; where the batch will write, it holds the write lock from
  // its start. A database whose write lock cannot be had now keeps back the work that would
  // write to it.
  void begin() {
    p_.setProbing(p_.failing_);
    std::uint8_t writes = 0;
    for (const Work& w : work_) writes |= w.query->writes();
    beginOn(mainBatch_, kMainDatabase, writes);
    beginOn(fileBatch_, kFileDatabase, writes);
    failedNow_ |= writeLockRefused_;
  }

  // Each query in order, run now or kept back. A transaction SQLite ended stops the batch:
  // the requests after it wait for the next batch.
  void decideAll() {
    for (std::size_t i = 0; i < work_.size(); ++i) {
      VelmorBaseQuery* query = work_[i].query;
      if (i >= firstRequest_) {
        if (lost_ != 0) {
          p_.untaken_.push_back(query);
          continue;
        }
        p_.figures_.noteTaken();
        worked_ = true;
        if (query->cancelled()) {
          delete query;
          continue;
        }
      }
      decide(query, work_[i].kept);
    }
    work_.clear();
  }

  // Disk full, an I/O error, a lock held too long: nothing of that database's part of the
  // batch was stored, and its replies must not say otherwise.
  void commit() {
    rolledBack_ = lost_;
    end(fileBatch_, kFileDatabase);
    end(mainBatch_, kMainDatabase);
  }

  // Hands back what was done and stored; keeps what the storage could not take, and what its
  // rolled-back batch leaves to do again.
  void settle() {
    std::uint8_t stored = 0;  // databases on which work was done and stored
    for (VelmorBaseQuery* done : p_.batch_) {
      if (!done->workerState_.unavailable && (done->databases() & rolledBack_) != 0) {
        if (done->storedAtAnyCost()) {
          done->workerState_.unavailable = true;
        } else {
          done->rolledBack(done->databases() & rolledBack_);
        }
      }
      if (done->workerState_.unavailable) {
        if (done->workerState_.waitingSinceNs == 0) done->workerState_.waitingSinceNs = startedNs_;
        keep(done);
        continue;
      }
      stored |= done->databases();
      if (VelmorBaseQuery* next = done->takeFollowUp()) {
        p_.figures_.notePosted(next->kind());
        next->workerState_.waitingSinceNs = startedNs_;
        keep(next);
      }
      p_.completions_.enqueue(done);
      handedBack_ = true;
    }
    p_.batch_.clear();
    std::erase(p_.waiting_, nullptr);  // the places of superseded changes
    p_.failing_ = static_cast<std::uint8_t>((p_.failing_ & ~stored) | failedNow_ | rolledBack_);
    if (p_.waiting_.empty()) p_.failing_ = 0;
    p_.publishWaiting();
    p_.batches_.fetch_add(1, std::memory_order_relaxed);
    if (worked_) p_.figures_.noteBatch(PipelineFigures::steadyNowNs() - startedNs_);
    if (handedBack_) uv_async_send(p_.completionWakeup_.get());
    if (lost_ != 0) uv_async_send(p_.workerWakeup_);  // the rest of the requests, at once
  }

 private:
  // A query either runs now or is kept back (unavailable) behind the work that must wait:
  // work on a room some of whose work waits; work for a failing database (until a retry
  // round tries it: there, everything is tried once, but for a change kept at any cost
  // whose database has failed again in the round); every kept query outside a retry round.
  void decide(VelmorBaseQuery* query, bool kept) {
    const std::string_view room = query->roomWorkedOn();
    const std::string key = room.empty() ? std::string() : roomKey(room);
    const std::uint8_t failing =
        !tryKept_ ? (p_.failing_ | failedNow_) : (query->storedAtAnyCost() ? failedNow_ : 0);
    const bool hold = (kept && !tryKept_) || (!key.empty() && heldRooms_.count(key) != 0) ||
                      (query->databases() & failing) != 0 ||
                      (query->writes() & writeLockRefused_) != 0;
    if (hold) {
      query->workerState_.unavailable = true;
    } else {
      run(*query);
    }
    if (query->cancelled()) {
      delete query;  // the owner went away; an effect it had stays committed
      return;
    }
    if (query->workerState_.unavailable && !key.empty()) heldRooms_.insert(key);
    // A login's lookup is answered at once: it reads what is committed or was written before
    // it in this batch, and nothing else of the batch decides its answer. So a login never
    // waits for the commit of other users' writes (a mass expiry's, say).
    if (!query->workerState_.unavailable && query->readsAccountsOnly() && !accountsWritten_) {
      p_.completions_.enqueue(query);
      handedBack_ = true;
      uv_async_send(p_.completionWakeup_.get());
      return;
    }
    if (query->writesAccounts()) accountsWritten_ = true;
    p_.batch_.push_back(query);
  }

  void run(VelmorBaseQuery& query) {
    query.workerState_.unavailable = false;
    query.workerState_.answered = query.run(storage_);
    if (mainBatch_.lost()) lost_ |= kMainDatabase;
    if (fileBatch_.lost()) lost_ |= kFileDatabase;
    if (query.workerState_.unavailable || query.workerState_.storageRefused)
      failedNow_ |= query.databases();
  }

  // Keeps a query to be tried again. A kept change of a file that this newer one makes
  // needless (supersedes) is handed back unstored, without its completion: only the last
  // version of a file waits, not a copy of each.
  void keep(VelmorBaseQuery* query) {
    const FileChangeKind kind = query->fileChange();
    if (kind != FileChangeKind::None) {
      std::string key = roomKey(query->roomWorkedOn());
      key.push_back('/');
      key.append(query->fileWorkedOn());
      std::vector<std::size_t>& earlier = keptChanges_[std::move(key)];
      std::erase_if(earlier, [&](std::size_t at) {
        VelmorBaseQuery*& older = p_.waiting_[at];
        if (!supersedes(kind, older->fileChange())) return false;
        older->workerState_.answered = false;
        p_.completions_.enqueue(older);
        handedBack_ = true;
        older = nullptr;
        return true;
      });
      earlier.push_back(p_.waiting_.size());
    }
    p_.waiting_.push_back(query);
  }

  void beginOn(BatchTransaction& transaction, std::uint8_t database, std::uint8_t writes) {
    const bool write = (writes & database) != 0;
    if (!transaction.begin(write) && write) writeLockRefused_ |= database;
  }

  void end(BatchTransaction& transaction, std::uint8_t database) {
    if (lost_ & database) {
      transaction.rollback();
    } else if (!transaction.commit()) {
      transaction.rollback();
      rolledBack_ |= database;
    }
  }

  QueryPipeline& p_;
  const std::uint64_t startedNs_;
  const bool stopping_;
  const bool tryKept_;
  BatchTransaction& mainBatch_;
  BatchTransaction& fileBatch_;
  Storage storage_;
  std::uint8_t failedNow_ = 0;    // databases that failed in this batch
  std::uint8_t lost_ = 0;         // databases whose transaction SQLite ended by itself
  std::uint8_t rolledBack_ = 0;   // databases whose part of the batch was not stored
  bool accountsWritten_ = false;  // a registration ran in this batch
  bool handedBack_ = false;
  bool worked_ = false;
  std::unordered_set<std::string> heldRooms_;  // rooms with work kept back in this batch
  struct Work {
    VelmorBaseQuery* query;
    bool kept;
  };
  std::vector<Work> work_;             // the kept work, then the new requests, in order
  std::size_t firstRequest_ = 0;       // where the new requests begin in work_
  std::uint8_t writeLockRefused_ = 0;  // databases whose write lock the batch could not take
  // The kept file changes by room and file, as places in waiting_ (keep).
  std::unordered_map<std::string, std::vector<std::size_t>> keptChanges_;
};

bool QueryPipeline::runBatch(bool retryRound) {
  std::lock_guard<std::mutex> lock(queryLock_);
  Batch batch(*this, retryRound);
  batch.takeKept();
  batch.takeRequests();
  batch.begin();
  batch.decideAll();
  batch.commit();
  batch.settle();
  if (!batch.stopping()) scheduleRetry(retryRound);
  return batch.stopping();
}

void QueryPipeline::publishWaiting() {
  std::uint64_t oldest = 0;
  for (const VelmorBaseQuery* query : waiting_) {
    if (oldest == 0 || query->workerState_.waitingSinceNs < oldest)
      oldest = query->workerState_.waitingSinceNs;
  }
  figures_.noteWaiting(waiting_.size(), oldest);
}

void QueryPipeline::scheduleRetry(bool grow) {
  if (waiting_.empty()) {
    retryPauseMs_ = 0;
    uv_timer_stop(retryTimer_);
    return;
  }
  if (retryPauseMs_ == 0) {
    retryPauseMs_ = kFirstRetryPauseMs;
  } else if (grow) {
    retryPauseMs_ = std::min(retryPauseMs_ * 2, kLastRetryPauseMs);
  } else if (uv_is_active(reinterpret_cast<uv_handle_t*>(retryTimer_))) {
    return;  // a round is due already
  }
  uv_timer_start(retryTimer_, onRetryTimer, retryPauseMs_, 0);
}

void QueryPipeline::giveUpWaiting() {
  waiting_.insert(waiting_.end(), untaken_.begin(), untaken_.end());
  untaken_.clear();
  if (waiting_.empty()) return;
  std::size_t unstored = 0;
  for (VelmorBaseQuery* query : waiting_) {
    if (query->storedAtAnyCost()) {
      consoleWrite("Not stored: %s\n", query->unstoredText().c_str());
      ++unstored;
    }
    query->workerState_.answered = false;  // destroyed without its completion
    completions_.enqueue(query);
  }
  waiting_.clear();
  publishWaiting();
  unstoredAtStop_ = unstored;
  uv_async_send(completionWakeup_.get());
}

void QueryPipeline::onCompletionWakeup(uv_async_t* handle) {
  static_cast<QueryPipeline*>(handle->data)->dispatchCompletions();
}

void QueryPipeline::dispatchCompletions() {
  VelmorBaseQuery* query = nullptr;
  while (completions_.try_dequeue(query)) {
    changes_.letGo(query->charge_);
    // Its work was done and committed, whether or not its poster still waits for it.
    if (query->workerState_.answered) figures_.noteCompleted(query->kind());
    if (query->cancelled()) {
      delete query;
      continue;
    }
    if (QueryOwner* owner = query->owner_) owner->untrack(query);
    const bool kept = query->workerState_.answered && query->deliver();
    if (!kept) delete query;
  }
}

void QueryPipeline::stop(std::chrono::milliseconds retryLimit) {
  if (stopped_) return;
  stopped_ = true;
  if (worker_.joinable()) {
    {
      // Not the query lock: a batch in a busy wait holds it, and the stop's limit counts
      // from now. The worker closes its wake-up under this lock, after it saw the flag.
      std::lock_guard<std::mutex> lock(stopLock_);
      const auto limit = std::chrono::duration_cast<std::chrono::nanoseconds>(retryLimit);
      stopDeadlineNs_.store(
          PipelineFigures::steadyNowNs() + static_cast<std::uint64_t>(limit.count()),
          std::memory_order_release);
      stopRequested_.store(true, std::memory_order_release);
      uv_async_send(workerWakeup_);
    }
    worker_.join();
    dispatchCompletions();
  }
  completionWakeup_.close();
}

}  // namespace velmor
