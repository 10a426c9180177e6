#pragma once

#include <string>
#include <string_view>

#include "model/BanList.h"

namespace velmor {

// A room's ban list as the main database stores it with the room (one blob in its row):
//
//   u8 version (1), then per entry in list order:
//   u8 n, name[n]; u8 n, issuer[n]; u8 n, reason[n]; address[4]; mask[4]
//
// address and mask are the four bytes of the IPv4 address and netmask in network order (as
// they are held in memory). An entry takes 11 bytes and its three texts (at most 31, 31 and
// 63 bytes). Any thread: plain functions.
std::string encodeBans(const BanList& list);
// Appends the entries of `bytes` to `list` in their order. An empty blob (a room never
// banned anyone, a NULL column) is an empty list. False on an unknown version or a blob cut
// short: the entries read before the cut are kept; nothing is read past the end.
bool decodeBans(std::string_view bytes, BanList& list);

}  // namespace velmor
