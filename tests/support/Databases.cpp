#include "support/Databases.h"

namespace velmor::test {

std::string integrityCheck(const std::string& path) {
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
    sqlite3_close(db);
    return "cannot open";
  }
  std::string answer;
  sqlite3_exec(
      db, "PRAGMA integrity_check;",
      [](void* out, int, char** values, char**) {
        *static_cast<std::string*>(out) += values[0] != nullptr ? values[0] : "";
        return 0;
      },
      &answer, nullptr);
  sqlite3_close(db);
  return answer;
}

SqlFile::SqlFile(const std::string& path) {
  if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
    sqlite3_close(db_);
    db_ = nullptr;
  }
}

SqlFile::~SqlFile() {
  sqlite3_close(db_);
}

bool SqlFile::exec(const std::string& sql) {
  return db_ != nullptr && sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
}

std::vector<std::vector<std::string>> SqlFile::rows(const std::string& sql) {
  std::vector<std::vector<std::string>> result;
  if (db_ == nullptr) return result;
  sqlite3_exec(
      db_, sql.c_str(),
      [](void* out, int columns, char** values, char**) {
        auto& table = *static_cast<std::vector<std::vector<std::string>>*>(out);
        std::vector<std::string>& row = table.emplace_back();
        for (int i = 0; i < columns; ++i)
          row.emplace_back(values[i] != nullptr ? values[i] : "NULL");
        return 0;
      },
      &result, nullptr);
  return result;
}

std::string SqlFile::value(const std::string& sql) {
  const auto table = rows(sql);
  return table.empty() || table[0].empty() ? std::string() : table[0][0];
}

}  // namespace velmor::test
