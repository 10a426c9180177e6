#include "client/NameRule.h"

namespace velmor::client {

namespace {

bool isLetter(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}
bool isDigit(char c) {
  return c >= '0' && c <= '9';
}

// A character as a message shows it: control and non-ASCII bytes by their code.
std::string shown(char c) {
  const auto byte = static_cast<unsigned char>(c);
  if (byte < 0x20 || byte >= 0x7F) {
    static constexpr char kHex[] = "0123456789abcdef";
    return std::string("byte 0x") + kHex[byte >> 4] + kHex[byte & 0xF];
  }
  return std::string("'") + c + "'";
}

}  // namespace

std::optional<std::string> nameRuleBreach(std::string_view name) {
  if (name.empty()) return "is empty";
  if (name.size() > kMaxNameLength) {
    return "has " + std::to_string(name.size()) + " characters, more than " +
           std::to_string(kMaxNameLength);
  }
  if (!isLetter(name.front())) return "starts with " + shown(name.front()) + ", not a letter";
  for (char c : name) {
    if (!isLetter(c) && !isDigit(c) && c != '_' && c != ' ') return "holds " + shown(c);
  }
  if (name.back() == ' ') return "ends with a space";
  return std::nullopt;
}

}  // namespace velmor::client
