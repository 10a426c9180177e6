#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <set>
#include <utility>

#include <ext/pb_ds/assoc_container.hpp>
#include <ext/pb_ds/tree_policy.hpp>

#include "model/Names.h"
#include "model/RoomRecord.h"

namespace velmor {

// The stored rooms that are not live (asleep), each held once, reachable three ways: by
// lower-case name; by position in the order they were added (ListRooms pages through it);
// and by last access, oldest first (the expiry sweep takes them from there). Every operation
// costs O(log n), so that a directory of a year's rooms is as quick as one of ten. Owned by
// the RoomRegistry; main loop only.
class RoomDirectory {
 public:
  RoomDirectory() = default;
  RoomDirectory(const RoomDirectory&) = delete;
  RoomDirectory& operator=(const RoomDirectory&) = delete;

  // Adds a record at the end; one already held under its name is replaced (and moves to the
  // end).
  void add(const RoomRecord& record);
  // Takes a record out; false when none is held under the name.
  bool remove(std::string_view lowerName);
  const RoomRecord* find(std::string_view lowerName) const;
  std::size_t size() const { return byName_.size(); }
  bool empty() const { return byName_.empty(); }

  // Calls `visit` with up to `count` records from position `first` on, in order of addition.
  template <typename Visit>
  void page(std::size_t first, std::size_t count, Visit&& visit) const {
    if (first >= order_.size()) return;
    for (auto it = order_.find_by_order(first); it != order_.end() && count > 0; ++it, --count)
      visit(it->second->record);
  }
  // The record whose last access is the oldest, or null when the directory is empty.
  const RoomRecord* oldest() const;

 private:
  struct Entry {
    RoomRecord record;
    std::uint64_t sequence;  // its place in the order of addition
  };
  using Order =
      __gnu_pbds::tree<std::uint64_t, Entry*, std::less<std::uint64_t>, __gnu_pbds::rb_tree_tag,
                       __gnu_pbds::tree_order_statistics_node_update>;

  NameKeyMap<std::unique_ptr<Entry>> byName_;
  Order order_;
  std::set<std::pair<std::uint32_t, std::uint64_t>> byAge_;  // (lastAccessed, sequence)
  std::uint64_t nextSequence_ = 0;
};

}  // namespace velmor
