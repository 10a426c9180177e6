#include "protocol-doc/LoginExample.h"

#include <openssl/evp.h>

#include <cstdio>

#include "settings/Settings.h"
#include "wire/MessageBuilder.h"
#include "wire/MessageCatalogue.h"

namespace velmor::docs {

namespace {

std::string finished(MessageBuilder& builder) {
  builder.finish();
  return std::string(builder.data(), builder.size());
}

LoginExample makeExample() {
  LoginExample e;
  e.name = "Ada";
  e.accountPassword = "secret";
  // Challenges are 15 characters of '!'..'}'; these two stand for what a server draws.
  e.guestChallenge = "b&4Kz]0^Nf(3yE*";
  e.challenge = "Xq7!rT#2m@Lp9$w";
  e.passwordHash = md5(e.accountPassword);
  e.proofText = documentedProofText(e.passwordHash, e.challenge);
  e.proofDigest = md5(e.proofText);
  e.proof = documentedProof(e.passwordHash, e.challenge);

  const client::LoginFields fields = exampleLoginFields(e);
  e.loginFrame = client::RequestWriter::frame([&](client::RequestWriter& w) { w.login(fields); });
  e.guestWelcomeFrame = guestWelcomeFrame(e.guestChallenge);
  e.welcomeFrame = defaultWelcomeFrame();
  e.registerFrame = client::RequestWriter::frame(
      [&](client::RequestWriter& w) { w.registerAccount(e.emailHash, e.passwordHash); });
  MessageBuilder registered;
  registered.begin(wire::ServerCode::Registered);
  e.registeredFrame = finished(registered);
  e.loginChallengeFrame = loginChallengeFrame(e.guestChallenge, e.challenge);
  e.loginProofFrame =
      client::RequestWriter::frame([&](client::RequestWriter& w) { w.loginProof(e.proof); });
  return e;
}

}  // namespace

const LoginExample& loginExample() {
  static const LoginExample example = makeExample();
  return example;
}

client::LoginFields exampleLoginFields(const LoginExample& example) {
  client::LoginFields fields;
  fields.version = 1;
  fields.profileWord1 = 70000;
  fields.profileShort = 3;
  fields.name = example.name;
  return fields;
}

std::string documentedProofText(const client::Hash16& passwordHash, std::string_view challenge) {
  std::string text;
  for (int group = 0; group < 4; ++group) {
    const std::uint8_t* b = passwordHash.data() + 4 * group;
    const std::uint32_t word =
        static_cast<std::uint32_t>(b[0]) | static_cast<std::uint32_t>(b[1]) << 8 |
        static_cast<std::uint32_t>(b[2]) << 16 | static_cast<std::uint32_t>(b[3]) << 24;
    char digits[9];
    std::snprintf(digits, sizeof digits, "%08x", word);
    text += digits;
  }
  text.append(challenge);
  return text;
}

client::Hash16 documentedProof(const client::Hash16& passwordHash, std::string_view challenge) {
  const client::Hash16 digest = md5(documentedProofText(passwordHash, challenge));
  client::Hash16 proof{};
  for (int group = 0; group < 4; ++group) {
    for (int i = 0; i < 4; ++i) proof[4 * group + i] = digest[4 * group + 3 - i];
  }
  return proof;
}

client::Hash16 md5(std::string_view bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_md5(), nullptr);
  client::Hash16 hash{};
  for (std::size_t i = 0; i < hash.size(); ++i) hash[i] = digest[i];
  return hash;
}

std::string guestWelcomeFrame(std::string_view challenge) {
  MessageBuilder builder;
  builder.begin(wire::ServerCode::GuestWelcome).string(challenge);
  return finished(builder);
}

std::string loginChallengeFrame(std::string_view salt, std::string_view challenge) {
  MessageBuilder builder;
  builder.begin(wire::ServerCode::LoginChallenge).string(salt).string(challenge);
  return finished(builder);
}

std::string defaultWelcomeFrame() {
  const Settings defaults(std::string("/"));
  MessageBuilder builder;
  builder.begin(wire::ServerCode::ServerInfo)
      .string(defaults.servername)
      .u16(static_cast<std::uint16_t>(defaults.chatroommaxusers))
      .u16(static_cast<std::uint16_t>(defaults.navroommaxusers))
      .u8(defaults.userscancreateroom ? 1 : 0);
  builder.begin(wire::ServerCode::RoomList).u16(0);
  return finished(builder);
}

}  // namespace velmor::docs
