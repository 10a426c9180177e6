#include "model/Names.h"

#include <cstring>

#include "base/FixedText.h"

namespace velmor {

namespace {
bool isLetter(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}
bool isDigit(char c) {
  return c >= '0' && c <= '9';
}
}  // namespace

void lowerName(char (&out)[32], std::string_view name) {
  copyText(out, name);
  for (char& c : out) c = lowerAscii(c);
}

bool checkName(const char* name, char (&key)[32]) {
  const std::size_t length = strnlen(name, sizeof(key) - 1);
  if (length == 0 || !isLetter(name[0]) || name[length - 1] == ' ') return false;
  for (std::size_t i = 0; i < length; ++i) {
    const char c = name[i];
    if (!isLetter(c) && !isDigit(c) && c != '_' && c != ' ') return false;
    key[i] = lowerAscii(c);
  }
  key[length] = '\0';
  return true;
}

bool sameNameIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (lowerAscii(a[i]) != lowerAscii(b[i])) return false;
  }
  return true;
}

}  // namespace velmor
