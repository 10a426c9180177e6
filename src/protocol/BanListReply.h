#pragma once

#include <cstddef>
#include <vector>

#include "model/BanEntry.h"

namespace velmor {

// RoomBanList and ServerBanList go out as one frame: the type byte, the u16 count, then per
// entry its name, issuer and reason strings and its u32 mask. A list whose entries outgrow
// `framePayload` bytes is cut to its newest entries that fit, sent in list order: the index of
// the first entry sent (bans.size() when none fits; 0 when the whole list does).
std::size_t firstSentBan(const std::vector<BanEntry>& bans, std::size_t framePayload);

}  // namespace velmor
