#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "base/FixedText.h"

namespace velmor {

// A name with A..Z lowered, nothing else changed; `out` holds at most 31 characters.
void lowerName(char (&out)[32], std::string_view name);

// The rule of user and room names: a letter first; then letters, digits, underscores or
// spaces; no trailing space. On success `key` receives the name with A..Z lowered (the
// key of the online map and of the room maps). `key` holds 32 bytes.
bool checkName(const char* name, char (&key)[32]);

// Names compared without regard to ASCII letter case.
bool sameNameIgnoringCase(std::string_view a, std::string_view b);

// A map keyed by lower-case names (the online map, the room maps), looked up by a view of
// a key without making a string of it.
struct NameKeyHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view key) const { return std::hash<std::string_view>{}(key); }
};
template <typename T>
using NameKeyMap = std::unordered_map<std::string, T, NameKeyHash, std::equal_to<>>;

}  // namespace velmor
