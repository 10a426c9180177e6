#pragma once

// The server-to-client half of the message catalogue as the decoder reads it: for each
// code its name and the shape of its payload. Constant tables; any thread.
//
// Flat payloads are spelled one letter per field in wire order: 'b' u8, 'w' u16,
// 'd' u32, 's' wire string or blob (u16 byte count, bytes).

#include <cstdint>

namespace velmor::client {

enum class LayoutShape : std::uint8_t {
  Flat,           // `fields` only
  MemberInfo,     // `fields` in a chat room, `navigationFields` in a navigation room
  OptionalFlat,   // bare when the code ends the frame, else `fields` (FileSaved)
  RoomList,       // u16 count, count room entries
  RoomOpened,     // one room entry
  MemberList,     // u16 room number, u16 count, count (s, d, w, b)
  BanList,        // u16 count, count (s, s, s, d)
  FileList,       // u16 count, count (s, s, s, d, b, b)
  RoomDirectory,  // u16 first index, u16 count, count (s, s)
  RecentLines,    // u8 n, n strings
};

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
