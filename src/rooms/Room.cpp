#include "rooms/Room.h"

namespace velmor {

Room::Room(const RoomRecord& roomRecord, ServerCore& serverCore)
    : record(roomRecord), hasPassword(roomRecord.password[0] != '\0'), core(serverCore) {}

Room::~Room() {
  for (FileRecord* file : files) FileRecord::release(file);
}

}  // namespace velmor
