#include "model/BanList.h"

#include <algorithm>
#include <cassert>

#include "base/FixedText.h"
#include "model/Names.h"

namespace velmor {

namespace {

// Takes an id out of an ascending list; the list goes when it is empty.
template <typename Map, typename Key>
void eraseId(Map& map, const Key& key, std::uint64_t id) {
  auto found = map.find(key);
  if (found == map.end()) return;
  auto& ids = found->second;
  auto at = std::lower_bound(ids.begin(), ids.end(), id);
  if (at != ids.end() && *at == id) ids.erase(at);
  if (ids.empty()) map.erase(found);
}

}  // namespace

std::string BanList::foldedName(std::string_view name) {
  std::string folded(name);
  for (char& c : folded) c = lowerAscii(c);
  return folded;
}

std::uint64_t BanList::add(const BanEntry& ban, std::uint64_t id) {
  if (id == 0) id = lastId_ + 1;
  assert(id > lastId_);
  lastId_ = id;
  entries_.push_back(ban);
  ids_.push_back(id);
  byName_[foldedName(fieldText(ban.name))].push_back(id);
  if (ban.mask != 0) byAddress_[ban.mask][ban.address & ban.mask].push_back(id);
  return id;
}

std::uint64_t BanList::removeNamed(std::string_view name) {
  const auto named = byName_.find(foldedName(name));
  if (named == byName_.end()) return 0;
  // The ids under the folded name, in list order: the first of exactly that name goes.
  for (const std::uint64_t id : named->second) {
    const auto at = std::lower_bound(ids_.begin(), ids_.end(), id);
    const auto index = static_cast<std::size_t>(at - ids_.begin());
    const BanEntry& ban = entries_[index];
    if (fieldText(ban.name) != name) continue;
    if (ban.mask != 0) {
      auto masked = byAddress_.find(ban.mask);
      eraseId(masked->second, ban.address & ban.mask, id);
      if (masked->second.empty()) byAddress_.erase(masked);
    }
    eraseId(byName_, named->first, id);  // may end `named`: nothing reads it after
    entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(index));
    ids_.erase(at);
    return id;
  }
  return 0;
}

std::uint64_t BanList::firstNamed(std::string_view name) const {
  char key[32];  // names hold 31 characters: the key is made without allocating
  lowerName(key, name);
  const auto named = byName_.find(fieldText(key));
  return named == byName_.end() ? 0 : named->second.front();
}

std::uint64_t BanList::firstAddressed(std::uint32_t address) const {
  std::uint64_t first = 0;
  for (const auto& [mask, addresses] : byAddress_) {
    const auto masked = addresses.find(address & mask);
    if (masked == addresses.end()) continue;
    const std::uint64_t id = masked->second.front();
    if (first == 0 || id < first) first = id;
  }
  return first;
}

const BanEntry* BanList::entryOf(std::uint64_t id) const {
  if (id == 0) return nullptr;
  const auto at = std::lower_bound(ids_.begin(), ids_.end(), id);
  return &entries_[static_cast<std::size_t>(at - ids_.begin())];
}

const BanEntry* BanList::findAddress(std::uint32_t address) const {
  return entryOf(firstAddressed(address));
}

const BanEntry* BanList::findNameIgnoringCase(std::string_view name) const {
  return entryOf(firstNamed(name));
}

const BanEntry* BanList::findAddressOrName(std::uint32_t address, std::string_view name) const {
  const std::uint64_t byAddress = firstAddressed(address);
  const std::uint64_t byName = firstNamed(name);
  if (byAddress == 0 || byName == 0) return entryOf(byAddress | byName);
  return entryOf(std::min(byAddress, byName));
}

bool BanList::indexAgrees() const {
  if (ids_.size() != entries_.size() || !std::is_sorted(ids_.begin(), ids_.end())) return false;
  if (std::adjacent_find(ids_.begin(), ids_.end()) != ids_.end()) return false;
  std::size_t named = 0;
  for (const auto& [key, ids] : byName_) named += ids.size();
  std::size_t addressed = 0;
  for (const auto& [mask, addresses] : byAddress_)
    for (const auto& [address, ids] : addresses) addressed += ids.size();
  std::size_t masked = 0;
  for (std::size_t i = 0; i < entries_.size(); ++i) {
    const BanEntry& ban = entries_[i];
    const auto under = [&](const Ids& ids) {
      return std::binary_search(ids.begin(), ids.end(), ids_[i]);
    };
    const auto name = byName_.find(foldedName(fieldText(ban.name)));
    if (name == byName_.end() || !under(name->second)) return false;
    if (ban.mask == 0) continue;
    ++masked;
    const auto mask = byAddress_.find(ban.mask);
    if (mask == byAddress_.end()) return false;
    const auto address = mask->second.find(ban.address & ban.mask);
    if (address == mask->second.end() || !under(address->second)) return false;
  }
  return named == entries_.size() && addressed == masked;
}

}  // namespace velmor
