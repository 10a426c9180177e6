#pragma once

#include "db/Queries.h"

namespace velmor {

// Reaches into a query as only its owner and the pipeline may: unit tests cancel a query
// at a chosen moment and read what the worker made of it. Tests only.
class QueryProbe {
 public:
  static void cancel(VelmorBaseQuery& query) {
    query.cancelled_.store(true, std::memory_order_release);
  }
  static bool answered(const VelmorBaseQuery& query) { return query.workerState_.answered; }
};

}  // namespace velmor
