// Room file requests: members list, read, create, overwrite, re-permission and delete the
// small files kept in a room. Contents travel in chunks of at most 8000 bytes.
#include <algorithm>
#include <cstring>
#include <optional>

#include "base/FixedText.h"
#include "core/ServerCore.h"
#include "db/FileDatabase.h"
#include "model/Names.h"
#include "protocol/Dispatch.h"
#include "protocol/Files.h"
#include "rooms/Room.h"
#include "rooms/RoomRegistry.h"
#include "users/Sending.h"
#include "users/User.h"
#include "wire/MessageBuilder.h"

namespace velmor {

namespace {

using wire::ServerCode;

constexpr std::size_t kMaxFiles = 16;
constexpr std::uint32_t kMaxFileSize = 650000;
constexpr std::uint32_t kChunkSize = 8000;

bool isOwner(const User& user, const FileRecord& file) {
  return std::strcmp(user.identity().name, file.creatorName) == 0;
}
bool mayRead(const User& user, const FileRecord& file) {
  return user.rights().isLeader || file.usersCanRead || isOwner(user, file);
}
bool mayWrite(const User& user, const FileRecord& file) {
  return user.rights().isLeader || file.usersCanWrite || isOwner(user, file);
}
bool mayChangePermissions(const User& user, const FileRecord& file) {
  return user.rights().isLeader || isOwner(user, file);
}
bool mayCreate(const User& user, const Room& room) {
  return user.rights().isLeader || isCreatorOf(room.record(), user.identity().name);
}

// A version that moves on even for two writes within one second.
std::uint32_t nextVersion(std::uint32_t now, std::uint32_t previous) {
  return now > previous ? now : previous + 1;
}

// The content bytes a change of the record keeps in memory while it waits for the storage.
std::size_t heldBytes(const FileRecord& file) {
  return file.hasContent() ? file.capacity : 0;
}

// Whether the storage can take one more change holding `contentBytes` from the user now: his
// address's share of what waits for it, and the bound all share (ChangeShares). A change it
// cannot take is refused before it is acknowledged.
bool storageTakesChange(ServerCore& core, const User& user, std::size_t contentBytes) {
  return core.pipeline().changes().admits(user.address(), contentBytes);
}

template <typename Query>
void postFileQuery(ServerCore& core, User& user, const Ref<FileRecord>& file, Room& room) {
  auto* query = new Query;
  query->carry(file);
  copyText(query->roomName, fieldText(room.record().name));
  query->chargeTo(ChangeShares::chargeOf(user.address(), heldBytes(*file)));
  core.queries().post(&user, query);
}

void sendSaved(User& user, const FileRecord& file) {
  MessageBuilder saved;
  saved.begin(ServerCode::FileSaved).string(fieldText(file.fileName)).u32(file.lastEdited);
  sendTo(user, saved);
}

// The checks that changing a listed file shares: a member, the file, and the right. Answers
// the refusal and returns null, or returns the file's place in the list.
const Ref<FileRecord>* fileToChange(User& user, Room& room, const char* name,
                                    bool (*allowed)(const User&, const FileRecord&)) {
  if (!user.rights().isMember) {
    sendCode(user, ServerCode::MembersOnly);
    return nullptr;
  }
  const Ref<FileRecord>* listed = room.findFile(name);
  if (listed == nullptr) {
    sendCode(user, ServerCode::FileNotFound);
  } else if (!allowed(user, **listed)) {
    sendCode(user, ServerCode::FileAccessDenied);
    listed = nullptr;
  }
  return listed;
}

// Why the user may not create a file of the name in the room; nothing when he may.
std::optional<ServerCode> createRefusal(const User& user, const Room& room,
                                        const char (&name)[32]) {
  if (!mayCreate(user, room)) return ServerCode::NotRoomOwner;
  if (!user.rights().isMember) return ServerCode::MembersOnly;
  if (room.files().size() >= kMaxFiles) return ServerCode::TooManyFiles;
  const bool taken = std::any_of(room.files().begin(), room.files().end(), [&](const auto& file) {
    return sameNameIgnoringCase(fieldText(file->fileName), fieldText(name));
  });
  if (taken) return ServerCode::FileExists;
  return std::nullopt;
}

// Loads the listed file's content for the reader, unless a load of it for him is in flight
// (that one answers this read too). While the storage fails with his queries at their bound,
// the read is answered as a failed load would be.
void loadForReader(ServerCore& core, User& user, Room& room, const Ref<FileRecord>& listed,
                   std::uint32_t versionHeld) {
  const FileRecord* file = listed.get();
  if (user.findPending<LoadFileContentQuery>(
          [&](const LoadFileContentQuery& loading) { return loading.file.get() == file; })) {
    return;
  }
  if (!core.storageTakes(user)) {
    sendCode(user, ServerCode::FileNotFound);  // as a load the storage failed
    return;
  }
  auto* load = new LoadFileContentQuery(core.rooms);
  load->carry(listed);
  load->clientVersion = versionHeld;
  copyText(load->roomName, fieldText(room.record().name));
  core.queries().post(&user, load);
}

// The new version of a listed file as the user begins to write it: its first chunk, his name
// as the editor, the next version number. Null when memory for it cannot be had.
Ref<FileRecord> editedCopy(ServerCore& core, const User& user, const FileRecord& listed,
                           std::uint32_t total, std::string_view chunk) {
  Ref<FileRecord> fresh = FileRecord::createWithContent(total);
  if (!fresh) return fresh;
  fresh->copyFixedFieldsFrom(listed);
  std::memcpy(fresh->content(), chunk.data(), chunk.size());
  fresh->length = static_cast<std::uint32_t>(chunk.size());
  copyText(fresh->editorName, fieldText(user.identity().name));
  fresh->lastEdited = nextVersion(core.clock.wallSeconds(), listed.lastEdited);
  return fresh;
}

// The last chunk of an upload arrived: the file replaces the listed one (whose rights it
// takes, as they are now) and is saved; a file deleted meanwhile is not put back.
void finishUpload(ServerCore& core, User& user, Room& room, const Ref<FileRecord>* listed) {
  const Ref<FileRecord> upload = std::move(user.transfer().upload);
  if (!storageTakesChange(core, user, heldBytes(*upload))) {
    sendCode(user, ServerCode::FileTooLarge);  // more than the storage can hold for him now
    return;
  }
  if (listed == nullptr) {
    // Deleted meanwhile: the upload cannot put it back past the room's limit or another
    // file of the name in other capitals.
    sendCode(user, ServerCode::FileNotFound);
    return;
  }
  upload->usersCanRead = (*listed)->usersCanRead;
  upload->usersCanWrite = (*listed)->usersCanWrite;
  upload->lastEdited = nextVersion(core.clock.wallSeconds(), (*listed)->lastEdited);
  room.replaceFile(listed, upload);
  postFileQuery<SaveFileQuery>(core, user, upload, room);
  sendSaved(user, *upload);
}

}  // namespace

namespace {

// "file NAME of room ROOM": what an unstored change is about.
std::string describeFile(const VelmorFileQuery& query) {
  return "file " + std::string(fieldText(query.file->fileName)) + " of room " +
         std::string(query.roomWorkedOn());
}

}  // namespace

StoreOutcome SaveFileQuery::execute(Storage& storage) {
  return storeOutcome(storage.files.saveFile(*this));
}

std::string SaveFileQuery::unstoredText() const {
  return "content of " + describeFile(*this);
}

StoreOutcome SaveFileAccessQuery::execute(Storage& storage) {
  return storeOutcome(storage.files.saveAccess(*this));
}

std::string SaveFileAccessQuery::unstoredText() const {
  return "permissions of " + describeFile(*this);
}

StoreOutcome DeleteFileQuery::execute(Storage& storage) {
  return storeOutcome(storage.files.deleteFile(*this));
}

std::string DeleteFileQuery::unstoredText() const {
  return "deletion of " + describeFile(*this);
}

LookupOutcome LoadFileContentQuery::execute(Storage& storage) {
  return storage.files.loadContent(*this);
}

bool LoadFileContentQuery::complete(LookupOutcome outcome) {
  const bool found = outcome == LookupOutcome::Found && loaded;
  char key[32];
  lowerName(key, roomWorkedOn());
  Room* room = rooms_.findLive(key);
  const Ref<FileRecord>* listed = room != nullptr ? room->findFile(file->fileName) : nullptr;
  if (found && listed != nullptr && !(*listed)->hasContent() &&
      (*listed)->lastEdited == loaded->lastEdited) {
    loaded->usersCanRead = (*listed)->usersCanRead;  // changed meanwhile, perhaps
    loaded->usersCanWrite = (*listed)->usersCanWrite;
    room->replaceFile(listed, loaded);
  } else if (found) {
    file->contentRequested.store(0, std::memory_order_relaxed);  // the next read loads again
  }
  auto* reader = static_cast<User*>(owner());
  if (reader == nullptr || room == nullptr || reader->room() != room) return false;
  // The file as it is listed now: gone meanwhile, or no longer readable by him, it is not
  // sent. The listed record if it holds its content (it may be newer); the loaded one
  // otherwise.
  FileRecord* toSend = nullptr;
  if (listed != nullptr && !mayRead(*reader, **listed)) {
    sendCode(*reader, ServerCode::FileAccessDenied);
    return false;
  }
  if (listed != nullptr && (*listed)->hasContent()) {
    toSend = listed->get();
  } else if (listed != nullptr && found && loaded) {
    toSend = loaded.get();
  }
  if (toSend != nullptr) {
    sendFileToReader(*reader, *toSend, clientVersion);
  } else {
    sendCode(*reader, ServerCode::FileNotFound);  // gone meanwhile, or unreadable in storage
  }
  return false;
}

void sendFileToReader(User& user, FileRecord& file, std::uint32_t versionHeld) {
  const std::uint8_t writable = (user.rights().isLeader || file.usersCanWrite) ? 1 : 0;
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
  // The rest is his download. Only a download is replaced: an upload he began while the
  // content was loading goes on.
  if (length > kChunkSize) user.transfer().download = Ref<FileRecord>::share(&file);
}

bool handleCreateFile(ServerCore& core, User& user, const wire::CreateFile& request) {
  char name[32] = {};
  copyText(name, request.name);
  const std::uint8_t canRead = request.usersCanRead;
  const std::uint8_t canWrite = request.usersCanWrite;
  Room* room = user.room();
  if (room == nullptr) return true;
  if (const std::optional<ServerCode> refusal = createRefusal(user, *room, name)) {
    sendCode(user, *refusal);
    return true;
  }
  if (!storageTakesChange(core, user, 0)) {
    sendCode(user, ServerCode::TooManyFiles);  // no more the storage can hold for him now
    return true;
  }
  Ref<FileRecord> file = FileRecord::createWithContent(0);
  if (!file) return true;
  copyText(file->fileName, fieldText(name));
  copyText(file->creatorName, fieldText(user.identity().name));
  copyText(file->editorName, fieldText(user.identity().name));
  file->usersCanRead = canRead != 0;
  file->usersCanWrite = canWrite != 0;
  file->lastEdited = core.clock.wallSeconds();
  room->addFile(file);
  sendCode(user, ServerCode::FileCreated);
  postFileQuery<SaveFileQuery>(core, user, file, *room);
  return true;
}

bool handleListFiles(ServerCore&, User& user, const wire::ListFiles&) {
  Room* room = user.room();
  if (room == nullptr) return true;
  MessageBuilder reply;
  reply.begin(ServerCode::FileList).u16(static_cast<std::uint16_t>(room->files().size()));
  for (const Ref<FileRecord>& file : room->files()) {
    reply.string(fieldText(file->fileName))
        .string(fieldText(file->creatorName))
        .string(fieldText(file->editorName));
    reply.u32(file->lastEdited).u8(mayRead(user, *file) ? 1 : 0).u8(mayWrite(user, *file) ? 1 : 0);
  }
  sendTo(user, reply);
  return true;
}

bool handleReadFile(ServerCore& core, User& user, const wire::ReadFile& request) {
  char name[32] = {};
  copyText(name, request.name);
  const std::uint32_t versionHeld = request.versionHeld;
  user.releaseTransfer();
  Room* room = user.room();
  if (room == nullptr) return true;
  const Ref<FileRecord>* listed = room->findFile(name);
  if (listed == nullptr || !mayRead(user, **listed)) {
    sendCode(user, listed == nullptr ? ServerCode::FileNotFound : ServerCode::FileAccessDenied);
    return true;
  }
  const FileRecord& file = **listed;
  if (!file.hasContent() && file.length != 0 &&
      (versionHeld == 0 || versionHeld != file.lastEdited)) {
    loadForReader(core, user, *room, *listed, versionHeld);
  } else {
    sendFileToReader(user, **listed, versionHeld);
  }
  return true;
}

bool handleFileChunkRequest(ServerCore&, User& user, const wire::FileChunkRequest& request) {
  const std::uint32_t offset = request.offset;
  const FileRecord* file = user.transfer().download.get();
  if (file == nullptr || user.room() == nullptr) return true;
  if (offset >= file->length) return false;
  // The right to read is the one of now, on the file as it is listed now.
  const Ref<FileRecord>* listed = user.room()->findFile(file->fileName);
  if (listed == nullptr || !mayRead(user, **listed)) {
    user.transfer().download.reset();
    sendCode(user, listed == nullptr ? ServerCode::FileNotFound : ServerCode::FileAccessDenied);
    return true;
  }
  const std::uint32_t size = std::min(file->length - offset, kChunkSize);
  MessageBuilder reply;
  reply.begin(ServerCode::FileChunkData).blob(file->content() + offset, size);
  sendTo(user, reply);
  if (offset + size >= file->length) user.transfer().download.reset();
  return true;
}

bool handleWriteFile(ServerCore& core, User& user, const wire::WriteFile& request) {
  const std::uint32_t total = request.totalLength;
  char name[32] = {};
  copyText(name, request.name);
  const std::string_view chunk = request.firstChunk;
  Room* room = user.room();
  if (room == nullptr) return true;
  if (user.rights().isMember) user.releaseTransfer();
  const Ref<FileRecord>* listed = fileToChange(user, *room, name, mayWrite);
  if (listed == nullptr) return true;
  if (total > kMaxFileSize || !storageTakesChange(core, user, total)) {
    sendCode(user, ServerCode::FileTooLarge);
    return true;
  }
  if (chunk.size() > total) return false;
  Ref<FileRecord> fresh = editedCopy(core, user, **listed, total, chunk);
  if (!fresh) return false;
  if (fresh->length == total) {
    room->replaceFile(listed, fresh);
    sendSaved(user, *fresh);
    postFileQuery<SaveFileQuery>(core, user, fresh, *room);
  } else {
    user.transfer().upload = std::move(fresh);
    sendCode(user, ServerCode::FileChunkAck);
  }
  return true;
}

bool handleFileChunk(ServerCore& core, User& user, const wire::FileChunk& request) {
  FileRecord* upload = user.transfer().upload.get();
  Room* room = user.room();
  if (upload == nullptr || room == nullptr) return true;
  const std::string_view chunk = request.chunk;
  if (upload->length + chunk.size() > upload->capacity) return false;
  // The right to write is the one of now: a leader demoted or a file closed to writers
  // since the upload began ends it.
  const Ref<FileRecord>* listed = room->findFile(upload->fileName);
  if (!mayWrite(user, listed != nullptr ? **listed : *upload)) {
    user.transfer().upload.reset();
    sendCode(user, ServerCode::FileAccessDenied);
    return true;
  }
  std::memcpy(upload->content() + upload->length, chunk.data(), chunk.size());
  upload->length += static_cast<std::uint32_t>(chunk.size());
  if (upload->length < upload->capacity) {
    sendCode(user, ServerCode::FileChunkAck);
  } else {
    finishUpload(core, user, *room, listed);
  }
  return true;
}

bool handleSetFileAccess(ServerCore& core, User& user, const wire::SetFileAccess& request) {
  char name[32] = {};
  copyText(name, request.name);
  const std::uint8_t canRead = request.usersCanRead;
  const std::uint8_t canWrite = request.usersCanWrite;
  if (user.room() == nullptr) return true;
  if (const Ref<FileRecord>* listed =
          fileToChange(user, *user.room(), name, mayChangePermissions)) {
    if (!storageTakesChange(core, user, heldBytes(**listed))) {
      sendCode(user, ServerCode::FileAccessDenied);
      return true;
    }
    (*listed)->usersCanRead = canRead != 0;
    (*listed)->usersCanWrite = canWrite != 0;
    sendCode(user, ServerCode::FileSaved);
    postFileQuery<SaveFileAccessQuery>(core, user, *listed, *user.room());
  }
  return true;
}

bool handleDeleteFile(ServerCore& core, User& user, const wire::DeleteFile& request) {
  char name[32] = {};
  copyText(name, request.name);
  Room* room = user.room();
  if (room == nullptr) return true;
  if (const Ref<FileRecord>* listed = fileToChange(user, *room, name, mayWrite)) {
    if (!storageTakesChange(core, user, heldBytes(**listed))) {
      sendCode(user, ServerCode::FileAccessDenied);
      return true;
    }
    const Ref<FileRecord> file = room->removeFile(listed);
    postFileQuery<DeleteFileQuery>(core, user, file, *room);
    sendCode(user, ServerCode::FileDeleted);
  }
  return true;
}

}  // namespace velmor
