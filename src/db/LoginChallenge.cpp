#include "db/LoginChallenge.h"

#include <openssl/rand.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace velmor {

namespace {
constexpr int kFirst = 33;
constexpr int kChoices = 93;  // '!'..'}'
// The largest multiple of 93 that a byte can reach: bytes from here up are drawn again,
// so that every character is equally likely.
constexpr int kAcceptBelow = 256 - 256 % kChoices;
constexpr std::size_t kLength = 15;
}  // namespace

void makeLoginChallenge(char (&challenge)[16]) {
  std::uint8_t bytes[32];
  std::size_t used = sizeof(bytes);
  for (std::size_t i = 0; i < kLength;) {
    if (used == sizeof(bytes)) {
      if (RAND_bytes(bytes, sizeof(bytes)) != 1) {
        // The generator failed: never hand out a predictable challenge.
        std::abort();
      }
      used = 0;
    }
    const int byte = bytes[used++];
    if (byte >= kAcceptBelow) continue;
    challenge[i++] = static_cast<char>(kFirst + byte % kChoices);
  }
  challenge[kLength] = '\0';
}

}  // namespace velmor
