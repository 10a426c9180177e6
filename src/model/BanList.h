#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "model/BanEntry.h"
#include "model/Names.h"

namespace velmor {

// A list of bans in the order they were issued: the server's, or one live room's. Owned by
// its holder (ServerBans, a Room); main loop only.
//
// Each entry has an id, larger than that of every entry before it (the server's list stores
// it as the row's key, so that a removal names exactly its row). Matching never walks the
// list: two indexes lead from a case-folded name, and from each mask to the masked
// addresses, to the ids of the entries under them in ascending order, whose first is the
// first match in list order. So a match costs one hash lookup for the name and one per
// distinct mask in the list, however long it is.
//
//   entries_[i] <-> ids_[i]             ascending ids, list order
//   byName_[fold(name)]        = ids of the entries of that name, ascending
//   byAddress_[mask][addr&mask] = ids of the entries of that masked address, ascending
//
// Invariant (indexAgrees): every entry is under its name and, when its mask is not 0, under
// its mask and masked address, and the indexes hold nothing else. Only the verbs below
// change the list; a removal moves the later entries down (rare: an unban).
class BanList {
 public:
  // Appends the ban; `id` 0 takes the next id. REQUIRES: a given id is above every id in the
  // list (a list read back in its stored order). Returns the entry's id.
  std::uint64_t add(const BanEntry& ban, std::uint64_t id = 0);
  // Removes the first entry whose name equals `name` exactly; its id, or 0 when there is none.
  std::uint64_t removeNamed(std::string_view name);

  // The first entry that matches the address (its mask is not 0).
  const BanEntry* findAddress(std::uint32_t address) const;
  // The first entry whose name equals `name` without regard to letter case (a login).
  const BanEntry* findNameIgnoringCase(std::string_view name) const;
  // The first entry that matches the address or the name, without regard to letter case
  // (entering a room): a name is one identity whatever case it is typed in.
  const BanEntry* findAddressOrName(std::uint32_t address, std::string_view name) const;

  const std::vector<BanEntry>& entries() const { return entries_; }
  const std::vector<std::uint64_t>& ids() const { return ids_; }
  std::size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }

  // The indexes hold exactly the entries of the list (tests; a walk of everything).
  bool indexAgrees() const;

 private:
  using Ids = std::vector<std::uint64_t>;  // ascending
  using AddressIndex = std::unordered_map<std::uint32_t, Ids>;

  static std::string foldedName(std::string_view name);
  // The first id under the name, or 0.
  std::uint64_t firstNamed(std::string_view name) const;
  // The first id whose entry matches the address, or 0.
  std::uint64_t firstAddressed(std::uint32_t address) const;
  const BanEntry* entryOf(std::uint64_t id) const;

  std::vector<BanEntry> entries_;
  Ids ids_;
  std::uint64_t lastId_ = 0;
  NameKeyMap<Ids> byName_;
  std::unordered_map<std::uint32_t, AddressIndex> byAddress_;  // by mask (never 0)
};

}  // namespace velmor
