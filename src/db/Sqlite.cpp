#include "db/Sqlite.h"

#include "base/Console.h"
#include "base/FatalExit.h"

namespace velmor {

namespace {

// Runs a pragma; the text of its answer's first column, empty when it has none. `status`
// receives the step's result.
std::string pragma(sqlite3* db, const char* sql, int* status = nullptr) {
  Statement statement(db, sql);
  if (!statement.prepared()) return {};
  auto use = statement.use();
  const int step = use.step();
  if (status != nullptr) *status = step;
  return step == SQLITE_ROW ? std::string(use.textColumn(0)) : std::string();
}

// A write-ahead log, so that a reader (a backup, an operator's report) never holds the
// server's writes up nor they him. A file in the older rollback-journal mode is converted
// here, which needs it to itself for a moment: when another program holds it, the server
// says so and keeps the old mode for this run. Commits stay synced to the disk
// (synchronous FULL: a committed transaction survives a power loss). A commit that takes the
// log past 1000 pages copies it back into the database (a passive checkpoint, waiting for no
// one); once a checkpoint has copied it all and no reader needs it, the log starts again
// from its beginning and its file is cut back to kLogSizeLimit.
void useWriteAheadLog(sqlite3* db, const std::string& path) {
  constexpr const char* kLogSizeLimit = "PRAGMA journal_size_limit=67108864;";
  int status = SQLITE_OK;
  const std::string mode = pragma(db, "PRAGMA journal_mode=WAL;", &status);
  // Not a database, or a damaged one: the schema's error says so, and ends the start.
  const bool unreadable = (status & 0xFF) == SQLITE_NOTADB || (status & 0xFF) == SQLITE_CORRUPT;
  if (mode != "wal" && !unreadable) {
    const std::size_t slash = path.find_last_of('/');
    consoleWrite("%s keeps its rollback journal for this run (%s): readers hold writes up.\n",
                 path.c_str() + (slash == std::string::npos ? 0 : slash + 1),
                 status == SQLITE_ROW ? "no write-ahead log here" : sqlite3_errmsg(db));
  }
  pragma(db, "PRAGMA synchronous=FULL;");
  pragma(db, "PRAGMA wal_autocheckpoint=1000;");
  pragma(db, kLogSizeLimit);
}

}  // namespace

SqliteConnection openDatabase(const std::string& path, int busyTimeoutMs) {
  sqlite3* db = nullptr;
  const int status =
      sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
  SqliteConnection connection(db);  // a failed open still returns a handle to close
  if (status != SQLITE_OK) return nullptr;
  sqlite3_busy_timeout(db, busyTimeoutMs);
  useWriteAheadLog(db, path);
  return connection;
}

bool storageFailed(int stepResult) {
  switch (stepResult & 0xFF) {
    case SQLITE_ROW:
    case SQLITE_DONE:
    case SQLITE_CONSTRAINT:
      return false;
    default:
      return true;
  }
}

Statement::Statement(sqlite3* db, const char* sql) {
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(db, sql, -1, &statement, nullptr) == SQLITE_OK)
    statement_.reset(statement);
}

Statement::Use& Statement::Use::text(std::string_view value) {
  bound_ &= sqlite3_bind_text(statement_, nextIndex_++, value.data(),
                              static_cast<int>(value.size()), SQLITE_STATIC) == SQLITE_OK;
  return *this;
}

Statement::Use& Statement::Use::blob(const void* bytes, std::size_t length) {
  bound_ &= sqlite3_bind_blob(statement_, nextIndex_++, bytes, static_cast<int>(length),
                              SQLITE_STATIC) == SQLITE_OK;
  return *this;
}

Statement::Use& Statement::Use::int64(std::int64_t value) {
  bound_ &= sqlite3_bind_int64(statement_, nextIndex_++, value) == SQLITE_OK;
  return *this;
}

Statement::Use& Statement::Use::int32(int value) {
  bound_ &= sqlite3_bind_int(statement_, nextIndex_++, value) == SQLITE_OK;
  return *this;
}

int Statement::Use::step() {
  if (!bound_) return SQLITE_MISUSE;
  return sqlite3_step(statement_);
}

std::string_view Statement::Use::textColumn(int column) const {
  const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement_, column));
  if (text == nullptr) return {};
  return std::string_view(text, static_cast<std::size_t>(sqlite3_column_bytes(statement_, column)));
}

std::string_view Statement::Use::blobColumn(int column) const {
  const auto* bytes = static_cast<const char*>(sqlite3_column_blob(statement_, column));
  if (bytes == nullptr) return {};
  return std::string_view(bytes,
                          static_cast<std::size_t>(sqlite3_column_bytes(statement_, column)));
}

Statement prepareOrExit(sqlite3* db, const char* sql, const char* failure) {
  Statement statement(db, sql);
  if (!statement.prepared()) fatalExit(failure);
  return statement;
}

BatchTransaction::BatchTransaction(sqlite3* db, const char* beginFailure, const char* commitFailure,
                                   const char* rollbackFailure)
    : db_(db),
      begin_(prepareOrExit(db, "BEGIN TRANSACTION;", beginFailure)),
      beginWrite_(prepareOrExit(db, "BEGIN IMMEDIATE TRANSACTION;", beginFailure)),
      commit_(prepareOrExit(db, "COMMIT;", commitFailure)),
      rollback_(prepareOrExit(db, "ROLLBACK;", rollbackFailure)) {}

bool BatchTransaction::begin(bool write) {
  if (sqlite3_get_autocommit(db_) == 0) rollback();
  auto use = (write ? beginWrite_ : begin_).use();
  open_ = use.stepDone();
  return open_;
}

bool BatchTransaction::commit() {
  const bool committed = [this] {
    auto use = commit_.use();
    return use.stepDone();
  }();
  if (committed) open_ = false;
  return committed;
}

void BatchTransaction::rollback() {
  open_ = false;
  if (sqlite3_get_autocommit(db_) != 0) return;  // SQLite has rolled back already
  auto use = rollback_.use();
  use.step();
}

}  // namespace velmor
