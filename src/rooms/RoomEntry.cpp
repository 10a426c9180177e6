#include "rooms/RoomEntry.h"

#include "base/FixedText.h"
#include "wire/MessageBuilder.h"
#include "rooms/Room.h"
#include "core/ServerCore.h"

namespace velmor {

namespace {

std::uint32_t typeLimit(const Room& room, const ServerCore& core) {
  return room.record.navigation ? core.navroommaxusers : core.chatroommaxusers;
}

std::size_t entrySize(const Room& room, const ServerCore& core) {
  std::size_t size = 2 + fieldText(room.record.name).size() + 1;
  if (!room.hasPassword) size += room.record.maxUsers != typeLimit(room, core) ? 4 : 2;
  return size;
}

}  // namespace

void writeRoomEntry(const Room& room, const ServerCore& core, MessageBuilder& builder) {
  std::uint8_t flags = 0;
  if (room.hasPassword) flags |= wire::kRoomHasPassword;
  if (room.record.navigation) flags |= wire::kRoomNavigation;
  builder.string(fieldText(room.record.name)).u8(flags);
  if (room.hasPassword) return;
  const auto members = static_cast<std::uint16_t>(room.members.size());
  if (room.record.maxUsers != typeLimit(room, core)) {
    builder.u16(static_cast<std::uint16_t>(members + wire::kRoomLimitDiffers))
        .u16(static_cast<std::uint16_t>(room.record.maxUsers));
  } else {
    builder.u16(members);
  }
}

void writeRoomList(const ServerCore& core, MessageBuilder& builder) {
  // Type and count take 3 bytes; a frame holds 65535.
  std::size_t room = wire::kMaxFramePayload - 3;
  std::size_t count = 0;
  for (const auto& live : core.liveRooms) {
    const std::size_t size = entrySize(*live, core);
    if (size > room) break;
    room -= size;
    ++count;
  }
  builder.begin(wire::ServerCode::RoomList).u16(static_cast<std::uint16_t>(count));
  for (std::size_t i = 0; i < count; ++i) writeRoomEntry(*core.liveRooms[i], core, builder);
}

}  // namespace velmor
