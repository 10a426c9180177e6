#pragma once

#include <cstdint>
#include <vector>

#include "db/Queries.h"
#include "rooms/RoomRecord.h"

namespace velmor {

class ServerCore;
class User;

// A live room: the stored record and what exists only while the room is awake. Owned by
// the live-room list of the ServerCore (or, while it is being saved after going to sleep,
// by its SaveRoom query). Main loop only.
class Room {
 public:
  Room(const RoomRecord& roomRecord, ServerCore& serverCore);
  ~Room();
  Room(const Room&) = delete;
  Room& operator=(const Room&) = delete;

  RoomRecord record;
  std::uint8_t hasPassword = 0;
  std::uint32_t roomNumber = 0;  // position in the live-room list
  std::vector<User*> members;    // in joining order: a member's index is its roomSlot
  FileList files;                // each record holds the list's reference
  ServerCore& core;
};

}  // namespace velmor
