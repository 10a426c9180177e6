#include "model/FileRecord.h"

#include <cstdlib>
#include <new>

namespace velmor {

Ref<FileRecord> FileRecord::create() {
  void* memory = std::malloc(sizeof(FileRecord));
  if (memory == nullptr) throw std::bad_alloc();
  return Ref<FileRecord>::adopt(new (memory) FileRecord);
}

Ref<FileRecord> FileRecord::createWithContent(std::uint32_t capacity) {
  void* memory = std::calloc(1, sizeof(FileRecord) + std::size_t{capacity} + 1);
  if (memory == nullptr) return nullptr;
  auto* record = new (memory) FileRecord;
  record->capacity = capacity;
  return Ref<FileRecord>::adopt(record);
}

void FileRecord::copyFixedFieldsFrom(const FileRecord& other) {
  std::memcpy(fileName, other.fileName, sizeof(fileName));
  std::memcpy(creatorName, other.creatorName, sizeof(creatorName));
  std::memcpy(editorName, other.editorName, sizeof(editorName));
  lastEdited = other.lastEdited;
  usersCanRead = other.usersCanRead;
  usersCanWrite = other.usersCanWrite;
}

void FileRecord::release(FileRecord* record) {
  if (record == nullptr) return;
  if (record->refCount.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
  record->~FileRecord();
  std::free(record);
}

}  // namespace velmor
