#include "rooms/RoomDirectory.h"

namespace velmor {

void RoomDirectory::add(const RoomRecord& record) {
  remove(record.lowerName);
  auto entry = std::make_unique<Entry>(Entry{record, nextSequence_++});
  order_.insert({entry->sequence, entry.get()});
  byAge_.insert({entry->record.lastAccessed, entry->sequence});
  byName_.emplace(entry->record.lowerName, std::move(entry));
}

bool RoomDirectory::remove(std::string_view lowerName) {
  auto found = byName_.find(lowerName);
  if (found == byName_.end()) return false;
  const Entry& entry = *found->second;
  order_.erase(entry.sequence);
  byAge_.erase({entry.record.lastAccessed, entry.sequence});
  byName_.erase(found);
  return true;
}

const RoomRecord* RoomDirectory::find(std::string_view lowerName) const {
  auto found = byName_.find(lowerName);
  return found == byName_.end() ? nullptr : &found->second->record;
}

const RoomRecord* RoomDirectory::oldest() const {
  if (byAge_.empty()) return nullptr;
  return &order_.find(byAge_.begin()->second)->second->record;
}

}  // namespace velmor
