#include "db/FileDatabase.h"

#include <algorithm>
#include <cstring>

#include "app/FatalExit.h"
#include "net/FixedText.h"

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

Statement prepareOrExit(sqlite3* db, const char* sql, const char* failure) {
  Statement statement(db, sql);
  if (!statement.prepared()) fatalExit(failure);
  return statement;
}

}  // namespace

FileDatabase::FileDatabase(const std::string& directory)
    : db_(openDatabase(directory + kFileName)) {
  if (!db_) fatalExit("Error opening file data database.");
  char* error = nullptr;
  if (sqlite3_exec(db_.get(), kSchema, nullptr, nullptr, &error) != SQLITE_OK && error != nullptr) {
    fatalExit(error);
  }
  sqlite3_free(error);
  list_ = prepareOrExit(db_.get(), kListFiles, "Unable to prepare files statement 1.");
  loadContent_ = prepareOrExit(db_.get(), kLoadContent, "Unable to prepare files statement 2.");
  saveDescriptor_ =
      prepareOrExit(db_.get(), kSaveDescriptor, "Unable to prepare files statement 3.");
  save_ = prepareOrExit(db_.get(), kSaveFile, "Unable to prepare files statement 4.");
  delete_ = prepareOrExit(db_.get(), kDeleteFile, "Unable to prepare files statement 5.");
}

std::unique_ptr<FileList> FileDatabase::listFiles(std::string_view roomName) {
  std::unique_ptr<FileList> files;
  auto use = list_.use();
  use.text(roomName);
  while (use.step() == SQLITE_ROW && use.columnCount() == 7) {
    // The server never writes such rows; one that lacks a name cannot be addressed and
    // one without creator or editor cannot be described, so it is left out.
    if (use.isNull(0) || use.isNull(1) || use.isNull(2)) continue;
    FileRecord* record = FileRecord::create();
    copyText(record->fileName, use.textColumn(0));
    copyText(record->creatorName, use.textColumn(1));
    copyText(record->editorName, use.textColumn(2));
    record->length = use.u32Column(3);
    record->lastEdited = use.u32Column(4);
    record->usersCanRead = use.int64Column(5) > 0 ? 1 : 0;
    record->usersCanWrite = use.int64Column(6) > 0 ? 1 : 0;
    if (!files) files = std::make_unique<FileList>();
    files->push_back(record);
  }
  return files;
}

void FileDatabase::loadContent(VelmorFileQuery& query) {
  FileRecord::release(query.loaded);
  query.loaded = nullptr;
  query.found = false;
  FileRecord* file = query.file;
  // The content is read once per record: a later read is served from what the first
  // load brought into memory, or finds nothing.
  if (file == nullptr || file->contentRequested) return;
  file->contentRequested = 1;

  auto use = loadContent_.use();
  use.text(fieldText(query.roomName)).text(fieldText(file->fileName));
  if (use.step() != SQLITE_ROW || use.columnCount() != 2) return;
  const std::uint32_t length = use.u32Column(0);
  // NULL and an empty blob read the same, so a file of length 0 is never found. A blob
  // shorter than the stored length is a damaged row: nothing beyond it is read.
  const std::string_view content = use.blobColumn(1);
  if (content.empty() || content.size() < length) return;

  FileRecord* loaded = FileRecord::createWithContent(length);
  if (loaded == nullptr) return;
  loaded->copyFixedFieldsFrom(*file);
  std::memcpy(loaded->content(), content.data(), length);
  loaded->content()[length] = '\0';
  loaded->length = length;
  query.loaded = loaded;
  query.found = true;
}

void FileDatabase::saveFile(VelmorFileQuery& query) {
  const FileRecord* file = query.file;
  if (file == nullptr) return;
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
      .int32(file->usersCanRead ? 1 : 0)
      .int32(file->usersCanWrite ? 1 : 0);
  use.step();
}

void FileDatabase::deleteFile(VelmorFileQuery& query) {
  if (query.file == nullptr) return;
  auto use = delete_.use();
  use.text(fieldText(query.roomName)).text(fieldText(query.file->fileName));
  use.step();
}

}  // namespace velmor
