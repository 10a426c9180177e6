#include "db/FileDatabase.h"

#include <algorithm>
#include <cstring>

#include "base/FatalExit.h"
#include "base/FixedText.h"

namespace velmor {

namespace {

// UsersCanRead's type name is misspelt on purpose: existing files carry this exact text,
// and SQLite gives the unknown type integer affinity all the same.
constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS [files] ([RoomName] VARCHAR(32) NOT NULL, [FileName] VARCHAR(32) "
    "NOT NULL, [CreatorName] VARCHAR(32), [EditorName] VARCHAR(32), [Content] NONE, [Length] "
    "UNSIGNED INTEGER, [LastEdited] UNSIGNED INTEGER, [UsersCanRead] UNISGNED INTEGER, "
    "[UsersCanWrite] UNSIGNED INTEGER, PRIMARY KEY([RoomName], [FileName]));";

constexpr const char* kListFiles =
    "SELECT [FileName], [CreatorName], [EditorName], [Length], [LastEdited], [UsersCanRead], "
    "[UsersCanWrite] FROM [files] WHERE [RoomName]=?;";
constexpr const char* kLoadContent =
    "SELECT [Length], [Content] FROM [files] WHERE [RoomName]=? AND [FileName]=?;";
constexpr const char* kSaveDescriptor =
    "INSERT OR REPLACE INTO [files] ([RoomName], [FileName], [CreatorName], [EditorName], "
    "[Length], [LastEdited], [UsersCanRead], [UsersCanWrite]) VALUES (?, ?, ?, ?, ?, ?, ?, ?);";
constexpr const char* kSaveFile =
    "INSERT OR REPLACE INTO [files] ([RoomName], [FileName], [CreatorName], [EditorName], "
    "[Content], [Length], [LastEdited], [UsersCanRead], [UsersCanWrite]) VALUES (?, ?, ?, ?, ?, "
    "?, ?, ?, ?);";
constexpr const char* kDeleteFile = "DELETE FROM [files] WHERE [RoomName]=? AND [FileName]=?;";
// A permission change touches the two flags only: the stored content stays as it is.
constexpr const char* kSaveAccess =
    "UPDATE [files] SET [UsersCanRead]=?, [UsersCanWrite]=? WHERE [RoomName]=? AND [FileName]=?;";
// Room names are unique without regard to case, so the files of a room, whatever case they
// were filed under, are those of every spelling of its name.
constexpr const char* kDeleteRoomFiles = "DELETE FROM [files] WHERE [RoomName]=? COLLATE NOCASE;";
// The table's key compares room names exactly; this index lets the any-case deletion above
// find a room's rows instead of reading the whole table. Created on older files too.
constexpr const char* kRoomIndex =
    "CREATE INDEX IF NOT EXISTS [FilesByRoomAnyCase] ON [files] ([RoomName] COLLATE NOCASE);";

}  // namespace

FileDatabase::FileDatabase(const std::string& directory, int busyTimeoutMs)
    : db_(openDatabase(directory + kFileName, busyTimeoutMs)) {
  if (!db_) fatalExit("Error opening file data database.");
  char* error = nullptr;
  if (sqlite3_exec(db_.get(), kSchema, nullptr, nullptr, &error) != SQLITE_OK && error != nullptr) {
    fatalExit(error);
  }
  sqlite3_free(error);
  error = nullptr;
  if (sqlite3_exec(db_.get(), kRoomIndex, nullptr, nullptr, &error) != SQLITE_OK) {
    fatalExit(error != nullptr ? error : "Unable to index the files by room.");
  }
  sqlite3_free(error);
  list_ = prepareOrExit(db_.get(), kListFiles, "Unable to prepare files statement 1.");
  loadContent_ = prepareOrExit(db_.get(), kLoadContent, "Unable to prepare files statement 2.");
  saveDescriptor_ =
      prepareOrExit(db_.get(), kSaveDescriptor, "Unable to prepare files statement 3.");
  save_ = prepareOrExit(db_.get(), kSaveFile, "Unable to prepare files statement 4.");
  delete_ = prepareOrExit(db_.get(), kDeleteFile, "Unable to prepare files statement 5.");
  saveAccess_ = prepareOrExit(db_.get(), kSaveAccess, "Unable to prepare files statement 6.");
  deleteRoomFiles_ =
      prepareOrExit(db_.get(), kDeleteRoomFiles, "Unable to prepare files statement 7.");
  transaction_ = BatchTransaction(db_.get(), "Unable to prepare files statement 8.",
                                  "Unable to prepare files statement 9.",
                                  "Unable to prepare files statement 10.");
}

bool FileDatabase::listFiles(std::string_view roomName, std::unique_ptr<FileList>& files) {
  files.reset();
  auto use = list_.use();
  use.text(roomName);
  int step;
  while ((step = use.step()) == SQLITE_ROW && use.columnCount() == 7) {
    // The server never writes such rows; one that lacks a name cannot be addressed and
    // one without creator or editor cannot be described, so it is left out.
    if (use.isNull(0) || use.isNull(1) || use.isNull(2)) continue;
    Ref<FileRecord> record = FileRecord::create();
    copyText(record->fileName, use.textColumn(0));
    copyText(record->creatorName, use.textColumn(1));
    copyText(record->editorName, use.textColumn(2));
    record->length = use.u32Column(3);
    record->lastEdited = use.u32Column(4);
    record->usersCanRead = use.int64Column(5) > 0 ? 1 : 0;
    record->usersCanWrite = use.int64Column(6) > 0 ? 1 : 0;
    if (!files) files = std::make_unique<FileList>();
    files->push_back(std::move(record));
  }
  if (!storageFailed(step)) return true;
  files.reset();
  return false;
}

LookupOutcome FileDatabase::loadContent(VelmorFileQuery& query) {
  query.loaded.reset();
  FileRecord* file = query.file.get();
  // The content is read once per record: a later read is served from what the first
  // load brought into memory (its completion always puts it there). A load that fails
  // clears the mark again, so that the next reader tries once more.
  if (file == nullptr || file->contentRequested) return LookupOutcome::NotFound;
  file->contentRequested = 1;

  auto use = loadContent_.use();
  use.text(fieldText(query.roomName)).text(fieldText(file->fileName));
  const int step = use.step();
  if (step != SQLITE_ROW || use.columnCount() != 2) {
    file->contentRequested = 0;
    query.markUnavailable(storageFailed(step));
    return LookupOutcome::NotFound;
  }
  const std::uint32_t length = use.u32Column(0);
  // NULL and an empty blob read the same, so a file of length 0 is never found. A blob
  // shorter than the stored length is a damaged row: nothing beyond it is read.
  const std::string_view content = use.blobColumn(1);
  Ref<FileRecord> loaded = content.empty() || content.size() < length
                               ? Ref<FileRecord>()
                               : FileRecord::createWithContent(length);
  if (!loaded) {
    file->contentRequested = 0;
    return LookupOutcome::NotFound;
  }
  // Names and version never change in a listed record; its flags may (on the main loop),
  // so they come from the query's copy.
  std::memcpy(loaded->fileName, file->fileName, sizeof(loaded->fileName));
  std::memcpy(loaded->creatorName, file->creatorName, sizeof(loaded->creatorName));
  std::memcpy(loaded->editorName, file->editorName, sizeof(loaded->editorName));
  loaded->lastEdited = file->lastEdited;
  loaded->usersCanRead = query.usersCanRead;
  loaded->usersCanWrite = query.usersCanWrite;
  std::memcpy(loaded->content(), content.data(), length);
  loaded->content()[length] = '\0';
  loaded->length = length;
  query.loaded = std::move(loaded);
  return LookupOutcome::Found;
}

bool FileDatabase::saveFile(VelmorFileQuery& query) {
  const FileRecord* file = query.file.get();
  if (file == nullptr) return true;
  // A record without content in memory has nothing to store: its Content becomes NULL.
  // The blob never reaches past the content area.
  const bool hasContent = file->hasContent();
  const std::uint32_t stored = hasContent ? std::min(file->length, file->capacity) : 0;
  auto use = save_.use();
  use.text(fieldText(query.roomName))
      .text(fieldText(file->fileName))
      .text(fieldText(file->creatorName))
      .text(fieldText(file->editorName))
      .blob(hasContent ? file->content() : nullptr, stored)
      .int64(file->length)
      .time(file->lastEdited)
      .int32(query.usersCanRead ? 1 : 0)
      .int32(query.usersCanWrite ? 1 : 0);
  return use.stepDone();
}

bool FileDatabase::saveAccess(VelmorFileQuery& query) {
  if (!query.file) return true;
  auto use = saveAccess_.use();
  use.int32(query.usersCanRead ? 1 : 0)
      .int32(query.usersCanWrite ? 1 : 0)
      .text(fieldText(query.roomName))
      .text(fieldText(query.file->fileName));
  return use.stepDone();
}

bool FileDatabase::deleteRoomFiles(std::string_view roomName) {
  auto use = deleteRoomFiles_.use();
  use.text(roomName);
  return use.stepDone();
}

bool FileDatabase::deleteFile(VelmorFileQuery& query) {
  if (!query.file) return true;
  auto use = delete_.use();
  use.text(fieldText(query.roomName)).text(fieldText(query.file->fileName));
  return use.stepDone();
}

}  // namespace velmor
