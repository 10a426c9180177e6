#pragma once

// The query objects: each describes one piece of database work that the main loop hands
// to the query worker (postQuery) and gets back (applyCompletion).
//
// Ownership: the poster creates a query with new and gives it up at postQuery; from then
// on exactly one party destroys it: the worker when it finds it cancelled, the completion
// dispatch otherwise (unless applyCompletion keeps it: only LookupUser, as the user's
// accountRecord). What a query carries (a file list, file references) is released by its
// destructor unless applyCompletion took it first, so a cancelled query leaks nothing.
//
// Threads: fields are written by the poster before postQuery, by the worker during
// execution (results), and read on the main loop after the completion queue handed the
// query back; the queues' release/acquire ordering publishes them. Only `cancelled`
// crosses threads while the query is in flight, so it is atomic.

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "model/FileRecord.h"
#include "model/RoomRecord.h"

namespace velmor {

class User;
class Room;

enum class QueryKind : std::uint32_t {
  LoadRoom = 2,
  CreateRoom = 3,
  SaveRoom = 4,
  TouchRoom = 5,
  DeleteRoom = 6,
  LookupUser = 7,
  RegisterUser = 8,
  DeleteFileRecord = 9,
  SaveFile = 10,
  LoadFileContent = 11,
  SaveFileAccess = 12,  // the two permission flags of a stored file
};

// Results that are also the status codes sent to the owner.
namespace queryresult {
inline constexpr std::uint32_t kRoomCreated = 34;
inline constexpr std::uint32_t kRoomCreateFailed = 35;
inline constexpr std::uint32_t kRoomLoaded = 36;
inline constexpr std::uint32_t kRoomExists = 256;
inline constexpr std::uint32_t kNoSuchRoom = 257;
inline constexpr std::uint32_t kRoomExistsLocked = 258;
inline constexpr std::uint32_t kWrongRoomPassword = 259;
}  // namespace queryresult

class VelmorBaseQuery {
 public:
  explicit VelmorBaseQuery(QueryKind queryKind) : kind(static_cast<std::uint32_t>(queryKind)) {}
  explicit VelmorBaseQuery(std::uint32_t rawKind) : kind(rawKind) {}
  virtual ~VelmorBaseQuery() = default;
  VelmorBaseQuery(const VelmorBaseQuery&) = delete;
  VelmorBaseQuery& operator=(const VelmorBaseQuery&) = delete;

  bool is(QueryKind k) const { return kind == static_cast<std::uint32_t>(k); }
  // Whether the query only serves its poster: a lookup, a registration or a room load,
  // whose result is for him alone, is cancelled when he goes offline or away. Every other
  // query carries a change already acknowledged, or one that others depend on, and runs to
  // completion without its owner.
  bool servesOwnerOnly() const {
    return is(QueryKind::LookupUser) || is(QueryKind::RegisterUser) || is(QueryKind::LoadRoom);
  }

  // The posting user; null for the server's own queries, and once the poster went away from
  // a query that outlives him. Main loop only: the worker never reads it.
  User* owner = nullptr;
  std::uint32_t kind;
  std::uint32_t result = 0;
  std::atomic<bool> cancelled{false};
  bool succeeded = false;
};

// A room file list, as the listing of a loaded room produces it: each record holds the
// list's reference.
using FileList = std::vector<FileRecord*>;

class VelmorRoomQuery : public VelmorBaseQuery {
 public:
  using VelmorBaseQuery::VelmorBaseQuery;
  ~VelmorRoomQuery() override;

  RoomRecord record;
  char suppliedPassword[32] = {};   // LoadRoom: the password the user typed
  Room* room = nullptr;             // SaveRoom: the live room, already out of the registries
  std::unique_ptr<FileList> files;  // LoadRoom: the room's files, null when it has none
};

class VelmorUserQuery : public VelmorBaseQuery {
 public:
  VelmorUserQuery() : VelmorBaseQuery(QueryKind::LookupUser) {}

  char name[32] = {};  // in: as typed; out: as stored
  std::uint8_t passwordHash[16] = {};
  char salt[16] = {};
  char challenge[16] = {};  // 15 characters of '!'..'}' and a terminator
};

class VelmorRegisterUserQuery : public VelmorBaseQuery {
 public:
  VelmorRegisterUserQuery() : VelmorBaseQuery(QueryKind::RegisterUser) {}

  char name[32] = {};
  char salt[16] = {};
  std::uint8_t passwordHash[16] = {};
  std::uint8_t emailHash[16] = {};
};

class VelmorFileQuery : public VelmorBaseQuery {
 public:
  using VelmorBaseQuery::VelmorBaseQuery;
  ~VelmorFileQuery() override;

  // Sets `file` (taking over one reference) and copies what of it the main loop may still
  // change while the query is in flight: the worker reads these copies, never the record's.
  void carry(FileRecord* record);

  FileRecord* file = nullptr;    // one reference held by the query
  FileRecord* loaded = nullptr;  // LoadFileContent: the record with content, one reference
  Room* room = nullptr;          // LoadFileContent: the room the read came from
  char roomName[32] = {};
  std::uint32_t clientVersion = 0;
  std::uint8_t usersCanRead = 0;  // the record's permission flags when it was posted
  std::uint8_t usersCanWrite = 0;
  bool found = false;
};

// Releases every record of a file list and the list itself.
void releaseFileList(std::unique_ptr<FileList>& files);

}  // namespace velmor
