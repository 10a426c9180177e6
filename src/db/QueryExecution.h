#pragma once

#include "db/FileDatabase.h"
#include "db/MainDatabase.h"
#include "db/Queries.h"

namespace velmor {

// Runs the database work of one query by its kind, writing its result and outputs.
// Returns whether the query succeeded; kinds outside 2..12 do nothing and fail.
// Query worker only.
bool executeQuery(VelmorBaseQuery& query, MainDatabase& main, FileDatabase& files);

// The result of a query whose batch was rolled back after it ran (its COMMIT failed): a
// registration or a room creation that seemed to succeed reports the failure instead.
// Worker only.
void reportRolledBack(VelmorBaseQuery& query);

}  // namespace velmor
