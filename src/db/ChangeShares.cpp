#include "db/ChangeShares.h"

namespace velmor {

bool ChangeShares::admits(std::uint32_t address, std::size_t contentBytes) const {
  const std::size_t cost = chargeOf(address, contentBytes).bytes;
  if (bytes_.get() + cost > kMaxBytes) return false;
  const auto found = byAddress_.find(address);
  if (found == byAddress_.end()) return cost <= kMaxBytesPerAddress;
  const Share& share = found->second;
  return share.changes < kMaxChangesPerAddress && share.bytes + cost <= kMaxBytesPerAddress;
}

void ChangeShares::charge(const Charge& charge) {
  if (charge.bytes == 0) return;
  Share& share = byAddress_[charge.address];
  share.bytes += charge.bytes;
  ++share.changes;
  bytes_.add(charge.bytes);
}

void ChangeShares::letGo(const Charge& charge) {
  if (charge.bytes == 0) return;
  const auto found = byAddress_.find(charge.address);
  if (found == byAddress_.end()) return;
  Share& share = found->second;
  share.bytes -= charge.bytes;
  --share.changes;
  bytes_.sub(charge.bytes);
  if (share.changes == 0) byAddress_.erase(found);
}

}  // namespace velmor
