#include "rooms/RoomEntry.h"

#include "base/FixedText.h"
#include "rooms/Room.h"
#include "rooms/RoomRegistry.h"
#include "users/Sending.h"
#include "wire/MessageBuilder.h"

namespace velmor {

namespace {

std::size_t entrySize(const Room& room) {
  std::size_t size = 2 + fieldText(room.record().name).size() + 1;
  if (!room.hasPassword()) size += room.record().maxUsers != room.typeLimit() ? 4 : 2;
  return size;
}

}  // namespace

void writeRoomEntry(const Room& room, MessageBuilder& builder) {
  std::uint8_t flags = 0;
  if (room.hasPassword()) flags |= wire::kRoomHasPassword;
  if (room.record().navigation) flags |= wire::kRoomNavigation;
  builder.string(fieldText(room.record().name)).u8(flags);
  if (room.hasPassword()) return;
  const auto members = static_cast<std::uint16_t>(room.members().size());
  if (room.record().maxUsers != room.typeLimit()) {
    builder.u16(static_cast<std::uint16_t>(members + wire::kRoomLimitDiffers))
        .u16(static_cast<std::uint16_t>(room.record().maxUsers));
  } else {
    builder.u16(members);
  }
}

void writeRoomList(const RoomRegistry& rooms, MessageBuilder& builder) {
  // Type and count take 3 bytes; a frame holds 65535.
  std::size_t left = wire::kMaxFramePayload - 3;
  std::size_t count = 0;
  for (const auto& live : rooms.liveRooms()) {
    const std::size_t size = entrySize(*live);
    if (size > left) break;
    left -= size;
    ++count;
  }
  builder.begin(wire::ServerCode::RoomList).u16(static_cast<std::uint16_t>(count));
  for (std::size_t i = 0; i < count; ++i) writeRoomEntry(*rooms.liveRooms()[i], builder);
}

}  // namespace velmor
