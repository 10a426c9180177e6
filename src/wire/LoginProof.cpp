#include "wire/LoginProof.h"

#include <openssl/evp.h>

#include <cstdio>

namespace velmor {

std::string loginProofText(const std::uint8_t (&passwordHash)[16], std::string_view challenge) {
  char digits[33];
  for (int group = 0; group < 4; ++group) {
    const std::uint8_t* b = passwordHash + 4 * group;
    const std::uint32_t word =
        b[0] | b[1] << 8 | b[2] << 16 | static_cast<std::uint32_t>(b[3]) << 24;
    std::snprintf(digits + 8 * group, 9, "%08x", word);
  }
  std::string text(digits, 32);
  text.append(challenge);
  return text;
}

std::array<std::uint8_t, 16> expectedLoginProof(const std::uint8_t (&passwordHash)[16],
                                                std::string_view challenge) {
  const std::string text = loginProofText(passwordHash, challenge);
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(text.data(), text.size(), digest, &length, EVP_md5(), nullptr);
  std::array<std::uint8_t, 16> proof{};
  for (int word = 0; word < 4; ++word) {
    for (int i = 0; i < 4; ++i) proof[4 * word + i] = digest[4 * word + 3 - i];
  }
  return proof;
}

}  // namespace velmor
