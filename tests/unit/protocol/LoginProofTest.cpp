#include "wire/LoginProof.h"

#include <gtest/gtest.h>

#include "client/LoginProof.h"
#include "model/Names.h"

namespace velmor {
namespace {

TEST(LoginProof, ZeroHashGivesThirtyTwoZeroDigitsThenTheChallenge) {
  const std::uint8_t zero[16] = {};
  EXPECT_EQ(loginProofText(zero, "ABCDEFGHIJKLMNO"), std::string(32, '0') + "ABCDEFGHIJKLMNO");
}

TEST(LoginProof, GroupsAreLittleEndianWordsAndTheDigestWordsGoMostSignificantFirst) {
  std::uint8_t hash[16];
  for (int i = 0; i < 16; ++i) hash[i] = static_cast<std::uint8_t>(i);
  EXPECT_EQ(loginProofText(hash, "ABCDEFGHIJKLMNO"),
            "03020100070605040b0a09080f0e0d0cABCDEFGHIJKLMNO");
  // MD5 of that text is 2b13f6fb da6321f6 1bb15149 a7a08c5e; each word reversed on the wire.
  const std::array<std::uint8_t, 16> expected = {0xfb, 0xf6, 0x13, 0x2b, 0xf6, 0x21, 0x63, 0xda,
                                                 0x49, 0x51, 0xb1, 0x1b, 0x5e, 0x8c, 0xa0, 0xa7};
  EXPECT_EQ(expectedLoginProof(hash, "ABCDEFGHIJKLMNO"), expected);
  client::Hash16 clientHash;
  std::copy(std::begin(hash), std::end(hash), clientHash.begin());
  EXPECT_EQ(client::loginProof(clientHash, "ABCDEFGHIJKLMNO"), expected) << "the client agrees";
}

TEST(NameRules, AcceptAndRefuse) {
  struct Case {
    const char* name;
    bool accepted;
    const char* key;
  };
  const Case cases[] = {
      {"A b", true, "a b"},     {"Alice_99", true, "alice_99"}, {"z", true, "z"},
      {"9lives", false, ""},    {"_under", false, ""},          {" space", false, ""},
      {"trailing ", false, ""}, {"hy-phen", false, ""},         {"", false, ""},
      {"dot.ted", false, ""},   {"Tab\tbed", false, ""},
  };
  for (const Case& c : cases) {
    char key[32] = {};
    EXPECT_EQ(checkName(c.name, key), c.accepted) << '"' << c.name << '"';
    if (c.accepted) {
      EXPECT_STREQ(key, c.key);
    }
  }
}

}  // namespace
}  // namespace velmor
