#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>

#include "base/FixedText.h"
#include "model/Names.h"

namespace velmor {

// The stored form of a room: copied by value between the registries, the queries and
// the live Room. All texts are terminated and hold at most 31 characters.
struct RoomRecord {
  char name[32] = {};
  char lowerName[32] = {};    // name with ASCII A..Z lowered: the key of every room map
  char creatorName[32] = {};  // empty when the stored value is NULL
  char password[32] = {};     // empty: no password
  char leaderPassword[32] = {};
  std::uint32_t maxUsers = 0;
  std::uint32_t lastAccessed = 0;  // wall-clock seconds, low 32 bits
  std::uint8_t neverSleeps = 0;
  std::uint8_t navigation = 0;
};

// The creator stored for the rooms the settings file writes. It is no user: whoever logs in
// under that name gets no creator's rights over those rooms (nor over any room so stored).
inline constexpr const char* kConfiguredRoomCreator = "server";

// Whether the user of that name created the room, and so may change its passwords and
// create its files.
inline bool isCreatorOf(const RoomRecord& record, const char* userName) {
  return std::strcmp(record.creatorName, kConfiguredRoomCreator) != 0 &&
         std::strcmp(record.creatorName, userName) == 0;
}

inline RoomRecord makeRoomRecord(std::string_view name, std::string_view creator,
                                 std::string_view password, std::string_view leaderPassword,
                                 std::uint32_t maxUsers, bool navigation, bool neverSleeps) {
  RoomRecord record;
  copyText(record.name, name);
  lowerName(record.lowerName, record.name);
  copyText(record.creatorName, creator);
  copyText(record.password, password);
  copyText(record.leaderPassword, leaderPassword);
  record.maxUsers = maxUsers;
  record.navigation = navigation ? 1 : 0;
  record.neverSleeps = neverSleeps ? 1 : 0;
  return record;
}

}  // namespace velmor
