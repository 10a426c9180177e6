#pragma once

// The message catalogue of the wire protocol, shared by the server and the client-side
// codec: the types and codes (made from the wire's one definition, src/wire/protocol.json)
// and the encoding's own constants. The two directions are numbered apart: the same byte
// means different things client-to-server and server-to-client. Server codes of 0x100 and
// above travel as the two bytes 0xFF and the low byte.

#include <cstdint>

#include "wire/Catalogue.h"  // the types and codes, made from src/wire/protocol.json

namespace velmor::wire {

// Prefix byte of the codes of 0x100 and above.
inline constexpr std::uint8_t kExtendedCodePrefix = 0xFF;
inline constexpr std::uint16_t kFirstExtendedCode = 0x100;

// Compact steps of a relay batch. Before an ObjectBatch in the same frame they are member
// steps: 0x55 + (dx + 3) + 7 * (dy + 3) for dx, dy in -3..3 (layer unchanged); that type
// alone keeps the direction, +49 carries an i8 direction step, +98 the u16 direction.
// After an ObjectBatch they are object steps: 0x55 + (dx + 6) + 13 * (dy + 6) for dx, dy
// in -6..6 (third value unchanged).
inline constexpr std::uint8_t kCompactStepBase = 0x55;
inline constexpr int kMemberStepRange = 3;
inline constexpr int kMemberStepSpan = 2 * kMemberStepRange + 1;                 // 7
inline constexpr int kMemberStepCount = kMemberStepSpan * kMemberStepSpan;       // 49
inline constexpr std::uint8_t kMemberStepNoMove = kCompactStepBase + 3 + 7 * 3;  // 0x6D
inline constexpr std::uint8_t kLastMemberStep =
    kCompactStepBase + 3 * kMemberStepCount - 1;  // 0xE7
inline constexpr int kObjectStepRange = 6;
inline constexpr int kObjectStepSpan = 2 * kObjectStepRange + 1;                  // 13
inline constexpr std::uint8_t kObjectStepNoMove = kCompactStepBase + 6 + 13 * 6;  // 0xA9
inline constexpr std::uint8_t kLastObjectStep =
    kCompactStepBase + kObjectStepSpan * kObjectStepSpan - 1;  // 0xFD

constexpr std::uint8_t memberStepType(int dx, int dy) {
  return static_cast<std::uint8_t>(kCompactStepBase + (dx + kMemberStepRange) +
                                   kMemberStepSpan * (dy + kMemberStepRange));
}
constexpr std::uint8_t objectStepType(int dx, int dy) {
  return static_cast<std::uint8_t>(kCompactStepBase + (dx + kObjectStepRange) +
                                   kObjectStepSpan * (dy + kObjectStepRange));
}

// Limits of the wire encoding.
inline constexpr std::uint32_t kMaxFramePayload = 65535;
inline constexpr std::uint32_t kMaxWireString = 65000;  // longer text is cut when sent

// Room-list entry flags (RoomList, RoomOpened).
inline constexpr std::uint8_t kRoomHasPassword = 0x01;
inline constexpr std::uint8_t kRoomNavigation = 0x02;
inline constexpr std::uint16_t kRoomLimitDiffers = 32000;  // added to the member count

}  // namespace velmor::wire
