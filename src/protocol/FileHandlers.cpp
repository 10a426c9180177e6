// Room file requests: members list, read, create, overwrite, re-permission and delete the
// small files kept in a room. Contents travel in chunks of at most 8000 bytes.
#include <algorithm>
#include <cstring>

#include "db/Queries.h"
#include "base/FixedText.h"
#include "protocol/Dispatch.h"
#include "protocol/Files.h"
#include "wire/MessageBuilder.h"
#include "model/Names.h"
#include "users/Sending.h"
#include "users/User.h"
#include "rooms/Room.h"
#include "core/ServerCore.h"

namespace velmor {

namespace {

using wire::ServerCode;

constexpr std::size_t kMaxFiles = 16;
constexpr std::uint32_t kMaxFileSize = 650000;
constexpr std::uint32_t kChunkSize = 8000;

bool isOwner(const User& user, const FileRecord& file) {
  return std::strcmp(user.name, file.creatorName) == 0;
}
bool mayRead(const User& user, const FileRecord& file) {
  return user.isLeader || file.usersCanRead || isOwner(user, file);
}
bool mayWrite(const User& user, const FileRecord& file) {
  return user.isLeader || file.usersCanWrite || isOwner(user, file);
}
bool mayChangePermissions(const User& user, const FileRecord& file) {
  return user.isLeader || isOwner(user, file);
}
bool mayCreate(const User& user, const Room& room) {
  return user.isLeader || std::strcmp(user.name, room.record.creatorName) == 0;
}

FileRecord** findFile(Room& room, const char* name) {
  for (FileRecord*& file : room.files) {
    if (std::strcmp(file->fileName, name) == 0) return &file;
  }
  return nullptr;
}

// A version that moves on even for two writes within one second.
std::uint32_t nextVersion(std::uint32_t now, std::uint32_t previous) {
  return now > previous ? now : previous + 1;
}

void postFileQuery(User& user, QueryKind kind, FileRecord* file, Room& room) {
  auto* query = new VelmorFileQuery(kind);
  query->carry(file);  // the reference the caller hands over
  copyText(query->roomName, fieldText(room.record.name));
  user.core->postQuery(&user, query);
}

void sendSaved(User& user, const FileRecord& file) {
  MessageBuilder saved;
  saved.begin(ServerCode::FileSaved).string(fieldText(file.fileName)).u32(file.lastEdited);
  sendTo(user, saved);
}

// Puts `fresh` in the list in place of `slot`'s record, taking a reference for the list.
void replaceListed(FileRecord*& slot, FileRecord* fresh) {
  fresh->addRef();
  FileRecord::release(slot);
  slot = fresh;
}

bool skipBlob(MessageReader& reader) {
  return reader.skipString();
}

}  // namespace

void sendFileToReader(User& user, FileRecord& file, std::uint32_t versionHeld) {
  const std::uint8_t writable = (user.isLeader || file.usersCanWrite) ? 1 : 0;
  MessageBuilder reply;
  if (versionHeld != 0 && versionHeld == file.lastEdited) {
    reply.begin(ServerCode::FileUnchanged)
        .string(fieldText(file.fileName))
        .u32(file.lastEdited)
        .u8(writable);
    sendTo(user, reply);
    return;
  }
  const std::uint32_t length = file.hasContent() ? file.length : 0;
  reply.begin(ServerCode::FileContent)
      .u32(length)
      .blob(file.content(), std::min(length, kChunkSize));
  reply.string(fieldText(file.fileName)).u32(file.lastEdited).u8(writable);
  sendTo(user, reply);
  if (length > kChunkSize) {
    file.addRef();
    user.releaseTransfer();  // a transfer begun while the content was loading ends here
    user.download = &file;
  }
}

bool handleCreateFile(User& user, MessageReader& reader) {
  char name[32] = {};
  reader.string(name);
  const std::uint8_t canRead = reader.u8();
  const std::uint8_t canWrite = reader.u8();
  if (!reader.ok()) return false;
  Room* room = user.room;
  if (room == nullptr) return true;
  if (!mayCreate(user, *room)) {
    sendCode(user, ServerCode::NotRoomOwner);
  } else if (!user.isMember) {
    sendCode(user, ServerCode::MembersOnly);
  } else if (room->files.size() >= kMaxFiles) {
    sendCode(user, ServerCode::TooManyFiles);
  } else if (std::any_of(room->files.begin(), room->files.end(), [&](const FileRecord* file) {
               return sameNameIgnoringCase(fieldText(file->fileName), fieldText(name));
             })) {
    sendCode(user, ServerCode::FileExists);
  } else {
    FileRecord* file = FileRecord::createWithContent(0);
    if (file == nullptr) return true;
    copyText(file->fileName, fieldText(name));
    copyText(file->creatorName, fieldText(user.name));
    copyText(file->editorName, fieldText(user.name));
    file->usersCanRead = canRead != 0;
    file->usersCanWrite = canWrite != 0;
    file->lastEdited = user.core->wallSeconds();
    room->files.push_back(file);  // the list's reference
    sendCode(user, ServerCode::FileCreated);
    file->addRef();
    postFileQuery(user, QueryKind::SaveFile, file, *room);
  }
  return true;
}

bool handleListFiles(User& user, MessageReader&) {
  Room* room = user.room;
  if (room == nullptr) return true;
  MessageBuilder reply;
  reply.begin(ServerCode::FileList).u16(static_cast<std::uint16_t>(room->files.size()));
  for (const FileRecord* file : room->files) {
    reply.string(fieldText(file->fileName))
        .string(fieldText(file->creatorName))
        .string(fieldText(file->editorName));
    reply.u32(file->lastEdited).u8(mayRead(user, *file) ? 1 : 0).u8(mayWrite(user, *file) ? 1 : 0);
  }
  sendTo(user, reply);
  return true;
}

bool handleReadFile(User& user, MessageReader& reader) {
  char name[32] = {};
  reader.string(name);
  const std::uint32_t versionHeld = reader.u32();
  if (!reader.ok()) return false;
  user.releaseTransfer();
  Room* room = user.room;
  if (room == nullptr) return true;
  FileRecord** listed = findFile(*room, name);
  if (listed == nullptr) {
    sendCode(user, ServerCode::FileNotFound);
    return true;
  }
  FileRecord& file = **listed;
  if (!mayRead(user, file)) {
    sendCode(user, ServerCode::FileAccessDenied);
    return true;
  }
  if (!file.hasContent() && file.length != 0 &&
      (versionHeld == 0 || versionHeld != file.lastEdited)) {
    auto* load = new VelmorFileQuery(QueryKind::LoadFileContent);
    file.addRef();
    load->carry(&file);
    load->room = room;
    load->clientVersion = versionHeld;
    copyText(load->roomName, fieldText(room->record.name));
    user.core->postQuery(&user, load);
    return true;
  }
  sendFileToReader(user, file, versionHeld);
  return true;
}

void completeLoadFileContent(VelmorFileQuery& query) {
  // The loaded content becomes the listed record's whoever asked for it: the load runs once
  // per record, so throwing it away would leave the file unreadable for everyone.
  Room& room = *query.room;
  FileRecord** listed = findFile(room, query.file->fileName);
  if (query.found && query.loaded != nullptr && listed != nullptr && !(*listed)->hasContent() &&
      (*listed)->lastEdited == query.loaded->lastEdited) {
    query.loaded->usersCanRead = (*listed)->usersCanRead;  // changed meanwhile, perhaps
    query.loaded->usersCanWrite = (*listed)->usersCanWrite;
    replaceListed(*listed, query.loaded);
  }
  User* reader = query.owner;
  if (reader == nullptr || reader->room != &room) return;
  // The listed record if it holds its content (it may be newer); the loaded one otherwise.
  FileRecord* toSend = nullptr;
  if (listed != nullptr && (*listed)->hasContent()) {
    toSend = *listed;
  } else if (query.found && query.loaded != nullptr) {
    toSend = query.loaded;
  }
  if (toSend != nullptr) {
    sendFileToReader(*reader, *toSend, query.clientVersion);
  } else {
    sendCode(*reader, ServerCode::FileNotFound);  // gone meanwhile, or unreadable in storage
  }
}

bool handleFileChunkRequest(User& user, MessageReader& reader) {
  const std::uint32_t offset = reader.u32();
  if (!reader.ok()) return false;
  FileRecord* file = user.download;
  if (file == nullptr || user.room == nullptr) return true;
  if (offset >= file->length) return false;
  const std::uint32_t size = std::min(file->length - offset, kChunkSize);
  MessageBuilder reply;
  reply.begin(ServerCode::FileChunkData).blob(file->content() + offset, size);
  sendTo(user, reply);
  if (offset + size >= file->length) user.releaseTransfer();
  return true;
}

bool handleWriteFile(User& user, MessageReader& reader) {
  const std::uint32_t total = reader.u32();
  char name[32] = {};
  reader.string(name);
  if (!reader.ok()) return false;
  Room* room = user.room;
  if (room == nullptr) return skipBlob(reader);
  if (!user.isMember) {
    sendCode(user, ServerCode::MembersOnly);
    return skipBlob(reader);
  }
  user.releaseTransfer();
  FileRecord** listed = findFile(*room, name);
  if (listed == nullptr) {
    sendCode(user, ServerCode::FileNotFound);
    return skipBlob(reader);
  }
  if (!mayWrite(user, **listed)) {
    sendCode(user, ServerCode::FileAccessDenied);
    return skipBlob(reader);
  }
  if (total > kMaxFileSize) {
    sendCode(user, ServerCode::FileTooLarge);
    return skipBlob(reader);
  }
  const std::string_view chunk = reader.view();
  if (!reader.ok() || chunk.size() > total) return false;
  FileRecord* fresh = FileRecord::createWithContent(total);
  if (fresh == nullptr) return false;
  fresh->copyFixedFieldsFrom(**listed);
  std::memcpy(fresh->content(), chunk.data(), chunk.size());
  fresh->length = static_cast<std::uint32_t>(chunk.size());
  copyText(fresh->editorName, fieldText(user.name));
  fresh->lastEdited = nextVersion(user.core->wallSeconds(), (*listed)->lastEdited);
  if (fresh->length == total) {
    replaceListed(*listed, fresh);
    sendSaved(user, *fresh);
    postFileQuery(user, QueryKind::SaveFile, fresh, *room);  // hands over the creation reference
  } else {
    user.upload = fresh;
    sendCode(user, ServerCode::FileChunkAck);
  }
  return true;
}

bool handleFileChunk(User& user, MessageReader& reader) {
  FileRecord* upload = user.upload;
  Room* room = user.room;
  if (upload == nullptr || room == nullptr) return skipBlob(reader);
  const std::string_view chunk = reader.view();
  if (!reader.ok() || upload->length + chunk.size() > upload->capacity) return false;
  // The right to write is the one of now: a leader demoted or a file closed to writers
  // since the upload began ends it.
  FileRecord** listed = findFile(*room, upload->fileName);
  if (!mayWrite(user, listed != nullptr ? **listed : *upload)) {
    user.releaseTransfer();
    sendCode(user, ServerCode::FileAccessDenied);
    return true;
  }
  std::memcpy(upload->content() + upload->length, chunk.data(), chunk.size());
  upload->length += static_cast<std::uint32_t>(chunk.size());
  if (upload->length < upload->capacity) {
    sendCode(user, ServerCode::FileChunkAck);
    return true;
  }
  const std::uint32_t now = user.core->wallSeconds();
  if (listed != nullptr) {
    upload->usersCanRead = (*listed)->usersCanRead;
    upload->usersCanWrite = (*listed)->usersCanWrite;
    upload->lastEdited = nextVersion(now, (*listed)->lastEdited);
    replaceListed(*listed, upload);
  } else {
    upload->lastEdited = now + 1;  // the file was deleted meanwhile: it comes back
    upload->addRef();
    room->files.push_back(upload);
  }
  upload->addRef();
  postFileQuery(user, QueryKind::SaveFile, upload, *room);
  sendSaved(user, *upload);
  user.releaseTransfer();
  return true;
}

namespace {

// The checks that changing a listed file shares: a member, the file, and the right. Answers
// the refusal and returns null, or returns the file's place in the list.
FileRecord** fileToChange(User& user, Room& room, const char* name,
                          bool (*allowed)(const User&, const FileRecord&)) {
  if (!user.isMember) {
    sendCode(user, ServerCode::MembersOnly);
    return nullptr;
  }
  FileRecord** listed = findFile(room, name);
  if (listed == nullptr) {
    sendCode(user, ServerCode::FileNotFound);
  } else if (!allowed(user, **listed)) {
    sendCode(user, ServerCode::FileAccessDenied);
    listed = nullptr;
  }
  return listed;
}

}  // namespace

bool handleSetFileAccess(User& user, MessageReader& reader) {
  char name[32] = {};
  reader.string(name);
  const std::uint8_t canRead = reader.u8();
  const std::uint8_t canWrite = reader.u8();
  if (!reader.ok()) return false;
  if (user.room == nullptr) return true;
  if (FileRecord** listed = fileToChange(user, *user.room, name, mayChangePermissions)) {
    FileRecord& file = **listed;
    file.usersCanRead = canRead != 0;
    file.usersCanWrite = canWrite != 0;
    sendCode(user, ServerCode::FileSaved);
    file.addRef();
    postFileQuery(user, QueryKind::SaveFileAccess, &file, *user.room);
  }
  return true;
}

bool handleDeleteFile(User& user, MessageReader& reader) {
  char name[32] = {};
  reader.string(name);
  if (!reader.ok()) return false;
  Room* room = user.room;
  if (room == nullptr) return true;
  if (FileRecord** listed = fileToChange(user, *room, name, mayWrite)) {
    FileRecord* file = *listed;
    room->files.erase(room->files.begin() + (listed - room->files.data()));
    postFileQuery(user, QueryKind::DeleteFileRecord, file,
                  *room);  // the list's reference passes on
    sendCode(user, ServerCode::FileDeleted);
  }
  return true;
}

}  // namespace velmor
