#include "db/QueryExecution.h"

#include "db/LoginChallenge.h"
#include "base/FixedText.h"

namespace velmor {

bool executeQuery(VelmorBaseQuery& query, MainDatabase& main, FileDatabase& files) {
  switch (static_cast<QueryKind>(query.kind)) {
    case QueryKind::LoadRoom:
      main.loadRoom(static_cast<VelmorRoomQuery&>(query));
      return true;
    case QueryKind::CreateRoom:
      main.createRoom(static_cast<VelmorRoomQuery&>(query));
      return true;
    case QueryKind::SaveRoom: {
      auto& roomQuery = static_cast<VelmorRoomQuery&>(query);
      main.saveRoom(roomQuery.record);
      return true;
    }
    case QueryKind::TouchRoom:
      main.touchRoom(static_cast<VelmorRoomQuery&>(query).record);
      return false;
    case QueryKind::DeleteRoom: {
      // An expired room goes with its files, so that a later room of the name starts empty.
      const RoomRecord& record = static_cast<VelmorRoomQuery&>(query).record;
      main.deleteRoom(record);
      files.deleteRoomFiles(fieldText(record.name));
      return false;
    }
    case QueryKind::LookupUser: {
      auto& userQuery = static_cast<VelmorUserQuery&>(query);
      makeLoginChallenge(userQuery.challenge);
      main.lookupUser(userQuery);
      return true;
    }
    case QueryKind::RegisterUser:
      main.registerUser(static_cast<VelmorRegisterUserQuery&>(query));
      return true;
    case QueryKind::DeleteFileRecord:
      files.deleteFile(static_cast<VelmorFileQuery&>(query));
      return true;
    case QueryKind::SaveFile:
      files.saveFile(static_cast<VelmorFileQuery&>(query));
      return true;
    case QueryKind::LoadFileContent:
      files.loadContent(static_cast<VelmorFileQuery&>(query));
      return true;
    case QueryKind::SaveFileAccess:
      files.saveAccess(static_cast<VelmorFileQuery&>(query));
      return true;
  }
  return false;
}

void reportRolledBack(VelmorBaseQuery& query) {
  if (query.is(QueryKind::RegisterUser)) {
    query.result = 0;
  } else if (query.is(QueryKind::CreateRoom) && query.result == queryresult::kRoomCreated) {
    query.result = queryresult::kRoomCreateFailed;
  }
}

}  // namespace velmor
