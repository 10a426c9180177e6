#include "client/LoginProof.h"

#include <openssl/evp.h>

#include <cstdio>
#include <string>

namespace velmor::client {

Hash16 loginProof(const Hash16& passwordHash, std::string_view challenge) {
  std::string text;
  for (int group = 0; group < 4; ++group) {
    std::uint32_t word = 0;
    for (int i = 3; i >= 0; --i) word = word << 8 | passwordHash[4 * group + i];
    char digits[9];
    std::snprintf(digits, sizeof(digits), "%08x", word);
    text += digits;
  }
  text.append(challenge);
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(text.data(), text.size(), digest, &length, EVP_md5(), nullptr);
  Hash16 proof{};
  for (int i = 0; i < 16; ++i) proof[i] = digest[(i / 4) * 4 + 3 - i % 4];
  return proof;
}

Hash16 passwordHashOf(std::string_view password) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(password.data(), password.size(), digest, &length, EVP_md5(), nullptr);
  Hash16 hash{};
  for (std::size_t i = 0; i < hash.size(); ++i) hash[i] = digest[i];
  return hash;
}

}  // namespace velmor::client
