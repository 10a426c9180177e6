#include "db/Sqlite.h"

#include "base/FatalExit.h"

namespace velmor {

SqliteConnection openDatabase(const std::string& path, int busyTimeoutMs) {
  sqlite3* db = nullptr;
  const int status =
      sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
  SqliteConnection connection(db);  // a failed open still returns a handle to close
  if (status != SQLITE_OK) return nullptr;
  sqlite3_busy_timeout(db, busyTimeoutMs);
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

BatchTransaction::BatchTransaction(sqlite3* db, const char* beginFailure,
                                   const char* commitFailure, const char* rollbackFailure)
    : db_(db),
      begin_(prepareOrExit(db, "BEGIN TRANSACTION;", beginFailure)),
      commit_(prepareOrExit(db, "COMMIT;", commitFailure)),
      rollback_(prepareOrExit(db, "ROLLBACK;", rollbackFailure)) {}

bool BatchTransaction::begin() {
  if (sqlite3_get_autocommit(db_) == 0) rollback();
  auto use = begin_.use();
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
