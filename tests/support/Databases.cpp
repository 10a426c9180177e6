#include "support/Databases.h"

#include <sqlite3.h>

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

}  // namespace velmor::test
