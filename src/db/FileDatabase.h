#pragma once

#include <string>

#include "db/Queries.h"
#include "db/Sqlite.h"

namespace velmor {

// The room-file database "velmorfiledata.db": the descriptors and contents of the files
// kept in rooms. Opened on the main thread at start-up (failures end the process through
// fatalExit); afterwards used only by the query worker. The worker wraps each batch's file
// statements in a transaction of this connection's own (beside the main database's), so
// that a burst of small writes costs one commit, not one per statement.
class FileDatabase {
 public:
  static constexpr const char* kFileName = "velmorfiledata.db";

  // Opens (creating if needed) `directory` + kFileName, creates the table and prepares
  // the five statements.
  explicit FileDatabase(const std::string& directory, int busyTimeoutMs = kDefaultBusyTimeoutMs);

  // The files of a room (its stored name), each record without content and holding the
  // list's reference; `files` stays null when the room has none. Rows with a NULL name,
  // creator or editor are skipped; longer texts are cut to their fields. False when the
  // storage failed (locked, an I/O error): the list is then not to be trusted.
  bool listFiles(std::string_view roomName, std::unique_ptr<FileList>& files);
  // The content of query.file: Found with query.loaded set (cleared otherwise); runs once
  // per record (contentRequested). A read the storage failed marks the query unavailable
  // (and may run again).
  LookupOutcome loadContent(VelmorFileQuery& query);
  // The writes; each returns whether it was stored.
  // Inserts or replaces the row of query.file with its content.
  bool saveFile(VelmorFileQuery& query);
  // Deletes the row of query.file.
  bool deleteFile(VelmorFileQuery& query);
  // The stored row takes the query's two permission flags.
  bool saveAccess(VelmorFileQuery& query);
  // Deletes every file of a room (a deleted room, or leftovers under a new room's name).
  bool deleteRoomFiles(std::string_view roomName);

  // The worker's batch transaction on this connection.
  BatchTransaction& transaction() { return transaction_; }

  sqlite3* connection() const { return db_.get(); }

 private:
  SqliteConnection db_;
  Statement list_;                // files statement 1
  Statement loadContent_;         // 2
  Statement saveDescriptor_;      // 3: prepared, unused
  Statement save_;                // 4
  Statement delete_;              // 5
  Statement saveAccess_;          // 6
  Statement deleteRoomFiles_;     // 7
  BatchTransaction transaction_;  // 8, 9, 10
};

}  // namespace velmor
