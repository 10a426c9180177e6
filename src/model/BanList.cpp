#include "model/BanList.h"

#include <algorithm>

#include "base/FixedText.h"
#include "model/Names.h"

namespace velmor {

bool BanList::removeNamed(std::string_view name) {
  auto entry = std::find_if(entries_.begin(), entries_.end(),
                            [name](const BanEntry& ban) { return fieldText(ban.name) == name; });
  if (entry == entries_.end()) return false;
  entries_.erase(entry);
  return true;
}

const BanEntry* BanList::findAddress(std::uint32_t address) const {
  for (const BanEntry& ban : entries_) {
    if (ban.matchesAddress(address)) return &ban;
  }
  return nullptr;
}

const BanEntry* BanList::findNameIgnoringCase(std::string_view name) const {
  for (const BanEntry& ban : entries_) {
    if (sameNameIgnoringCase(fieldText(ban.name), name)) return &ban;
  }
  return nullptr;
}

const BanEntry* BanList::findAddressOrName(std::uint32_t address, std::string_view name) const {
  for (const BanEntry& ban : entries_) {
    if (ban.matchesAddress(address) || sameNameIgnoringCase(fieldText(ban.name), name)) {
      return &ban;
    }
  }
  return nullptr;
}

}  // namespace velmor
