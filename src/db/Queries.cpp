#include "db/Queries.h"

#include <algorithm>

namespace velmor {

void QueryOwner::releasePendingQueries() {
  for (VelmorBaseQuery* query : pending_) {
    if (query->servesOwnerOnly()) {
      query->cancelled.store(true, std::memory_order_release);
    } else {
      query->owner = nullptr;
    }
  }
  pending_.clear();
}

void VelmorFileQuery::carry(Ref<FileRecord> record) {
  usersCanRead = record->usersCanRead;
  usersCanWrite = record->usersCanWrite;
  file = std::move(record);
}

}  // namespace velmor
