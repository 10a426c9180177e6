#pragma once

#include <cstddef>
#include <cstring>
#include <string_view>

namespace velmor {

// Copies text into a fixed-size character field: at most capacity - 1 bytes, then a
// terminator. Longer input is cut, never refused, never overrun. Every fixed field of
// the server (names, passwords, reasons, chat text) is filled through this one function.
inline void copyText(char* field, std::size_t capacity, std::string_view text) {
  if (capacity == 0) return;
  std::size_t n = text.size() < capacity - 1 ? text.size() : capacity - 1;
  if (n != 0) std::memcpy(field, text.data(), n);  // a NULL column gives no pointer at all
  field[n] = '\0';
}

template <std::size_t N>
void copyText(char (&field)[N], std::string_view text) {
  copyText(field, N, text);
}

// A letter of A..Z lowered; every other byte as it is. The one lowering of the server: the
// keys of names (online map, room maps) and of the settings file are made with it.
constexpr char lowerAscii(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// The text of a terminated fixed field, never reading past its capacity.
template <std::size_t N>
std::string_view fieldText(const char (&field)[N]) {
  return std::string_view(field, strnlen(field, N));
}

}  // namespace velmor
