#include "core/Completions.h"

#include <algorithm>

#include "db/Queries.h"
#include "protocol/Files.h"
#include "protocol/Login.h"
#include "users/User.h"
#include "rooms/RoomCompletions.h"
#include "core/ServerCore.h"

namespace velmor {

bool completeQuery(VelmorBaseQuery& query, ServerCore& core) {
  const bool kept = query.succeeded && applyCompletion(query, core);
  if (query.owner != nullptr) std::erase(query.owner->pendingQueries, &query);
  return kept;
}

bool applyCompletion(VelmorBaseQuery& query, ServerCore& core) {
  User* owner = query.owner;  // null when the poster went away from a query that outlives him
  switch (static_cast<QueryKind>(query.kind)) {
    case QueryKind::LookupUser:
      if (owner == nullptr) return false;
      completeLookupUser(*owner, static_cast<VelmorUserQuery&>(query));
      return true;
    case QueryKind::RegisterUser:
      if (owner != nullptr) completeRegisterUser(*owner, static_cast<VelmorRegisterUserQuery&>(query));
      return false;
    case QueryKind::LoadRoom:
      if (owner != nullptr) completeLoadRoom(core, *owner, static_cast<VelmorRoomQuery&>(query));
      return false;
    case QueryKind::CreateRoom:
      completeCreateRoom(core, owner, static_cast<VelmorRoomQuery&>(query));
      return false;
    case QueryKind::SaveRoom:
      completeSaveRoom(core, static_cast<VelmorRoomQuery&>(query));
      return false;
    case QueryKind::LoadFileContent:
      completeLoadFileContent(static_cast<VelmorFileQuery&>(query));
      return false;
    case QueryKind::TouchRoom:
    case QueryKind::DeleteRoom:
    case QueryKind::DeleteFileRecord:
    case QueryKind::SaveFile:
    case QueryKind::SaveFileAccess:
      return false;  // the query's reference on the file goes with it
  }
  return false;
}

}  // namespace velmor
