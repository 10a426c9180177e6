#pragma once

#include "db/FileDatabase.h"
#include "db/MainDatabase.h"
#include "db/Queries.h"

namespace velmor {

// Runs the database work of one query by its kind, writing its result and outputs.
// Returns whether the query succeeded; kinds outside 2..11 do nothing and fail.
// Query worker only.
bool executeQuery(VelmorBaseQuery& query, MainDatabase& main, FileDatabase& files);

}  // namespace velmor
