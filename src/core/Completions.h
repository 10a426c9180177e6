#pragma once

namespace velmor {

class ServerCore;
class VelmorBaseQuery;

// The main loop's side of a query that came back from the worker (not cancelled): takes
// it off its owner's pending queries and, when it succeeded, applies its effect.
// Returns true when the query was kept (a login's account record); otherwise the
// pipeline destroys it.
bool completeQuery(VelmorBaseQuery& query, ServerCore& core);

// Applies a succeeded query by its kind; true when it kept the query.
bool applyCompletion(VelmorBaseQuery& query, ServerCore& core);

}  // namespace velmor
