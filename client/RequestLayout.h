#pragma once

// The client-to-server half of the message catalogue as a table: for each request type its
// name and its fields in wire order, after the type byte. Constant tables; any thread.
//
// Fields are spelled one letter per field, as in ServerLayout: 'b' u8, 'w' u16, 'd' u32,
// 's' wire string or blob (u16 byte count, bytes), and 'h' a 16-byte hash sent as it is
// (no count). Every request is flat: no field's presence depends on another.

#include <cstdint>

namespace velmor::client {

struct RequestLayout {
  const char* name = nullptr;   // nullptr: not a request type
  const char* fields = "";      // one letter per field, in wire order
  const char* fieldNames = "";  // one name per field, in the same order, separated by spaces
};

// Layout of a request type (1..41); name is nullptr for any other byte.
RequestLayout requestLayout(std::uint8_t type);

// Bytes a field of the letter takes on the wire, or 0 for 's' (its size is in its count)
// and for a letter that is no field.
unsigned fixedFieldSize(char letter);

}  // namespace velmor::client
