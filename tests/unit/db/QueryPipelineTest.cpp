// The query pipeline with its worker thread, on real database files.
#include "db/QueryPipeline.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "db/FileDatabase.h"
#include "db/LoginChallenge.h"
#include "db/MainDatabase.h"
#include "support/Eventually.h"
#include "support/LoopPump.h"
#include "support/QueryProbe.h"
#include "support/TempDir.h"

namespace velmor {
namespace {

using namespace std::chrono_literals;

std::atomic<int> destroyed{0};

// The outcome a completion received: none for a query whose completion did not run.
using Delivered = std::variant<std::monostate, StoreOutcome, CreateOutcome>;

struct Completion {
  Delivered outcome;
  bool answered;
};
// The queries that came back to the main loop (not cancelled), in order; null when no
// fixture records them.
std::vector<Completion>* completions = nullptr;

// Counts its destruction, on whichever thread it happens, and notes a query that came back
// with the outcome its completion received.
template <typename Query>
class Counted : public Query {
 public:
  using Query::Query;
  ~Counted() override {
    destroyed.fetch_add(1);
    if (completions != nullptr && !this->cancelled()) {
      completions->push_back({delivered, QueryProbe::answered(*this)});
    }
  }

 protected:
  Delivered delivered;
};

// A registration, run as the server runs it.
class CountedRegistration : public Counted<AccountRegistration> {
 public:
  explicit CountedRegistration(const std::string& user) { copyText(name, user); }
  StoreOutcome execute(Storage& storage) override { return storage.main.registerUser(*this); }
  bool complete(StoreOutcome outcome) override {
    delivered = outcome;
    return false;
  }
};

// A query that does no work.
class CountedQuery : public Counted<VelmorBaseQuery> {};

class CountedCreation : public Counted<RoomCreation> {
 public:
  CreateOutcome execute(Storage& storage) override { return storage.main.createRoom(*this); }
  bool complete(CreateOutcome outcome) override {
    delivered = outcome;
    return false;
  }
};

class CountedFileSave : public Counted<FileChange> {
 public:
  StoreOutcome execute(Storage& storage) override {
    return storeOutcome(storage.files.saveFile(*this));
  }
};

class QueryPipelineTest : public testing::Test {
 protected:
  void SetUp() override {
    destroyed = 0;
    uv_loop_init(&loop);
    files = std::make_unique<FileDatabase>(dir.path());
    main = std::make_unique<MainDatabase>(dir.path(), MainDatabase::Limits{64, 32, 604800}, *files,
                                          sweep, clock);
    completions = &completed;
    pipeline = std::make_unique<QueryPipeline>(&loop, *main, *files);
    pipeline->start();
  }

  void TearDown() override {
    pipeline.reset();
    completions = nullptr;
    uv_run(&loop, UV_RUN_DEFAULT);
    EXPECT_EQ(uv_loop_close(&loop), 0);
  }

  bool waitCompleted(std::size_t n) {
    return test::pumpUntil(
        &loop, [&] { return completed.size() >= n; }, 5s);
  }

  bool userStored(const std::string& name) {
    auto query = std::make_unique<VelmorUserQuery>();
    copyText(query->name, name);
    std::lock_guard<std::mutex> lock(pipeline->queryLock());  // the worker is idle meanwhile
    return main->lookupUser(*query) == LookupOutcome::Found;
  }

