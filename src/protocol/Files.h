#pragma once

#include <cstdint>

#include "db/Queries.h"

namespace velmor {

class Room;
class RoomRegistry;
class User;
struct FileRecord;

// The file queries. Their changes were answered when they were posted (FileCreated,
// FileSaved, FileDeleted), so they run to completion whatever becomes of the poster, and
// are stored at any cost: the storage's refusal keeps them in flight until it takes them.

// Stores a whole file: descriptor and content (SaveFile).
class SaveFileQuery final : public FileChange {
 public:
  StoreOutcome execute(Storage& storage) override;
  FileChangeKind fileChange() const override { return FileChangeKind::Content; }
  std::string unstoredText() const override;
};

// Stores a file's two permission flags (SaveFileAccess).
class SaveFileAccessQuery final : public FileChange {
 public:
  StoreOutcome execute(Storage& storage) override;
  FileChangeKind fileChange() const override { return FileChangeKind::Access; }
  std::string unstoredText() const override;
};

// Deletes a stored file (DeleteFileRecord).
class DeleteFileQuery final : public FileChange {
 public:
  StoreOutcome execute(Storage& storage) override;
  FileChangeKind fileChange() const override { return FileChangeKind::Deletion; }
  std::string unstoredText() const override;
};

// Loads the content of a listed file for a reader (LoadFileContent). The loaded content
// becomes the listed record's whoever asked for it (the load runs once per record, so
// throwing it away would leave the file unreadable for everyone); the reader, if he is
// still in the room, gets his reply. The room is found by name when the load completes,
// never held: it may have slept and woken meanwhile (its files go with it), or be gone.
class LoadFileContentQuery final : public FileContentLoad {
 public:
  explicit LoadFileContentQuery(RoomRegistry& rooms) : rooms_(rooms) {}
  LookupOutcome execute(Storage& storage) override;
  bool complete(LookupOutcome outcome) override;

 private:
  RoomRegistry& rooms_;
};

// Answers a read: FileUnchanged for the version the reader holds, or FileContent with the
// first chunk (the record then becomes the reader's download when more chunks follow).
void sendFileToReader(User& user, FileRecord& file, std::uint32_t versionHeld);

}  // namespace velmor
