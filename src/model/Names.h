#pragma once

#include <string_view>

namespace velmor {

// The rule of user and room names: a letter first; then letters, digits, underscores or
// spaces; no trailing space. On success `key` receives the name with A..Z lowered (the
// key of the online map and of the room maps). `key` holds 32 bytes.
bool checkName(const char* name, char (&key)[32]);

// Names compared without regard to ASCII letter case.
bool sameNameIgnoringCase(std::string_view a, std::string_view b);

}  // namespace velmor
