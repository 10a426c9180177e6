#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "model/BanEntry.h"

namespace velmor {

// A list of bans in the order they were issued: the server's, or one live room's. Held in
// memory only. Main loop only.
class BanList {
 public:
  void add(const BanEntry& ban) { entries_.push_back(ban); }
  // Removes the first entry whose name equals `name` exactly; false when there is none.
  bool removeNamed(std::string_view name);

  // The first entry that matches the address (its mask is not 0).
  const BanEntry* findAddress(std::uint32_t address) const;
  // The first entry whose name equals `name` without regard to letter case (a login).
  const BanEntry* findNameIgnoringCase(std::string_view name) const;
  // The first entry that matches the address or the name, without regard to letter case
  // (entering a room): a name is one identity whatever case it is typed in.
  const BanEntry* findAddressOrName(std::uint32_t address, std::string_view name) const;

  const std::vector<BanEntry>& entries() const { return entries_; }

 private:
  std::vector<BanEntry> entries_;
};

}  // namespace velmor