  test::TempDir dir;
  SystemClock systemClock;
  ServerClock clock{systemClock};
  uv_loop_t loop{};
  std::atomic<bool> sweep{false};
  std::unique_ptr<FileDatabase> files;
  std::unique_ptr<MainDatabase> main;
  std::unique_ptr<QueryPipeline> pipeline;
  std::vector<Completion> completed;
};

int countCommit(void* count) {
  static_cast<std::atomic<int>*>(count)->fetch_add(1);
  return 0;  // let it commit
}

TEST_F(QueryPipelineTest, QueriesPostedBeforeOneWakeupRunInOneTransaction) {
  std::atomic<int> commits{0};
  sqlite3_commit_hook(main->connection(), countCommit, &commits);
  {
    // While the lock is held the worker cannot start a batch: all ten wait for the same one.
    std::lock_guard<std::mutex> lock(pipeline->queryLock());
    for (int i = 0; i < 10; ++i)
      pipeline->post(nullptr, new CountedRegistration("user" + std::to_string(i)));
  }
  ASSERT_TRUE(waitCompleted(10));
  EXPECT_EQ(commits.load(), 1);
  for (const Completion& c : completed) {
    EXPECT_TRUE(c.answered);
    EXPECT_EQ(c.outcome, Delivered(StoreOutcome::Stored));
  }
  EXPECT_EQ(destroyed.load(), 10);
  sqlite3_commit_hook(main->connection(), nullptr, nullptr);
}

// A burst of file writes (a client sending many small ones) costs the worker one commit of
// the file database, not one per write.
TEST_F(QueryPipelineTest, FileWritesOfOneBatchShareOneCommit) {
  std::atomic<int> commits{0};
  sqlite3_commit_hook(files->connection(), countCommit, &commits);
  {
    std::lock_guard<std::mutex> lock(pipeline->queryLock());
    for (int i = 0; i < 10; ++i) {
      Ref<FileRecord> record = FileRecord::createWithContent(1);
      copyText(record->fileName, "file" + std::to_string(i));
      record->length = 1;
      auto* save = new CountedFileSave;
      save->carry(record);
      copyText(save->roomName, "Room");
      pipeline->post(nullptr, save);
    }
  }
  ASSERT_TRUE(waitCompleted(10));
  sqlite3_commit_hook(files->connection(), nullptr, nullptr);
  EXPECT_EQ(commits.load(), 1);
}

TEST_F(QueryPipelineTest, QueryCancelledWhileQueuedIsNeverExecuted) {
  {
    std::lock_guard<std::mutex> lock(pipeline->queryLock());
    auto* ghost = new CountedRegistration("ghost");
    pipeline->post(nullptr, ghost);
    QueryProbe::cancel(*ghost);  // its owner went away before the worker took it
    pipeline->post(nullptr, new CountedRegistration("marker"));
  }
  ASSERT_TRUE(waitCompleted(1));
  test::pumpFor(&loop, 50ms);
  ASSERT_EQ(completed.size(), 1u);
  EXPECT_EQ(destroyed.load(), 2);
  EXPECT_FALSE(userStored("ghost"));
  EXPECT_TRUE(userStored("marker"));
}

// Set by the test, taken by the first insert the worker makes.
std::atomic<VelmorBaseQuery*> cancelOnInsert{nullptr};

void cancelWhileExecuting(void*, int operation, const char*, const char* table, sqlite3_int64) {
  if (operation != SQLITE_INSERT || std::string(table) != "users") return;
  if (VelmorBaseQuery* query = cancelOnInsert.exchange(nullptr)) QueryProbe::cancel(*query);
}

TEST_F(QueryPipelineTest, QueryCancelledWhileExecutingIsDestroyedAndItsEffectStays) {
  auto* query = new CountedRegistration("leaver");
  cancelOnInsert = query;
  sqlite3_update_hook(main->connection(), cancelWhileExecuting, nullptr);
  pipeline->post(nullptr, query);
  pipeline->post(nullptr, new CountedRegistration("marker"));
  ASSERT_TRUE(waitCompleted(1));
  test::pumpFor(&loop, 50ms);
  sqlite3_update_hook(main->connection(), nullptr, nullptr);
  EXPECT_EQ(completed.size(), 1u);
  EXPECT_EQ(destroyed.load(), 2);
  EXPECT_TRUE(userStored("leaver")) << "the registration was committed all the same";
}

TEST_F(QueryPipelineTest, QueryThatDoesNoWorkComesBackUnanswered) {
  for (int i = 0; i < 3; ++i) pipeline->post(nullptr, new CountedQuery);
  ASSERT_TRUE(waitCompleted(3));
  for (const Completion& c : completed) EXPECT_FALSE(c.answered);
  EXPECT_EQ(destroyed.load(), 3);
}

TEST_F(QueryPipelineTest, StopExecutesWhatIsQueuedThenEndsTheWorker) {
  testing::internal::CaptureStdout();
  for (int i = 0; i < 5; ++i)
    pipeline->post(nullptr, new CountedRegistration("late" + std::to_string(i)));
  pipeline->stop();
  const std::string printed = testing::internal::GetCapturedStdout();
  EXPECT_NE(printed.find("Exiting Query Event Thread\n"), std::string::npos) << printed;
  EXPECT_EQ(completed.size(), 5u) << "their completions are dispatched by the stop";
  EXPECT_EQ(destroyed.load(), 5);
  EXPECT_TRUE(userStored("late4"));
  pipeline->post(nullptr, new CountedRegistration("after"));  // destroyed at once, never run
  EXPECT_EQ(destroyed.load(), 6);
  EXPECT_FALSE(userStored("after"));
}

// The stop races the posts of the same turn of the main loop: a query posted just before
// the stop, while the worker is finishing its previous batch, is still executed.
TEST_F(QueryPipelineTest, QueryPostedJustBeforeTheStopIsExecuted) {
  pipeline->stop();
  int lost = 0;
  for (int i = 0; i < 1000; ++i) {
    QueryPipeline racing(&loop, *main, *files);
    racing.start();
    const std::uint64_t started = racing.batches();
    racing.post(nullptr, new CountedRegistration("early" + std::to_string(i)));
    while (racing.batches() == started) std::this_thread::yield();
    racing.post(nullptr, new CountedRegistration("last" + std::to_string(i)));
    racing.stop();
    if (!userStored("last" + std::to_string(i))) ++lost;
  }
  EXPECT_EQ(lost, 0);
}

int failCommit(void*) {
  return 1;  // the COMMIT becomes a ROLLBACK and fails
}

// A batch whose COMMIT fails rolled its changes back: its completions say so, and the
// next batch starts from a clean connection.
TEST_F(QueryPipelineTest, FailedCommitHandsItsQueriesBackAsFailed) {
  sqlite3_commit_hook(main->connection(), failCommit, nullptr);
  {
    std::lock_guard<std::mutex> lock(pipeline->queryLock());
    pipeline->post(nullptr, new CountedRegistration("lost"));
    auto* create = new CountedCreation;
    create->record = makeRoomRecord("Lost Room", "lost", "", "lead", 0, false, false);
    pipeline->post(nullptr, create);
  }
  ASSERT_TRUE(waitCompleted(2));
  sqlite3_commit_hook(main->connection(), nullptr, nullptr);
  EXPECT_EQ(completed[0].outcome, Delivered(StoreOutcome::Refused))
      << "RegistrationFailed, not Registered";
  EXPECT_EQ(completed[1].outcome, Delivered(CreateOutcome::Failed));
  EXPECT_NE(sqlite3_get_autocommit(main->connection()), 0) << "a transaction was left open";
  EXPECT_FALSE(userStored("lost"));

  pipeline->post(nullptr, new CountedRegistration("after"));
  ASSERT_TRUE(waitCompleted(3));
  EXPECT_EQ(completed[2].outcome, Delivered(StoreOutcome::Stored));
  EXPECT_TRUE(userStored("after"));
}

// Ends the batch's transaction as SQLite does by itself on a full disk or an I/O error.
class TransactionBreaker : public Counted<VelmorBaseQuery> {
 public:
  bool run(Storage& storage) override {
    sqlite3_exec(storage.main.connection(), "ROLLBACK;", nullptr, nullptr, nullptr);
    return false;
  }
  std::uint8_t databases() const override { return kMainDatabase; }
};

// SQLite ends a batch's transaction by itself: what ran in it is answered as failed (it is
// gone), and what was still queued runs in a transaction of its own, not in autocommit
// behind a COMMIT that fails.
TEST_F(QueryPipelineTest, TransactionEndedBySqliteMidBatchFailsOnlyWhatRanInIt) {
  {
    std::lock_guard<std::mutex> lock(pipeline->queryLock());
    pipeline->post(nullptr, new CountedRegistration("before"));
    pipeline->post(nullptr, new TransactionBreaker);
    pipeline->post(nullptr, new CountedRegistration("after"));
  }
  ASSERT_TRUE(waitCompleted(3));
  EXPECT_EQ(completed[0].outcome, Delivered(StoreOutcome::Refused))
      << "'before' was rolled back: RegistrationFailed";
  EXPECT_FALSE(userStored("before"));
  EXPECT_EQ(completed[2].outcome, Delivered(StoreOutcome::Stored))
      << "'after' ran in the next batch: Registered";
  EXPECT_TRUE(userStored("after"));
}

// The figures of the metrics endpoint: the posts and completions counted by kind, the
// request queue's length while no batch can take it, and the batch that took it timed.
TEST_F(QueryPipelineTest, FiguresCountPostsCompletionsByKindAndTheQueue) {
  const PipelineFigures& figures = pipeline->figures();
  {
    std::lock_guard<std::mutex> lock(pipeline->queryLock());  // the worker takes nothing
    for (int i = 0; i < 3; ++i)
      pipeline->post(nullptr, new CountedRegistration("figure" + std::to_string(i)));
    auto* create = new CountedCreation;
    create->record = makeRoomRecord("Figures", "figures", "", "lead", 0, false, false);
    pipeline->post(nullptr, create);
    EXPECT_EQ(figures.queueDepth(), 4u);
    EXPECT_EQ(figures.posted(QueryKind::AccountRegistration), 3u);
    EXPECT_EQ(figures.posted(QueryKind::RoomCreation), 1u);
    EXPECT_EQ(figures.completed(QueryKind::AccountRegistration), 0u);
  }
  ASSERT_TRUE(waitCompleted(4));
  EXPECT_EQ(figures.queueDepth(), 0u);
  EXPECT_EQ(figures.completed(QueryKind::AccountRegistration), 3u);
  EXPECT_EQ(figures.completed(QueryKind::RoomCreation), 1u);
  EXPECT_EQ(figures.posted(QueryKind::FileChange), 0u);
  EXPECT_EQ(figures.completed(QueryKind::Other), 0u);
  EXPECT_GE(figures.batchDurations().snapshot().count(), 1u);
  EXPECT_EQ(figures.waiting(), 0u);
  EXPECT_EQ(figures.oldestWaitingSeconds(), 0.0);
}

// A change the storage refuses waits with the worker: the figures say how many wait and
// how long the oldest has, until it is stored.
TEST_F(QueryPipelineTest, FiguresShowTheWorkWaitingForTheStorageAndItsAge) {
  const PipelineFigures& figures = pipeline->figures();
  {
    std::lock_guard<std::mutex> lock(pipeline->queryLock());
    sqlite3_commit_hook(files->connection(), failCommit, nullptr);
  }
  Ref<FileRecord> record = FileRecord::createWithContent(1);
  copyText(record->fileName, "kept");
  record->length = 1;
  auto* save = new CountedFileSave;
  save->carry(record);
  copyText(save->roomName, "Room");
  pipeline->post(nullptr, save);
  ASSERT_TRUE(test::eventually([&] { return figures.waiting() == 1; }));
  ASSERT_TRUE(test::eventually([&] { return figures.oldestWaitingSeconds() >= 0.2; }));
  EXPECT_LT(figures.oldestWaitingSeconds(), 5.0);
  EXPECT_EQ(figures.completed(QueryKind::FileChange), 0u);
  {
    std::lock_guard<std::mutex> lock(pipeline->queryLock());
    sqlite3_commit_hook(files->connection(), nullptr, nullptr);
  }
  ASSERT_TRUE(waitCompleted(1));
  EXPECT_EQ(figures.waiting(), 0u);
  EXPECT_EQ(figures.oldestWaitingSeconds(), 0.0);
  EXPECT_EQ(figures.completed(QueryKind::FileChange), 1u);
}

TEST(LoginChallenge, FifteenCharactersOfTheNinetyThreeAndUnpredictable) {
  std::vector<int> seen(128, 0);
  char first[16];
  makeLoginChallenge(first);
  for (int i = 0; i < 2000; ++i) {
    char challenge[16];
    makeLoginChallenge(challenge);
    ASSERT_EQ(std::string(challenge).size(), 15u);
    for (int j = 0; j < 15; ++j) {
      const int c = static_cast<unsigned char>(challenge[j]);
      ASSERT_GE(c, 33);
      ASSERT_LE(c, 125);
      ++seen[c];
    }
  }
  // 30000 draws over 93 characters: every one turns up.
  for (int c = 33; c <= 125; ++c) EXPECT_GT(seen[c], 0) << c;
  char second[16];
  makeLoginChallenge(second);
  EXPECT_NE(std::string(first), std::string(second));
}

}  // namespace
}  // namespace velmor
