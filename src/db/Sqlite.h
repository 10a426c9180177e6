#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace velmor {

struct SqliteCloser {
  void operator()(sqlite3* db) const { sqlite3_close(db); }
};
// An open database connection, closed when the owner goes.
using SqliteConnection = std::unique_ptr<sqlite3, SqliteCloser>;

struct StatementFinalizer {
  void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};

// How long a statement waits for a lock that another connection holds (an operator's shell,
// a backup) before it fails and its work is tried again later.
inline constexpr int kDefaultBusyTimeoutMs = 5000;

// Opens a file read-write (created if missing) with a busy timeout, so that a batch waits
// for a lock held by another connection instead of failing. Null on failure.
SqliteConnection openDatabase(const std::string& path, int busyTimeoutMs);

// Whether a step's result is the storage's failure (locked past the busy timeout, full, an
// I/O error, out of memory...) rather than an answer (a row, done, a constraint).
bool storageFailed(int stepResult);

// A statement prepared once and reused. Each use binds, steps and ends with a reset, made
// by the Use guard so that no path forgets it. Binding keeps track of failures: stepping
// is only worth doing when every bind succeeded. Texts and blobs are bound without a copy
// and must stay valid until the use ends. Thread: whoever owns the connection at the time.
class Statement {
 public:
  Statement() = default;
  Statement(sqlite3* db, const char* sql);  // check prepared() afterwards

  bool prepared() const { return statement_ != nullptr; }
  sqlite3_stmt* get() const { return statement_.get(); }

  class Use {
   public:
    explicit Use(sqlite3_stmt* statement) : statement_(statement) {}
    ~Use() { sqlite3_reset(statement_); }
    Use(const Use&) = delete;
    Use& operator=(const Use&) = delete;

    Use& text(std::string_view value);
    Use& blob(const void* bytes, std::size_t length);
    Use& int64(std::int64_t value);
    Use& int32(int value);
    // A time of the server's clocks: the low 32 bits, sign-extended.
    Use& time(std::uint32_t seconds) { return int64(static_cast<std::int32_t>(seconds)); }
    bool bound() const { return bound_; }

    // SQLITE_ROW, SQLITE_DONE or an error; SQLITE_MISUSE without a step when a bind failed.
    int step();
    bool stepDone() { return step() == SQLITE_DONE; }

    int columnCount() const { return sqlite3_column_count(statement_); }
    bool isNull(int column) const { return sqlite3_column_type(statement_, column) == SQLITE_NULL; }
    std::int64_t int64Column(int column) const { return sqlite3_column_int64(statement_, column); }
    std::uint32_t u32Column(int column) const {
      return static_cast<std::uint32_t>(sqlite3_column_int(statement_, column));
    }
    // The text of a column; empty for NULL.
    std::string_view textColumn(int column) const;
    // The bytes of a blob column; empty for NULL (and for an empty blob).
    std::string_view blobColumn(int column) const;

   private:
    sqlite3_stmt* statement_;
    int nextIndex_ = 1;
    bool bound_ = true;
  };

  Use use() const { return Use(statement_.get()); }

 private:
  std::unique_ptr<sqlite3_stmt, StatementFinalizer> statement_;
};

// A statement prepared once at start-up; when it cannot be prepared, the process ends
// through fatalExit with `failure`.
Statement prepareOrExit(sqlite3* db, const char* sql, const char* failure);

// The batch transaction of one connection: BEGIN, COMMIT and ROLLBACK, prepared once.
// begin(true), for a batch that will write, takes the write lock at once (BEGIN IMMEDIATE),
// waiting for it as long as the busy timeout says: a write that follows a read in a deferred
// transaction could not wait for a lock another program holds, and would fail at once.
// begin() is false when no transaction could be opened (the batch then runs in autocommit,
// each statement standing on its own; a transaction left open by a failed end is given up
// first); commit() is false when the batch's changes did not reach the file, and rollback()
// then makes sure nothing of them stays behind for a later COMMIT. Thread: the connection's.
class BatchTransaction {
 public:
  BatchTransaction() = default;
  // The three failure texts are those of fatalExit when a statement cannot be prepared.
  BatchTransaction(sqlite3* db, const char* beginFailure, const char* commitFailure,
                   const char* rollbackFailure);

  bool begin(bool write);
  bool commit();
  void rollback();
  // The transaction begun by this batch is gone without a COMMIT: SQLite rolled it back by
  // itself (on a full disk, an I/O error, out of memory), with every change made in it.
  bool lost() const { return open_ && sqlite3_get_autocommit(db_) != 0; }

 private:
  sqlite3* db_ = nullptr;
  bool open_ = false;  // begun and not yet ended
  Statement begin_;
  Statement beginWrite_;
  Statement commit_;
  Statement rollback_;
};

}  // namespace velmor
