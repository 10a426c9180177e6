#pragma once

#include <cstdint>
#include <string_view>

#include "base/RelaxedCounter.h"
#include "db/Queries.h"
#include "model/BanList.h"

namespace velmor {

// The server ban list and its storage: memory is the truth, the main database's serverbans
// table follows it. Each ban and unban changes the list at once (so it holds from that
// moment, also while the storage fails) and posts its change, which the pipeline stores in
// the order the changes were made, trying again while the storage refuses. A row carries
// its entry's id in the list, so that the stored list is the list in memory, in its order.
// Read back at start-up, before the first connection. Owned by the ServerCore; main loop
// only, but for `count`, which the status text and the metrics read from other threads.
class ServerBans {
 public:
  ServerBans(QueryPoster& queries, RelaxedCounter<std::uint64_t>& count)
      : queries_(queries), count_(count) {}
  ServerBans(const ServerBans&) = delete;
  ServerBans& operator=(const ServerBans&) = delete;

  // A ban read back from the storage at start-up (ascending ids); not stored again.
  void restore(std::uint64_t id, const BanEntry& ban);
  // Bans now and stores the ban.
  void add(const BanEntry& ban);
  // Removes the first entry of exactly that name, and its row; false when there is none.
  bool removeNamed(std::string_view name);

  const BanEntry* findAddress(std::uint32_t address) const { return list_.findAddress(address); }
  const BanEntry* findNameIgnoringCase(std::string_view name) const {
    return list_.findNameIgnoringCase(name);
  }
  const BanEntry* findAddressOrName(std::uint32_t address, std::string_view name) const {
    return list_.findAddressOrName(address, name);
  }
  const BanList& list() const { return list_; }
  const std::vector<BanEntry>& entries() const { return list_.entries(); }

 private:
  QueryPoster& queries_;
  RelaxedCounter<std::uint64_t>& count_;
  BanList list_;
};

}  // namespace velmor
