#include "model/BanCoding.h"

#include <cstdint>
#include <cstring>

#include "base/FixedText.h"

namespace velmor {

namespace {

constexpr std::uint8_t kVersion = 1;

void putText(std::string& out, std::string_view text) {
  out.push_back(static_cast<char>(text.size()));  // a field's text: at most 63 bytes
  out.append(text);
}

// Reads a text into a fixed field; false when the blob ends first.
template <std::size_t N>
bool takeText(std::string_view& in, char (&field)[N]) {
  if (in.empty()) return false;
  const std::size_t n = static_cast<std::uint8_t>(in.front());
  if (in.size() < 1 + n) return false;
  copyText(field, in.substr(1, n));
  in.remove_prefix(1 + n);
  return true;
}

bool takeWord(std::string_view& in, std::uint32_t& word) {
  if (in.size() < sizeof(word)) return false;
  std::memcpy(&word, in.data(), sizeof(word));  // network-order bytes, as held in memory
  in.remove_prefix(sizeof(word));
  return true;
}

}  // namespace

std::string encodeBans(const BanList& list) {
  std::string out;
  if (list.empty()) return out;
  out.reserve(1 + list.size() * 40);
  out.push_back(static_cast<char>(kVersion));
  for (const BanEntry& ban : list.entries()) {
    putText(out, fieldText(ban.name));
    putText(out, fieldText(ban.issuer));
    putText(out, fieldText(ban.reason));
    out.append(reinterpret_cast<const char*>(&ban.address), sizeof(ban.address));
    out.append(reinterpret_cast<const char*>(&ban.mask), sizeof(ban.mask));
  }
  return out;
}

bool decodeBans(std::string_view in, BanList& list) {
  if (in.empty()) return true;
  if (static_cast<std::uint8_t>(in.front()) != kVersion) return false;
  in.remove_prefix(1);
  while (!in.empty()) {
    BanEntry ban;
    if (!takeText(in, ban.name) || !takeText(in, ban.issuer) || !takeText(in, ban.reason) ||
        !takeWord(in, ban.address) || !takeWord(in, ban.mask))
      return false;
    list.add(ban);
  }
  return true;
}

}  // namespace velmor
