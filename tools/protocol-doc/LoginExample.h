#pragma once

// The worked login example of docs/protocol.md: a guest login, the registration of the
// name, and a member login with its challenge and proof, for a fixed name, account
// password and example challenges. Every byte comes from the codec (client::RequestWriter
// for the requests, the server's MessageBuilder for its messages); the proof is computed
// by the steps the document gives, which the tests hold against client::loginProof and
// the server's check, and the integration test against the real server.

#include <string>
#include <string_view>

#include "client/RequestWriter.h"

namespace velmor::docs {

struct LoginExample {
  std::string name;
  std::string accountPassword;  // never sent: only its hash is registered, only a proof sent
  std::string guestChallenge;   // the guest's challenge, the salt of the account he registers
  std::string challenge;        // the member login's example challenge

  client::Hash16 emailHash{};
  client::Hash16 passwordHash{};  // MD5 of the account password text
  std::string proofText;
  client::Hash16 proofDigest{};  // MD5 of the proof text
  client::Hash16 proof{};        // as sent

  // Whole frames, the u16 length included.
  std::string loginFrame;         // the same for the guest and the member login
  std::string guestWelcomeFrame;  // GuestWelcome with guestChallenge
  std::string welcomeFrame;       // ServerInfo + RoomList of a server with default settings
  std::string registerFrame;
  std::string registeredFrame;
  std::string loginChallengeFrame;  // LoginChallenge: salt guestChallenge, challenge
  std::string loginProofFrame;
};

const LoginExample& loginExample();

// The Login request of the example (the name; the other fields as the example has them).
client::LoginFields exampleLoginFields(const LoginExample& example);

// The proof by the document's steps: the password hash as four little-endian u32, each in
// eight lower-case hex digits, then the challenge: that text's MD5 digest, each group of
// four bytes reversed.
std::string documentedProofText(const client::Hash16& passwordHash, std::string_view challenge);
client::Hash16 documentedProof(const client::Hash16& passwordHash, std::string_view challenge);
client::Hash16 md5(std::string_view bytes);

// Server frames as the server builds them (its MessageBuilder), for any challenge.
std::string guestWelcomeFrame(std::string_view challenge);
std::string loginChallengeFrame(std::string_view salt, std::string_view challenge);
// The welcome frame of a server with the default settings and no live room.
std::string defaultWelcomeFrame();

}  // namespace velmor::docs
