#pragma once

#include <sqlite3.h>

#include <string>
#include <vector>

namespace velmor::test {

// What SQLite's integrity check says of a database file ("ok" when sound).
std::string integrityCheck(const std::string& path);

// A connection of the test's own to one of the server's database files, to look at the
// rows or to hold a lock that makes the server's worker wait. No busy timeout: a statement
// that meets the server's lock fails at once. One thread.
class SqlFile {
 public:
  explicit SqlFile(const std::string& path);
  ~SqlFile();
  SqlFile(const SqlFile&) = delete;
  SqlFile& operator=(const SqlFile&) = delete;

  bool exec(const std::string& sql);
  // Every row of a query, each column as text (NULL as "NULL").
  std::vector<std::vector<std::string>> rows(const std::string& sql);
  // The first column of the first row, or "" when there is none.
  std::string value(const std::string& sql);

 private:
  sqlite3* db_ = nullptr;
};

}  // namespace velmor::test
