#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>

#include "model/Ref.h"

namespace velmor {

// One file of a room, mirroring one row of the files table. Shared by the room's file
// list, the queries that carry it and a user's transfer, each through a Ref; the last
// reference frees the record. The reference count is atomic because
// a cancelled query may be destroyed on the query worker.
//
// A record that holds its content is allocated with room for `capacity` content bytes and
// a terminator right after the fixed fields; one without content has capacity kNoContent.
// contentRequested marks a record whose content a load brought: the worker sets it (and
// clears it when the load fails), the main loop clears it when the load's completion could
// not install the content, so that the next read loads again.
struct FileRecord {
  static constexpr std::uint32_t kNoContent = 0xFFFFFFFF;

  char fileName[32] = {};
  char creatorName[32] = {};
  char editorName[32] = {};
  std::uint32_t length = 0;  // content bytes (received so far, during an upload)
  std::uint32_t capacity = kNoContent;
  std::uint32_t lastEdited = 0;  // seconds since 1970; the file's version
  std::atomic<std::uint32_t> refCount{1};
  std::uint8_t usersCanRead = 0;
  std::uint8_t usersCanWrite = 0;
  std::atomic<std::uint8_t> contentRequested{0};

  bool hasContent() const { return capacity != kNoContent; }
  char* content() { return reinterpret_cast<char*>(this + 1); }
  const char* content() const { return reinterpret_cast<const char*>(this + 1); }

  // A record without content.
  static Ref<FileRecord> create();
  // A record with a zero-filled content area of `capacity` bytes and a terminator
  // (length 0); null if memory ran out.
  static Ref<FileRecord> createWithContent(std::uint32_t capacity);
  // Copies name, creator, editor, lastEdited and the two permission flags.
  void copyFixedFieldsFrom(const FileRecord& other);

  void addRef() { refCount.fetch_add(1, std::memory_order_relaxed); }
  // Drops one reference; frees the record when it was the last. Null is ignored.
  static void release(FileRecord* record);

 private:
  FileRecord() = default;
};

}  // namespace velmor
