#include "server/Completions.h"

#include <algorithm>

#include "db/Queries.h"
#include "protocol/Files.h"
#include "protocol/Login.h"
#include "protocol/User.h"
#include "rooms/RoomCompletions.h"
#include "server/ServerCore.h"

namespace velmor {

bool completeQuery(VelmorBaseQuery& query, ServerCore& core) {
  const bool kept = query.succeeded && applyCompletion(query, core);
  if (query.owner != nullptr) std::erase(query.owner->pendingQueries, &query);
  return kept;
}

bool applyCompletion(VelmorBaseQuery& query, ServerCore& core) {
  switch (static_cast<QueryKind>(query.kind)) {
    case QueryKind::LookupUser:
      completeLookupUser(*query.owner, static_cast<VelmorUserQuery&>(query));
      return true;
    case QueryKind::RegisterUser:
      completeRegisterUser(*query.owner, static_cast<VelmorRegisterUserQuery&>(query));
      return false;
    case QueryKind::LoadRoom:
      completeLoadRoom(core, *query.owner, static_cast<VelmorRoomQuery&>(query));
      return false;
    case QueryKind::CreateRoom:
      completeCreateRoom(core, *query.owner, static_cast<VelmorRoomQuery&>(query));
      return false;
    case QueryKind::SaveRoom:
      completeSaveRoom(core, static_cast<VelmorRoomQuery&>(query));
      return false;
    case QueryKind::TouchRoom:
    case QueryKind::DeleteRoom:
    case QueryKind::LoadFileContent:
      completeLoadFileContent(*query.owner, static_cast<VelmorFileQuery&>(query));
      return false;
    case QueryKind::DeleteFileRecord:
    case QueryKind::SaveFile:
      return false;  // the query's reference on the file goes with it
  }
  return false;
}

}  // namespace velmor
