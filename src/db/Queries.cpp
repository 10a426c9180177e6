#include "db/Queries.h"

#include <algorithm>
#include <cstring>

namespace velmor {

void QueryOwner::releasePendingQueries() {
  if (pending_.empty()) return;
  for (VelmorBaseQuery* query : pending_) {
    if (query->servesOwnerOnly()) {
      query->cancelled_.store(true, std::memory_order_release);
    } else {
      query->owner_ = nullptr;
    }
  }
  pending_.clear();
  pendingCompleted(0);
}

void QueryOwner::track(VelmorBaseQuery* query) {
  query->ownerSlot_ = static_cast<std::uint32_t>(pending_.size());
  pending_.push_back(query);
}

void QueryOwner::untrack(VelmorBaseQuery* query) {
  const std::uint32_t slot = query->ownerSlot_;
  if (slot >= pending_.size() || pending_[slot] != query) return;
  VelmorBaseQuery* last = pending_.back();
  pending_[slot] = last;
  last->ownerSlot_ = slot;
  pending_.pop_back();
  pendingCompleted(pending_.size());
}

std::string_view VelmorFileQuery::roomWorkedOn() const {
  return std::string_view(roomName, strnlen(roomName, sizeof(roomName)));
}

std::string_view VelmorFileQuery::fileWorkedOn() const {
  return file ? std::string_view(file->fileName, strnlen(file->fileName, sizeof(file->fileName)))
              : std::string_view();
}

void VelmorFileQuery::carry(Ref<FileRecord> record) {
  usersCanRead = record->usersCanRead;
  usersCanWrite = record->usersCanWrite;
  file = std::move(record);
}

}  // namespace velmor
