#pragma once

// The server-to-client half of the message catalogue as the decoder reads it: for each
// code its name and the shape of its payload, from the wire's tables. Constant; any thread.
//
// Flat payloads are spelled one letter per field in wire order: 'b' u8, 'w' u16,
// 'd' u32, 's' wire string or blob (u16 byte count, bytes).

#include <cstdint>

#include "wire/Schema.h"

namespace velmor::client {

// How a payload is laid out (wire/Schema.h): Flat is `fields` only; MemberInfo is `fields`
// in a chat room and `navigationFields` in a navigation room; OptionalFlat is bare when the
// code ends the frame, else `fields`; the others are lists and the room entry, read by the
// decoder's own code.
using LayoutShape = wire::MessageShape;

struct ServerLayout {
  const char* name = nullptr;
  LayoutShape shape = LayoutShape::Flat;
  const char* fields = "";
  const char* navigationFields = "";
};

// Layout of a catalogue code (0x100.. for the FF-prefixed ones); name is nullptr when the
// code is unknown. Compact steps are not catalogue codes: they depend on what came earlier
// in the frame and are decoded apart.
ServerLayout serverLayout(std::uint16_t code);

}  // namespace velmor::client
